// What the POP3 and IMAP checks share: one connection to the mail server, plain or over TLS,
// and the rules for sending a command on it. Private to portald/mail/.
#pragma once

#include <openssl/ssl.h>

#include <csignal>
#include <cstddef>

namespace mail {

// The Event line of an accepted POP3 or IMAP-over-TLS login, up to the host that follows it.
inline constexpr char kMailHostUpLine[] =
    "@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  "
    "ident.emailhostname + ";

// The connection a dialogue runs on: a connected socket, and the TLS object on it when the
// dialogue is encrypted (null for plain). Neither is owned.
struct Link {
  int fd = -1;
  SSL* ssl = nullptr;
};

// One receive of at most size bytes: the count received, or 0 or less for end of data, an
// error or the receive time-out.
int link_read(const Link& link, char* buffer, int size);

// As link_read, but the bytes stay queued for the next read.
int link_peek(const Link& link, char* buffer, int size);

// Sends the whole text: plain, one send that must take every byte (a vanished peer never
// raises SIGPIPE); TLS, one SSL_write. Returns true when sent.
bool link_send(const Link& link, const char* text, std::size_t length);

// Formats "<verb> <argument>\r\n" into a kCommandSize buffer and sends it; nothing is sent
// when the argument holds a CR or LF or the command would be longer than kCommandLimit bytes.
bool send_command(const Link& link, const char* verb, const char* argument);

// Sends a command that is already formatted (its text must end in CR LF); nothing is sent when
// it is longer than kCommandLimit bytes.
bool send_text_command(const Link& link, const char* text, std::size_t length);

// True when the text holds a CR or LF, which would end the command early.
bool holds_line_break(const char* text);

// While it lives, SIGPIPE raised by this thread's writes is held back, and one that was raised
// is discarded when it ends: OpenSSL writes to the socket without MSG_NOSIGNAL.
class SigpipeHold {
 public:
  SigpipeHold();
  ~SigpipeHold();
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t old_mask_;
  bool was_pending_ = false;
};

// Owns one check's connection: the socket from mail_connect and, once start_tls ran, its TLS
// context and object. The destructor sends the TLS close alert when the handshake had
// finished, frees the TLS object and the context, and closes the socket.
class MailConnection {
 public:
  explicit MailConnection(int fd) { link_.fd = fd; }
  ~MailConnection();
  MailConnection(const MailConnection&) = delete;
  MailConnection& operator=(const MailConnection&) = delete;

  // Creates the TLS context (any protocol version the library offers, no certificate
  // verification) and runs the client handshake. Returns false on any failure.
  bool start_tls();

  const Link& link() const { return link_; }

 private:
  Link link_;
  SSL_CTX* ctx_ = nullptr;
  SigpipeHold hold_;
};

}  // namespace mail
