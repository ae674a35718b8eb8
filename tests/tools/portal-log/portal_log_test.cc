// portal-log: every event line the daemon writes in plain words, the daemon's own lines end to
// end, and everything else passed through unchanged.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "daemon_process.h"
#include "event_text.h"
#include "kernel/kmsg_layout.h"
#include "tool_run.h"

namespace {

using portal_log::describe;
using portal_log::Event;

struct Row {
  const char* situation;
  std::string line;
  const char* text;
  const char* event;
  const char* method;
  const char* user;
  const char* ip;
  const char* mac;
};

const Row kRows[] = {
    {"start-up", "R1 0 R3 syslog.webauth_enable ", "portald started", "started", "", "", "", ""},
    {"start-up, trailing blank dropped by the log", "R1 0 R3 syslog.webauth_enable",
     "portald started", "started", "", "", "", ""},
    {"account loaded or added", "R1 0 R3 syslog.webauth_userti syslog.webauth_user alice",
     "account alice added", "account-added", "account", "alice", "", ""},
    {"account removed", "R1 0 R3 syslog.webauth_userti syslog.webauth_logoutuser bob",
     "account bob removed", "account-removed", "account", "bob", "", ""},
    {"login with address",
     "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser guest IP: 192.168.1.20 MAC: aa:bb:cc:dd:ee:01",
     "guest came online from 192.168.1.20 (aa:bb:cc:dd:ee:01)", "online", "", "guest",
     "192.168.1.20", "aa:bb:cc:dd:ee:01"},
    {"name with blanks and an IP: inside",
     "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser a b IP: x IP: 10.0.0.1 MAC: m",
     "a b IP: x came online from 10.0.0.1 (m)", "online", "", "a b IP: x", "10.0.0.1", "m"},
    {"one-key login, empty name", "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser ",
     "a client came online", "online", "", "", "", ""},
    {"taken offline by the administrator or a newer login",
     "R1 0 R3 syslog.webauth_userti syslog.webauth_downuser alice IP: 10.0.0.2 MAC: m2",
     "alice was taken offline at 10.0.0.2 (m2)", "taken-offline", "", "alice", "10.0.0.2", "m2"},
    {"host down, empty name: two blanks before IP",
     "R1 0 R3 syslog.webauth_ipti syslog.webauth_downuser  IP: 10.0.0.3 MAC: m3",
     "a client went offline from 10.0.0.3 (m3)", "offline", "", "", "10.0.0.3", "m3"},
    {"exempt address seen", "R1 0 R3 syslog.webauth_ipti syslog.webauth_onip 10.0.0.4",
     "exempt host 10.0.0.4 came online", "host-online", "exempt", "", "10.0.0.4", ""},
    {"exempt MAC seen", "R1 0 R3 syslog.webauth_macti syslog.webauth_onmac 00:11:22:33:44:55",
     "exempt host 00:11:22:33:44:55 came online", "host-online", "exempt", "", "",
     "00:11:22:33:44:55"},
    {"exempt MAC gone", "R1 0 R3 syslog.webauth_macti syslog.webauth_downmac 00:11:22:33:44:55",
     "exempt host 00:11:22:33:44:55 went offline", "host-offline", "exempt", "", "",
     "00:11:22:33:44:55"},
    {"account login",
     "@#@ log_info n 192.168.1.20 aa:bb  - webident - -v ident.userident  ident.webidentup ident.useridentname +  guest ",
     "guest came online from 192.168.1.20 (aa:bb) by account login", "online", "account", "guest",
     "192.168.1.20", "aa:bb"},
    {"account client down",
     "@#@ log_info n 10.0.0.5 m5  - webident - -v ident.userident  ident.webidentdown ident.useridentname + kid ",
     "kid went offline from 10.0.0.5 (m5) (account login)", "offline", "account", "kid",
     "10.0.0.5", "m5"},
    {"mail login",
     "@#@ log_info n  10.0.0.6 m6  - webident - -v ident.emailident  ident.webidentup  ident.emailidentname + me@example.org",
     "me@example.org came online from 10.0.0.6 (m6) by mail login", "online", "mail",
     "me@example.org", "10.0.0.6", "m6"},
    {"mailbox replaced by a login elsewhere",
     "@#@ log_info n 10.0.0.7 m7 - webident - -v ident.emailident  ident.webidentdown  ident.emailidentname + me ",
     "me went offline from 10.0.0.7 (m7): the mailbox logged in elsewhere", "offline", "mail", "me",
     "10.0.0.7", "m7"},
    {"one-key login",
     "@#@ log_info n 10.0.0.8 m8  - webident - -v ident.onekeyident ident.webidentup",
     "a client came online from 10.0.0.8 (m8) by one-key login", "online", "one-key", "",
     "10.0.0.8", "m8"},
    {"one-key client down",
     "@#@ log_info n  10.0.0.9 m9  - webident - -v ident.onekeyident  ident.webidentdown",
     "the client at 10.0.0.9 (m9) went offline (one-key login)", "offline", "one-key", "",
     "10.0.0.9", "m9"},
    {"one-key login from a known address",
     "@#@ log_info n - -   - webident - -v ident.userident ident.webidentup  ident.useridentname +  ",
     "a client came online again from a known address", "online-again", "one-key", "", "", ""},
    {"account added",
     "@#@ log_info n - - - webident - -v ident.userident ident.webidentup  ident.useridentname + carol",
     "account carol added", "account-added", "account", "carol", "", ""},
    {"account removed, no plus",
     "@#@ log_info n - - - webident - -v ident.userident ident.webidentdown  carol",
     "account carol removed", "account-removed", "account", "carol", "", ""},
    {"cut",
     "@#@ log_info n 10.0.0.10 m10 - webident - -v ident.webidentdown ident.identcuted ident.cutname + dave ",
     "dave at 10.0.0.10 (m10) was cut off by the administrator", "cut", "", "dave", "10.0.0.10",
     "m10"},
    {"exempt MAC down, account mode",
     "@#@ log_info n - 00:11:22:33:44:55 - webident - -v ident.macident  ident.webidentdown",
     "exempt host 00:11:22:33:44:55 went offline", "host-offline", "exempt", "", "",
     "00:11:22:33:44:55"},
    {"exempt MAC down, other modes",
     "@#@ log_info n - 00:11:22:33:44:55 - webident - -v ident.macident ident.webidentdown",
     "exempt host 00:11:22:33:44:55 went offline", "host-offline", "exempt", "", "",
     "00:11:22:33:44:55"},
    {"POP3 or IMAP over TLS accepted",
     "@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  ident.emailhostname + mail.example.org",
     "mail server mail.example.org accepted a mailbox login", "mail-accepted", "mail", "", "", ""},
    {"IMAP accepted",
     "@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup ident.emailhostname  + 10.1.1.1",
     "mail server 10.1.1.1 accepted a mailbox login (IMAP)", "mail-accepted", "mail", "", "", ""},
    {"POP3 name refused", "@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr",
     "the POP3 server refused a mailbox name", "mail-refused", "mail", "", "", ""},
    {"POP3 password refused", "@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr",
     "the POP3 server refused a mailbox password", "mail-refused", "mail", "", "", ""},
    {"IMAP refused", "@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr",
     "the IMAP server refused a mailbox login", "mail-refused", "mail", "", "", ""},
    {"IMAP over TLS refused",
     "@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr",
     "the IMAP server over TLS refused a mailbox login", "mail-refused", "mail", "", "", ""},
};

TEST(PortalLogTest, EveryFormOfTheVocabularyInPlainWords) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.situation);
    const Event e = describe(r.line);
    ASSERT_TRUE(e.known) << r.line;
    EXPECT_EQ(e.text, r.text);
    EXPECT_EQ(e.event, r.event);
    EXPECT_EQ(e.method, r.method);
    EXPECT_EQ(e.user, r.user);
    EXPECT_EQ(e.ip, r.ip);
    EXPECT_EQ(e.mac, r.mac);
    EXPECT_EQ(e.form, r.line[0] == '@' ? "token" : "keyed");
    EXPECT_EQ(e.prefix, "");
  }
}

TEST(PortalLogTest, SystemLogPrefixesAreKeptAndSqueezedBlanksStillRead) {
  const Event syslog = describe(
      "Dec  8 07:00:01 router user: R1 0 R3 syslog.webauth_ipti syslog.webauth_onip 10.0.0.4");
  ASSERT_TRUE(syslog.known);
  EXPECT_EQ(syslog.prefix, "Dec  8 07:00:01 router user: ");
  EXPECT_EQ(portal_log::plain("", syslog), "Dec  8 07:00:01 router user: exempt host 10.0.0.4 came online");
  const Event journal = describe(
      "Dec 08 07:00:02 router portald[812]: @#@ log_info n 10.0.0.8 m8 - webident -v -v "
      "ident.onekeyident ident.webidentup");
  EXPECT_FALSE(journal.known);  // "-v -v" is not a form the daemon writes
  const Event squeezed = describe(
      "portald[812]: @#@ log_info n 10.0.0.8 m8 - webident - -v ident.onekeyident ident.webidentup");
  ASSERT_TRUE(squeezed.known);
  EXPECT_EQ(squeezed.text, "a client came online from 10.0.0.8 (m8) by one-key login");
  EXPECT_EQ(squeezed.prefix, "portald[812]: ");
  // An empty name at the end of a line whose trailing blanks the log dropped.
  const Event known = describe(
      "@#@ log_info n - -   - webident - -v ident.userident ident.webidentup  ident.useridentname +");
  EXPECT_EQ(known.text, "a client came online again from a known address");
  // Windows line ends from a copied file.
  EXPECT_EQ(describe("R1 0 R3 syslog.webauth_userti syslog.webauth_user alice\r").user, "alice");
}

TEST(PortalLogTest, AnythingElseIsNotAnEvent) {
  const char* lines[] = {
      "",
      "Dec  8 07:00:01 router kernel: eth0: link up",
      "R1 0 R3 ",
      "R1 0 R3 syslog.webauth_userti",
      "R1 0 R3 syslog.webauth_userti syslog.webauth_unknown alice",
      "R1 0 R3 syslog.webauth_otherti syslog.webauth_user alice",
      "R1 0 R3 syslog.webauth_enable and more",
      "R1 0 R3 syslog.webauth_ipti syslog.webauth_downuser alice without address",
      "@#@ log_info",
      "@#@ log_info n - - - webident - -v ident.userident ident.newtoken",
      "@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr extra",
      "r1 0 r3 syslog.webauth_enable ",
  };
  for (const char* l : lines) {
    SCOPED_TRACE(l);
    const Event e = describe(l);
    EXPECT_FALSE(e.known);
    EXPECT_EQ(portal_log::plain(l, e), l);
    EXPECT_EQ(portal_log::json(l, e), "{\"line\":\"" + std::string(l) + "\",\"known\":false}");
  }
}

// The text of every string literal that begins with begin in the daemon's sources, adjacent
// literals joined as the compiler joins them.
std::vector<std::string> literals_in_sources(const std::string& begin) {
  std::vector<std::string> out;
  std::vector<std::string> dirs = {PORTALD_SOURCES};
  while (!dirs.empty()) {
    const std::string dir = dirs.back();
    dirs.pop_back();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) continue;
    while (dirent* ent = readdir(d)) {
      const std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      if (ent->d_type == DT_DIR) {
        dirs.push_back(path);
        continue;
      }
      std::ifstream in(path);
      std::stringstream ss;
      ss << in.rdbuf();
      const std::string src = ss.str();
      for (size_t at = src.find("\"" + begin); at != std::string::npos;
           at = src.find("\"" + begin, at + 1)) {
        std::string text;
        size_t p = at;
        while (p < src.size() && src[p] == '"') {
          const size_t close = src.find('"', p + 1);
          text += src.substr(p + 1, close - p - 1);
          p = src.find_first_not_of(" \n", close + 1);
        }
        out.push_back(text);
      }
    }
    closedir(d);
  }
  return out;
}

TEST(PortalLogTest, EveryEventLineInTheDaemonsSourcesIsKnown) {
  const auto tokens = literals_in_sources("@#@ log_info");
  ASSERT_GE(tokens.size(), 17u);
  for (std::string format : tokens) {
    SCOPED_TRACE(format);
    if (format.find("...") != std::string::npos) continue;  // a comment's mention
    // The mail checks append the server's host name to their success line.
    if (format.size() > 2 && format.compare(format.size() - 2, 2, "+ ") == 0) format += "mail.example.org";
    // Fill the places as the daemon does: a client's address and MAC, then a name.
    const size_t first = format.find("%s");
    if (first != std::string::npos) {
      const bool mac_only = format.compare(first - 2, 2, "- ") == 0 && format.find("macident") != std::string::npos;
      format.replace(first, 2, mac_only ? "00:11:22:33:44:55" : "10.0.0.1 00:11:22:33:44:55");
    }
    const size_t second = format.find("%s");
    if (second != std::string::npos) format.replace(second, 2, "alice");
    const Event e = describe(format);
    EXPECT_TRUE(e.known) << format;
  }
  // Every message key, after its title, with the daemon's two ways of naming a client.
  const auto keys = literals_in_sources("syslog.webauth_");
  std::set<std::string> titles, messages;
  for (const std::string& k : keys) (k.size() > 2 && k.compare(k.size() - 2, 2, "ti") == 0 ? titles : messages).insert(k);
  titles.insert("syslog.webauth_enable");
  messages.erase("syslog.webauth_enable");
  ASSERT_EQ(titles.size(), 4u);
  for (const std::string& m : messages) {
    SCOPED_TRACE(m);
    const std::string key = m.substr(0, m.find(' '));
    bool known = false;
    for (const std::string& t : titles) {
      for (const std::string& tail : {std::string(" bob"), std::string(" bob IP: 10.0.0.1 MAC: m")}) {
        known = known || describe("R1 0 R3 " + t + " " + key + tail).known;
      }
    }
    EXPECT_TRUE(known) << key;
  }
}

using testing_support::client_at;
using testing_support::DaemonProcess;
using testing_support::TempRoot;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(PortalLogToolTest, TheDaemonsOwnLogInPlainWordsAndJson) {
  TempRoot root;
  root.write(core::kAccountFile, "guest x y * *\n");
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "USERS"}});
  ASSERT_TRUE(d.start());
  ASSERT_EQ(d.login(client_at("192.168.1.20", "aa:bb:cc:dd:ee:01", "guest")), 1);
  const unsigned char mac[6] = {0, 0x11, 0x22, 0x33, 0x44, 0x55};
  ASSERT_TRUE(d.send_event(testing_support::kernel_event(KEV_HOST_UP, "10.0.0.4", KIND_MAC, mac)));
  ASSERT_TRUE(d.send_event(testing_support::kernel_event(KEV_HOST_DOWN, "10.0.0.4")));
  ASSERT_TRUE(d.send_event(testing_support::kernel_event(KEV_HOST_DOWN, "192.168.1.20")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<std::string> log = d.log();
  ASSERT_EQ(log.size(), 9u);

  // Pass-through of a foreign line, in the middle of the daemon's.
  const std::string file = root.dir() + "/mixed.log";
  {
    std::ofstream out(file);
    for (size_t i = 0; i < log.size(); ++i) {
      out << log[i] << "\n";
      if (i == 0) out << "Dec  8 07:00:01 router kernel: eth0: link up\n";
    }
  }
  const tool_run::Result plain = tool_run::run(PORTAL_LOG_BINARY, {file});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(lines_of(plain.out), (std::vector<std::string>{
                                     "portald started",
                                     "Dec  8 07:00:01 router kernel: eth0: link up",
                                     "account guest added",
                                     "guest came online from 192.168.1.20 (aa:bb:cc:dd:ee:01)",
                                     "guest came online from 192.168.1.20 (aa:bb:cc:dd:ee:01) by account login",
                                     "exempt host 00:11:22:33:44:55 came online",
                                     "exempt host 00:11:22:33:44:55 went offline",
                                     "exempt host 00:11:22:33:44:55 went offline",
                                     "guest went offline from 192.168.1.20 (aa:bb:cc:dd:ee:01)",
                                     "guest went offline from 192.168.1.20 (aa:bb:cc:dd:ee:01) (account login)",
                                 }));

  // From a pipe, as JSON, events only.
  const tool_run::Result json =
      tool_run::run("/bin/sh", {"-c", "cat \"$1\" | \"$2\" --json --only", "sh", file, PORTAL_LOG_BINARY});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto objects = lines_of(json.out);
  ASSERT_EQ(objects.size(), log.size());
  EXPECT_EQ(objects[3],
            "{\"line\":\"" + log[3] +
                "\",\"known\":true,\"form\":\"token\",\"event\":\"online\",\"method\":\"account\","
                "\"user\":\"guest\",\"ip\":\"192.168.1.20\",\"mac\":\"aa:bb:cc:dd:ee:01\",\"text\":"
                "\"guest came online from 192.168.1.20 (aa:bb:cc:dd:ee:01) by account login\"}");
}

TEST(PortalLogToolTest, MissingFileIsReportedAndTheOthersStillRead) {
  TempRoot root;
  const std::string good = root.dir() + "/good.log";
  std::ofstream(good) << "R1 0 R3 syslog.webauth_enable \n";
  const tool_run::Result r = tool_run::run(PORTAL_LOG_BINARY, {root.dir() + "/missing.log", good});
  EXPECT_EQ(r.status, 66);
  EXPECT_NE(r.err.find("missing.log"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "portald started\n");
  const tool_run::Result bad = tool_run::run(PORTAL_LOG_BINARY, {"--bogus"});
  EXPECT_EQ(bad.status, 64);
  EXPECT_NE(bad.err.find("usage: portal-log"), std::string::npos);
  EXPECT_EQ(tool_run::run(PORTAL_LOG_BINARY, {"--help"}).status, 0);
}

}  // namespace
