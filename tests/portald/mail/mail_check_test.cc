// The four checks against scripted servers on 127.0.0.1, plain and over TLS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mail_check.h"
#include "mail_fixture.h"
#include "mail_peer.h"

namespace mailtest {
namespace {

const std::string kPop3UserRefused =
    "@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr";
const std::string kPop3PasswordRefused =
    "@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr";
const std::string kHostUp =
    "@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  ident.emailhostname "
    "+ 127.0.0.1";
const std::string kImapRefused =
    "@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr";
const std::string kImapUp =
    "@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup ident.emailhostname  "
    "+ 127.0.0.1";
const std::string kImapsRefused =
    "@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr";

using Lines = std::vector<std::string>;

// ---- POP3 ----

struct Pop3Case {
  const char* situation;
  std::string greeting;
  std::vector<std::string> answers;
  std::string user;
  std::string password;
  int plain_result;   // pop3_check; pop3s_check gives 1 for 1 and -1 for anything else
  Lines plain_events;  // pop3s_check writes none
  std::string sent;
  bool close_after_greeting = false;
  bool plain_only = false;
};

std::vector<Pop3Case> pop3_cases() {
  const std::string user103(103, 'u');  // "USER " + 103 + CR LF = 110 bytes
  const std::string user104(104, 'u');
  const std::string pass104(104, 'p');
  std::string piece255 = "+OK " + std::string(249, 'g') + "\r\n";
  std::string piece256 = "+OK " + std::string(250, 'g') + "\r\n" + std::string(300, 'h');
  return {
      {"accepted_with_blank_after_ok", "+OK ready\r\n", {"+OK user\r\n", "+OK pass\r\n"}, "alice",
       "secret", 1, {kHostUp}, "USER alice\r\nPASS secret\r\n"},
      {"ok_directly_followed_by_crlf", "+OK\r\n", {"+OK\r\n", "+OK Logged in.\r\n"}, "alice",
       "secret", 1, {kHostUp}, "USER alice\r\nPASS secret\r\n"},
      {"ok_alone_in_its_piece", "+OK", {"+OK\n", "+OK"}, "alice", "secret", 1, {kHostUp},
       "USER alice\r\nPASS secret\r\n"},
      {"greeting_err", "-ERR go away\r\n", {}, "alice", "secret", 0, {}, ""},
      {"user_refused", "+OK\r\n", {"-ERR unknown\r\n"}, "alice", "secret", -1, {kPop3UserRefused},
       "USER alice\r\n"},
      {"password_refused", "+OK\r\n", {"+OK\r\n", "-ERR [AUTH] failed\r\n"}, "alice", "wrong", -1,
       {kPop3PasswordRefused}, "USER alice\r\nPASS wrong\r\n"},
      {"user_command_of_110_bytes_is_sent", "+OK\r\n", {"+OK\r\n", "+OK\r\n"}, user103, "pw", 1,
       {kHostUp}, "USER " + user103 + "\r\nPASS pw\r\n"},
      {"user_command_of_111_bytes_is_not_sent", "+OK\r\n", {"+OK\r\n", "+OK\r\n"}, user104, "pw",
       -1, {kPop3UserRefused}, ""},
      {"pass_command_of_111_bytes_is_not_sent", "+OK\r\n", {"+OK\r\n", "+OK\r\n"}, "alice", pass104,
       -1, {kPop3PasswordRefused}, "USER alice\r\n"},
      {"crlf_in_password_sends_nothing", "+OK\r\n", {"+OK\r\n", "+OK\r\n", "+OK\r\n"}, "alice",
       "x\r\nDELE 1", -1, {kPop3PasswordRefused}, ""},
      {"lf_in_name_sends_nothing", "+OK\r\n", {"+OK\r\n", "+OK\r\n", "+OK\r\n"}, "alice\nDELE 1",
       "secret", -1, {kPop3UserRefused}, ""},
      {"greeting_of_255_bytes_is_read_whole", piece255, {"+OK\r\n", "+OK\r\n"}, "alice", "secret",
       1, {kHostUp}, "USER alice\r\nPASS secret\r\n"},
      {"greeting_filling_the_piece_is_drained_and_refused", piece256, {}, "alice", "secret", 0, {},
       "", true, true},
      {"server_gone_after_greeting", "+OK\r\n", {}, "alice", "secret", -1, {kPop3UserRefused}, "",
       true},
  };
}

class Pop3Test : public MailTest, public ::testing::WithParamInterface<Pop3Case> {
 protected:
  void run(bool tls) {
    const Pop3Case& c = GetParam();
    int result;
    std::string sent;
    {
      MailPeer peer({tls, c.greeting, replies(c.answers), c.close_after_greeting});
      const auto check = tls ? mail::pop3s_check : mail::pop3_check;
      result = check("127.0.0.1", peer.port(), c.user.c_str(), c.password.c_str());
      peer.finish();
      sent = peer.received();
    }
    if (tls) {
      EXPECT_EQ(result, c.plain_result == 1 ? 1 : -1);
      EXPECT_EQ(events(), Lines{});
    } else {
      EXPECT_EQ(result, c.plain_result);
      EXPECT_EQ(events(), c.plain_events);
    }
    EXPECT_EQ(sent, c.sent);
  }
};

class Pop3PlainTest : public Pop3Test {};
class Pop3TlsTest : public Pop3Test {};

TEST_P(Pop3PlainTest, Dialogue) { run(false); }
TEST_P(Pop3TlsTest, Dialogue) { run(true); }

// Over TLS one read decides a reply: there is no drain.
std::vector<Pop3Case> pop3_tls_cases() {
  std::vector<Pop3Case> cases;
  for (const Pop3Case& c : pop3_cases())
    if (!c.plain_only) cases.push_back(c);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Situations, Pop3PlainTest, ::testing::ValuesIn(pop3_cases()),
                         [](const auto& row) { return std::string(row.param.situation); });
INSTANTIATE_TEST_SUITE_P(Situations, Pop3TlsTest, ::testing::ValuesIn(pop3_tls_cases()),
                         [](const auto& row) { return std::string(row.param.situation); });

// ---- IMAP ----

// Reads one IMAP string argument (atom or quoted string with \ escapes) at *at.
std::string imap_argument(const std::string& line, std::size_t* at) {
  std::string out;
  while (*at < line.size() && line[*at] == ' ') ++*at;
  if (*at < line.size() && line[*at] == '"') {
    for (++*at; *at < line.size() && line[*at] != '"'; ++*at) {
      if (line[*at] == '\\') ++*at;
      if (*at < line.size()) out += line[*at];
    }
    ++*at;
  } else {
    while (*at < line.size() && line[*at] != ' ') out += line[(*at)++];
  }
  return out;
}

// A server that parses "C1 LOGIN name password" as IMAP does and accepts one pair only.
Answer login_server(std::string user, std::string password) {
  return [user, password](const std::string& line, int) -> std::string {
    std::size_t at = 0;
    const std::string tag = imap_argument(line, &at);
    const std::string verb = imap_argument(line, &at);
    const std::string name = imap_argument(line, &at);
    const std::string pass = imap_argument(line, &at);
    const bool extra = at < line.size();
    if (verb != "LOGIN" || extra) return tag + " BAD syntax\r\n";
    if (name == user && pass == password) return tag + " OK Logged in\r\n";
    return tag + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n";
  };
}

struct ImapCase {
  const char* situation;
  std::string greeting;
  Answer answer;
  std::string user;
  std::string password;
  bool accepted;
  bool login_sent;  // the refusal writes its Event line: the greeting had passed
  std::string sent;
  int close_after_lines = 0;
};

std::string login_of(const std::string& user, const std::string& quoted_password) {
  return "C1 LOGIN \"" + user + "\" \"" + quoted_password + "\"\r\n";
}

std::vector<ImapCase> imap_cases() {
  const std::string capability =
      "C1 OK [CAPABILITY IMAP4rev1 " + std::string(400 - 32, 'C') + "] Logged in\r\n";
  const std::string long_greeting = "* OK [CAPABILITY " + std::string(300, 'G') + "] ready\r\n";
  const std::string user92(92, 'u');  // makes the LOGIN command with password "pw" 110 bytes
  const std::string user93(93, 'u');
  const std::string user84(84, 'u');  // 110 bytes with ten quotes as password, unescaped
  const std::string quotes10(10, '"');
  std::string endless;
  while (endless.size() < 70 * 1024) endless += "* " + std::string(98, 'x') + "\r\n";
  const std::string default_login = login_of("alice", "secret");
  return {
      {"tagged_ok", "* OK ready\r\n", replies({"C1 OK LOGIN completed\r\n"}), "alice", "secret",
       true, true, default_login},
      {"no_with_lookup_in_its_text", "* OK ready\r\n", replies({"C1 NO LOOKUP failed\r\n"}),
       "alice", "secret", false, true, default_login},
      {"tagged_bad", "* OK ready\r\n", replies({"C1 BAD parse error\r\n"}), "alice", "secret",
       false, true, default_login},
      {"untagged_lines_then_tagged_ok", "* OK ready\r\n",
       replies({"* CAPABILITY IMAP4rev1\r\n* OK [ALERT] hello\r\nC1 OK done\r\n"}), "alice",
       "secret", true, true, default_login},
      {"ok_only_in_untagged_lines", "* OK ready\r\n", replies({"* OK fine\r\nC1 NO bad\r\n"}),
       "alice", "secret", false, true, default_login},
      {"other_tags_do_not_count", "* OK ready\r\n", replies({"C10 OK x\r\nC2 OK y\r\nC1 NO z\r\n"}),
       "alice", "secret", false, true, default_login},
      {"capability_line_of_400_bytes", "* OK ready\r\n", replies({capability}), "alice",
       "secret", true, true, default_login},
      {"greeting_longer_than_a_piece", long_greeting, replies({"C1 OK done\r\n"}), "alice",
       "secret", true, true, default_login},
      {"lf_without_cr_ends_a_line", "* OK ready\n", replies({"* x\nC1 OK done\n"}), "alice",
       "secret", true, true, default_login},
      {"greeting_bye_with_ok_inside", "* BYE LOOKUP failed\r\n", replies({"C1 OK\r\n"}), "alice",
       "secret", false, false, ""},
      {"closed_before_the_tagged_line", "* OK ready\r\n", replies({"* BYE going\r\n"}), "alice",
       "secret", false, true, default_login, 1},
      {"endless_untagged_lines", "* OK ready\r\n", replies({endless}), "alice", "secret",
       false, true, default_login},
      {"password_with_blank_backslash_and_quote", "* OK ready\r\n",
       login_server("alice", "a b\\c\"d"), "alice", "a b\\c\"d", true, true,
       login_of("alice", "a b\\\\c\\\"d")},
      {"wrong_password_to_a_parsing_server", "* OK ready\r\n", login_server("alice", "a b"),
       "alice", "a", false, true, login_of("alice", "a")},
      {"login_command_of_110_bytes_is_sent", "* OK ready\r\n", login_server(user92, "pw"), user92,
       "pw", true, true, login_of(user92, "pw")},
      {"login_command_of_111_bytes_is_not_sent", "* OK ready\r\n", login_server(user93, "pw"),
       user93, "pw", false, true, ""},
      {"escapes_count_toward_the_limit", "* OK ready\r\n", login_server(user84, quotes10), user84,
       quotes10, false, true, ""},
      {"crlf_in_password_sends_nothing", "* OK ready\r\n", replies({"C1 OK\r\n", "C2 OK\r\n"}),
       "alice", "x\r\nC2 DELETE INBOX", false, true, ""},
      {"cr_in_name_sends_nothing", "* OK ready\r\n", replies({"C1 OK\r\n"}), "al\rice", "secret",
       false, true, ""},
  };
}

class ImapTest : public MailTest, public ::testing::WithParamInterface<ImapCase> {
 protected:
  void run(bool tls) {
    const ImapCase& c = GetParam();
    int result;
    std::string sent;
    {
      PeerScript script{tls, c.greeting, c.answer, false};
      script.close_after_lines = c.close_after_lines;
      MailPeer peer(script);
      const auto check = tls ? mail::imaps_check : mail::imap_check;
      result = check("127.0.0.1", peer.port(), c.user.c_str(), c.password.c_str());
      peer.finish();
      sent = peer.received();
    }
    EXPECT_EQ(result, c.accepted ? 1 : -1);
    Lines expected;
    if (c.accepted) expected.push_back(tls ? kHostUp : kImapUp);
    else if (c.login_sent) expected.push_back(tls ? kImapsRefused : kImapRefused);
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(sent, c.sent);
  }
};

TEST_P(ImapTest, PlainDialogue) { run(false); }
TEST_P(ImapTest, TlsDialogue) { run(true); }

INSTANTIATE_TEST_SUITE_P(Situations, ImapTest, ::testing::ValuesIn(imap_cases()),
                         [](const auto& row) { return std::string(row.param.situation); });

// ---- servers that do not answer, or do not speak TLS ----

using SilentServerTest = MailTest;

TEST_F(SilentServerTest, NoGreetingWithinTwoSeconds) {
  {
    MailPeer peer({false, "", nullptr, false});
    EXPECT_EQ(mail::pop3_check("127.0.0.1", peer.port(), "alice", "secret"), 0);
    EXPECT_EQ(mail::imap_check("127.0.0.1", peer.port(), "alice", "secret"), -1);
    peer.finish();
    EXPECT_EQ(peer.received(), "");
  }
  EXPECT_EQ(events(), Lines{});
}

TEST_F(SilentServerTest, TlsClientsMeetingAPlainServerFail) {
  {
    MailPeer peer({false, "+OK ready\r\n* OK ready\r\n", nullptr, false});
    EXPECT_EQ(mail::pop3s_check("127.0.0.1", peer.port(), "alice", "secret"), -1);
    EXPECT_EQ(mail::imaps_check("127.0.0.1", peer.port(), "alice", "secret"), -1);
    peer.finish();
    EXPECT_EQ(peer.connections(), 2);
  }
  EXPECT_EQ(events(), Lines{});
}

}  // namespace
}  // namespace mailtest
