#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

#include "core/event_log.h"
#include "mail/check_budget.h"
#include "mail/mail_check.h"
#include "mail/mail_link.h"

namespace mail {
namespace {

// "+OK" followed by a blank, CR, LF or the end of what was received.
bool good_reply(const char* piece, int length) {
  if (length < 3 || std::memcmp(piece, "+OK", 3) != 0) return false;
  if (length == 3) return true;
  return piece[3] == ' ' || piece[3] == '\r' || piece[3] == '\n';
}

// Over TLS one read decides, whatever its length.
int tls_reply_ok(const Link& link) {
  char piece[kReplyPiece + 1];
  const int length = link_read(link, piece, static_cast<int>(kReplyPiece));
  if (length < 1) return 0;
  return good_reply(piece, length) ? 1 : 0;
}

int reply_ok(const Link& link) {
  return link.ssl != nullptr ? tls_reply_ok(link) : pop3_reply_ok(link.fd);
}

// Where a dialogue stopped.
enum class Stage { kGreeting, kUser, kPassword, kAccepted };

// The greeting, USER and PASS. A name or password that holds a line break is refused before
// USER goes out, at the stage it belongs to, so the server sees neither of them.
Stage run_dialogue(const Link& link, const char* user, const char* password) {
  if (!reply_ok(link)) return Stage::kGreeting;
  if (holds_line_break(user)) return Stage::kUser;
  if (holds_line_break(password)) return Stage::kPassword;
  if (!send_command(link, "USER", user) || !reply_ok(link)) return Stage::kUser;
  if (!send_command(link, "PASS", password) || !reply_ok(link)) return Stage::kPassword;
  return Stage::kAccepted;
}

}  // namespace

int pop3_reply_ok(int socket_fd) {
  char piece[kReplyPiece + 1];
  if (!await_ready(socket_fd, POLLIN)) return 0;
  const int length = static_cast<int>(recv(socket_fd, piece, kReplyPiece, 0));
  if (length <= 0) return 0;
  piece[length] = '\0';
  if (static_cast<std::size_t>(length) < kReplyPiece) return good_reply(piece, length) ? 1 : 0;
  // A reply that fills the whole piece is refused; what follows of it is read and dropped so
  // that it is not taken for the next reply.
  std::size_t drained = kReplyPiece;
  while (drained < kReplyBudget && await_ready(socket_fd, POLLIN)) {
    const ssize_t more = recv(socket_fd, piece, kReplyPiece, 0);
    if (more <= 0) break;
    drained += static_cast<std::size_t>(more);
  }
  return 0;
}

int pop3_check(const char* host, unsigned int port, const char* user, const char* password) {
  const CheckBudget budget;
  const int fd = mail_connect(host, port);
  if (fd == 0) return 0;
  MailConnection connection(fd);
  switch (run_dialogue(connection.link(), user, password)) {
    case Stage::kGreeting:
      return 0;
    case Stage::kUser:
      core::log_token("@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr");
      return -1;
    case Stage::kPassword:
      core::log_token("@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr");
      return -1;
    case Stage::kAccepted:
      break;
  }
  core::log_token("%s%s", kMailHostUpLine, host);
  return 1;
}

int pop3s_check(const char* host, unsigned int port, const char* user, const char* password) {
  const CheckBudget budget;
  const int fd = mail_connect(host, port);
  if (fd == 0) return -1;
  MailConnection connection(fd);
  if (!connection.start_tls()) return -1;
  return run_dialogue(connection.link(), user, password) == Stage::kAccepted ? 1 : -1;
}

}  // namespace mail
