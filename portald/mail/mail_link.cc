#include "mail/mail_link.h"

#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "mail/check_budget.h"
#include "mail/mail_check.h"

namespace mail {

int tls_init() {
#if OPENSSL_VERSION_NUMBER >= 0x10100000L
  // The library initialisation, all ciphers and digests, and the error strings of both
  // libraries, as the separate calls of older releases did.
  if (OPENSSL_init_ssl(0, nullptr) != 1) return 0;
  const uint64_t algorithms = OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS;
  if (OPENSSL_init_crypto(algorithms, nullptr) != 1) return 0;
  const uint64_t strings = OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
  if (OPENSSL_init_ssl(strings, nullptr) != 1) return 0;
  return 1;
#else
  SSL_library_init();
  OPENSSL_add_all_algorithms_noconf();
  SSL_load_error_strings();
  return 1;
#endif
}

namespace {

// Runs one TLS call until it completes, fails, or the check's budget is spent. Under a budget
// the socket does not block, and each wait for the server is a wait within the budget; without
// one the socket's own time-outs bound the call, which runs once.
template <typename Call>
int tls_call(const Link& link, Call call) {
  for (;;) {
    // SSL_get_error reads the thread's error queue, which must be empty before the call.
    ERR_clear_error();
    const int n = call();
    if (n > 0 || budget_left_ms() < 0) return n;
    const int error = SSL_get_error(link.ssl, n);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) events = POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events == 0 || !await_ready(link.fd, events)) return n;
  }
}

}  // namespace

int link_read(const Link& link, char* buffer, int size) {
  if (link.ssl != nullptr) return tls_call(link, [&] { return SSL_read(link.ssl, buffer, size); });
  if (!await_ready(link.fd, POLLIN)) return -1;
  return static_cast<int>(recv(link.fd, buffer, static_cast<size_t>(size), 0));
}

int link_peek(const Link& link, char* buffer, int size) {
  if (link.ssl != nullptr) return tls_call(link, [&] { return SSL_peek(link.ssl, buffer, size); });
  if (!await_ready(link.fd, POLLIN)) return -1;
  return static_cast<int>(recv(link.fd, buffer, static_cast<size_t>(size), MSG_PEEK));
}

bool link_send(const Link& link, const char* text, std::size_t length) {
  if (link.ssl != nullptr) {
    return tls_call(link, [&] { return SSL_write(link.ssl, text, static_cast<int>(length)); }) > 0;
  }
  if (!await_ready(link.fd, POLLOUT)) return false;
  const ssize_t sent = send(link.fd, text, length, MSG_NOSIGNAL);
  return sent >= 0 && static_cast<std::size_t>(sent) == length;
}

bool holds_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

bool send_text_command(const Link& link, const char* text, std::size_t length) {
  if (length > kCommandLimit) return false;
  return link_send(link, text, length);
}

bool send_command(const Link& link, const char* verb, const char* argument) {
  if (holds_line_break(argument)) return false;
  char command[kCommandSize];
  const int length = std::snprintf(command, sizeof command, "%s %s\r\n", verb, argument);
  if (length < 0) return false;
  return send_text_command(link, command, static_cast<std::size_t>(length));
}

SigpipeHold::SigpipeHold() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask_);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeHold::~SigpipeHold() {
  if (!was_pending_) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      sigset_t pipe_only;
      sigemptyset(&pipe_only);
      sigaddset(&pipe_only, SIGPIPE);
      const timespec no_wait = {0, 0};
      sigtimedwait(&pipe_only, nullptr, &no_wait);
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

bool MailConnection::start_tls() {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) return false;
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  link_.ssl = SSL_new(ctx_);
  if (link_.ssl == nullptr) return false;
  if (SSL_set_fd(link_.ssl, link_.fd) != 1) return false;
  // Under a check's budget the socket stops blocking, so that no TLS call can wait beyond the
  // budget however the server trickles its bytes; without one the handshake's reads are
  // bounded by the socket's receive time-out.
  if (budget_left_ms() >= 0) {
    const int flags = fcntl(link_.fd, F_GETFL);
    if (flags < 0 || fcntl(link_.fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  }
  return tls_call(link_, [this] { return SSL_connect(link_.ssl); }) == 1;
}

MailConnection::~MailConnection() {
  if (link_.ssl != nullptr) {
    // The close alert goes out before the socket closes; the server's own is not awaited.
    if (SSL_is_init_finished(link_.ssl)) SSL_shutdown(link_.ssl);
    SSL_free(link_.ssl);
  }
  if (link_.fd >= 0) close(link_.fd);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  // Nothing of a failed dialogue may surface in a later, unrelated TLS call.
  ERR_clear_error();
}

}  // namespace mail
