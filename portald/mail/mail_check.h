// Mail-server credential checks: the daemon logs in to the configured POP3 or IMAP server,
// plain or over TLS, with the mailbox name and password that a client typed, and takes the
// server's answer as the answer to the client's login.
//
// Each check opens its own connection, runs one short dialogue and closes it again; every
// socket and TLS object is released on every path, and no QUIT or LOGOUT is sent. A check
// blocks its caller (the daemon runs checks on worker threads, mail/check_pool.h): the connect
// is bounded by its own time-out and everything the check waits for by one budget for the
// whole check (mail/check_budget.h); only the name look-up keeps the resolver's own limits.
// A check touches nothing but its own socket; its Event lines go through core::log_token.
//
// Names and passwords are refused before anything is sent when they hold a CR or LF (a NUL
// cannot occur in a C string), so they can never add a command of their own to the dialogue.
#pragma once

#include <cstddef>

namespace mail {

// A dotted address as the checks copy it: at most 22 characters and the terminating NUL.
inline constexpr std::size_t kDottedSize = 23;
// Commands are formatted into a 128-byte buffer; one longer than 110 bytes is not sent.
inline constexpr std::size_t kCommandSize = 128;
inline constexpr std::size_t kCommandLimit = 110;
// Replies are received 256 bytes at a time.
inline constexpr std::size_t kReplyPiece = 256;
// The most that one reply may take up: the drain of an over-long POP3 reply and the lines of
// one IMAP reply stop here, so that a server cannot hold the daemon by talking forever.
inline constexpr std::size_t kReplyBudget = 64 * 1024;
// Receive time-out of every check socket, in seconds: what bounds a reply reader called
// outside a check. Within a check every wait lasts at most what is left of its budget.
inline constexpr int kReceiveTimeout = 2;

// Initialises the TLS library once, before the first TLS check runs. Returns 1, or 0 when
// the library could not be initialised (the TLS checks then fail).
int tls_init();

// 1 when every character of the text is a digit or a dot (also for the empty text), else 0.
int is_dotted(const char* text);

// Looks the name up (IPv4 only) and writes its first address in dotted form into out, which
// must hold kDottedSize bytes. Returns 1, or 0 (out set to the empty text) when the name does
// not resolve.
int resolve_host(const char* name, char* out);

// Opens a TCP connection to host and port (low 16 bits used): a dotted host of at most 22
// characters is taken as the address, a longer one fails, any other text is looked up. The
// socket is bound to any:0 and has the 2-second receive time-out; the connect gives up after
// the connect time-out or when the check's budget is spent. Returns the connected descriptor
// (never 0), or 0 on any failure with nothing left open.
int mail_connect(const char* host, unsigned int port);

// Reads one POP3 reply from a plain socket: 1 when its first piece begins with "+OK" followed
// by a blank, CR, LF or the end of the piece, else 0. A first piece that fills all 256 bytes
// is refused after the rest has been read and discarded (up to the end of data, the time-out
// or kReplyBudget bytes). The socket stays open.
int pop3_reply_ok(int socket_fd);

// Reads one IMAP reply to the command tagged "C1" from a plain socket: untagged lines are
// skipped, the tagged line decides (1 when it begins "C1 OK", 0 for "C1 NO", "C1 BAD" or any
// other). Lines may have any length; a time-out, end of data or more than kReplyBudget bytes
// before the tagged line gives 0. Nothing after the tagged line is read.
int imap_reply_ok(int socket_fd);

// The four checks. host is the mail server's name or dotted address, user and password are
// sent as given (IMAP sends them as quoted strings). Results:
//   pop3_check:   1 accepted; 0 no connection or no good greeting; -1 name or password refused
//   pop3s_check:  1 accepted; -1 any failure
//   imap_check:   1 accepted; -1 any failure
//   imaps_check:  1 accepted; -1 any failure
// pop3_check, imap_check and imaps_check write their Event lines; pop3s_check writes none.
int pop3_check(const char* host, unsigned int port, const char* user, const char* password);
int pop3s_check(const char* host, unsigned int port, const char* user, const char* password);
int imap_check(const char* host, unsigned int port, const char* user, const char* password);
int imaps_check(const char* host, unsigned int port, const char* user, const char* password);

}  // namespace mail
