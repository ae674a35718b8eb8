#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "core/event_log.h"
#include "mail/check_budget.h"
#include "mail/mail_check.h"
#include "mail/mail_link.h"

namespace mail {
namespace {

// Reads one line into line, without its CR LF. Only the bytes of that line are taken from the
// connection (they are looked at first and then read up to the line feed), so what the server
// sends next stays for the next read. Each receive is bounded by the receive time-out and all
// receives together by *budget. Returns false on end of data, time-out, error or a spent budget.
bool read_line(const Link& link, std::string* line, std::size_t* budget) {
  line->clear();
  char piece[kReplyPiece];
  while (*budget > 0) {
    const int want = static_cast<int>(std::min(kReplyPiece, *budget));
    const int seen = link_peek(link, piece, want);
    if (seen <= 0) return false;
    const char* feed =
        static_cast<const char*>(std::memchr(piece, '\n', static_cast<std::size_t>(seen)));
    const int take = feed != nullptr ? static_cast<int>(feed - piece) + 1 : seen;
    if (link_read(link, piece, take) != take) return false;
    *budget -= static_cast<std::size_t>(take);
    line->append(piece, static_cast<std::size_t>(take));
    if (feed != nullptr) {
      line->pop_back();
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
  }
  return false;
}

// The line begins with the word: the prefix followed by a blank or the end of the line.
bool begins_with_word(const std::string& line, const char* word) {
  const std::size_t length = std::strlen(word);
  return line.compare(0, length, word) == 0 && (line.size() == length || line[length] == ' ');
}

// The server's greeting: its first line must be "* OK ...".
int greeting_ok(const Link& link) {
  std::string line;
  std::size_t budget = kReplyBudget;
  if (!read_line(link, &line, &budget)) return 0;
  return begins_with_word(line, "* OK") ? 1 : 0;
}

// The reply to the command tagged C1: untagged lines go by, the tagged line decides.
int tagged_reply_ok(const Link& link) {
  std::string line;
  std::size_t budget = kReplyBudget;
  while (read_line(link, &line, &budget)) {
    if (line.compare(0, 3, "C1 ") == 0) return begins_with_word(line, "C1 OK") ? 1 : 0;
  }
  return 0;
}

// An IMAP quoted string: the text between double quotes, with \ and " escaped by a \.
std::string quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') out += '\\';
    out += *p;
  }
  out += '"';
  return out;
}

// Sends "C1 LOGIN" with the name and password quoted. Nothing is sent when either holds a
// line break or when the command as sent would be longer than kCommandLimit bytes.
bool send_login(const Link& link, const char* user, const char* password) {
  if (holds_line_break(user) || holds_line_break(password)) return false;
  const std::string command = "C1 LOGIN " + quoted(user) + " " + quoted(password) + "\r\n";
  return send_text_command(link, command.data(), command.size());
}

enum class Stage { kGreeting, kLogin, kAccepted };

Stage run_dialogue(const Link& link, const char* user, const char* password) {
  if (!greeting_ok(link)) return Stage::kGreeting;
  if (!send_login(link, user, password) || !tagged_reply_ok(link)) return Stage::kLogin;
  return Stage::kAccepted;
}

// The result of a check and its Event line: none when the greeting failed, the refusal line
// when the login failed, the accepting line followed by the host when it succeeded.
int report(Stage stage, const char* host, const char* refused_line, const char* accepted_line) {
  switch (stage) {
    case Stage::kGreeting:
      return -1;
    case Stage::kLogin:
      core::log_token("%s", refused_line);
      return -1;
    case Stage::kAccepted:
      break;
  }
  core::log_token("%s%s", accepted_line, host);
  return 1;
}

}  // namespace

int imap_reply_ok(int socket_fd) {
  Link link;
  link.fd = socket_fd;
  return tagged_reply_ok(link);
}

int imap_check(const char* host, unsigned int port, const char* user, const char* password) {
  const CheckBudget budget;
  const int fd = mail_connect(host, port);
  if (fd == 0) return -1;
  MailConnection connection(fd);
  return report(run_dialogue(connection.link(), user, password), host,
                "@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr",
                "@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup "
                "ident.emailhostname  + ");
}

int imaps_check(const char* host, unsigned int port, const char* user, const char* password) {
  const CheckBudget budget;
  const int fd = mail_connect(host, port);
  if (fd == 0) return -1;
  MailConnection connection(fd);
  if (!connection.start_tls()) return -1;
  return report(run_dialogue(connection.link(), user, password), host,
                "@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr",
                kMailHostUpLine);
}

}  // namespace mail
