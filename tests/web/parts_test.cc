// The pieces of portal-web: form parsing, text checks, escaping, the neighbour table, the
// registration file, the language choice, the text tables, the tokens and the verdicts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "account_limit.h"
#include "admin.h"
#include "auth/requests.h"
#include "cgi.h"
#include "csrf.h"
#include "login.h"
#include "neighbours.h"
#include "online_list.h"
#include "pages.h"
#include "portald_fixture.h"
#include "texts.h"

namespace web {
namespace {

TEST(Form, ReadsWhatBrowsersSendAndRefusesWhatTheyDoNot) {
  struct Row {
    const char* situation;
    const char* text;
    bool ok;
    const char* name;
    const char* value;
  };
  const Row rows[] = {
      {"plain pair", "code=alice", true, "code", "alice"},
      {"plus is a blank", "code=a+b", true, "code", "a b"},
      {"escaped bytes", "code=%3Cb%3E%e4%b8%8a", true, "code", "<b>\xe4\xb8\x8a"},
      {"empty value", "url=&code=x", true, "url", ""},
      {"name without value", "code", true, "code", ""},
      {"empty pieces skipped", "&&code=x&", true, "code", "x"},
      {"escaped ampersand stays in the value", "code=a%26b%3Dc", true, "code", "a&b=c"},
      {"escape cut short", "code=ab%4", false, "", ""},
      {"escape at the end", "code=ab%", false, "", ""},
      {"escape not hex", "code=%zz", false, "", ""},
      {"field named twice", "code=a&code=b", false, "", ""},
      {"name named twice through an escape", "code=a&c%6fde=b", false, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    Form f;
    EXPECT_EQ(f.parse(row.text), row.ok);
    if (row.ok) {
      EXPECT_TRUE(f.has(row.name));
      EXPECT_EQ(f.get(row.name), row.value);
    }
  }
}

TEST(Form, EncodedValuesComeBackUnchanged) {
  const std::string value = "http://wan.example/a b?x=1&y=%41#frag\xe4\xb8\x8a";
  Form f;
  ASSERT_TRUE(f.parse("url=" + url_encode(value)));
  EXPECT_EQ(f.get("url"), value);
  EXPECT_EQ(url_encode("a-Z_0.~"), "a-Z_0.~");
}

TEST(PrintableText, TakesWhatAPersonTypesAndRefusesTheRest) {
  const std::pair<const char*, std::string> good[] = {
      {"ascii", "alice 2"}, {"chinese", "\xe4\xb8\x8a\xe7\xbd\x91"}, {"emoji", "\xf0\x9f\x98\x80"},
      {"empty", ""}, {"markup", "<b>x</b>&\""},
  };
  for (const auto& g : good) EXPECT_TRUE(printable_text(g.second)) << g.first;
  const std::pair<const char*, std::string> bad[] = {
      {"line feed", "a\nb"}, {"carriage return", "a\rb"}, {"nul", std::string("a\0b", 3)},
      {"tab", "a\tb"}, {"delete", "a\x7f"}, {"c1 control", "a\xc2\x85"},
      {"overlong slash", "\xc0\xaf"}, {"overlong three bytes", "\xe0\x80\xaf"},
      {"surrogate", "\xed\xa0\x80"}, {"cut sequence", "\xe4\xb8"}, {"lone continuation", "\x80"},
      {"above unicode", "\xf4\x90\x80\x80"}, {"latin-1 byte", "caf\xe9"},
  };
  for (const auto& b : bad) EXPECT_FALSE(printable_text(b.second)) << b.first;
}

TEST(HtmlEscape, MarkupBecomesText) {
  EXPECT_EQ(html_escape("<script>alert('x')</script> & \"q\""),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;");
  EXPECT_EQ(html_escape("\xe4\xb8\x8a"), "\xe4\xb8\x8a");
}

TEST(SafeUrl, OnlyWebAddressesLeadOn) {
  EXPECT_EQ(safe_url("http://wan.example/x?a=1"), "http://wan.example/x?a=1");
  EXPECT_EQ(safe_url("https://wan.example/"), "https://wan.example/");
  EXPECT_EQ(safe_url("javascript:alert(1)"), "");
  EXPECT_EQ(safe_url("data:text/html,<b>"), "");
  EXPECT_EQ(safe_url("//wan.example/"), "");
  EXPECT_EQ(safe_url("http://wan.example/\nSet-Cookie: x"), "");
  EXPECT_EQ(safe_url("http://wan.example/" + std::string(1981, 'a')).size(), 2000u);
  EXPECT_EQ(safe_url("http://wan.example/" + std::string(1982, 'a')), "");
}

TEST(PagePath, FromPathInfoOrTheRequest) {
  EXPECT_EQ(page_path("/login", "/login"), "/login");
  EXPECT_EQ(page_path("", "/generate_204?x=1"), "/generate_204");
  EXPECT_EQ(page_path("", ""), "/");
  EXPECT_EQ(page_path("/admin", "/cgi-bin/portal-web/admin"), "/admin");
}

const char kArp[] =
    "IP address       HW type     Flags       HW address            Mask     Device\n"
    "10.0.0.12        0x1         0x2         02:00:00:00:00:12     *        br0\n"
    "10.0.0.1         0x1         0x2         02:00:00:00:00:01     *        br0\n"
    "10.0.0.2         0x1         0x0         00:00:00:00:00:00     *        br0\n"
    "10.0.0.3         0x1         0x2         00:00:00:00:00:00     *        br0\n"
    "10.0.0.4         0x1         0x6         02:AB:CD:EF:00:04     *        br0\n"
    "10.0.0.5         0x1         0x0         02:00:00:00:00:05     *        br0\n";

TEST(Neighbours, CompleteEntriesOnlyWholeAddressesOnly) {
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.1"), "02:00:00:00:00:01");
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.12"), "02:00:00:00:00:12");
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.2"), "") << "incomplete";
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.3"), "") << "all-zero address";
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.4"), "02:ab:cd:ef:00:04") << "permanent, lower-cased";
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.5"), "") << "flags without ATF_COM";
  EXPECT_EQ(mac_in_table(kArp, "10.0.0.9"), "");
  EXPECT_EQ(mac_in_table(kArp, "10.0.0"), "");
  EXPECT_EQ(mac_in_table("10.0.0.1 0x1 0x2 02:00:00:00:00:01 * br0\n", "10.0.0.1"), "")
      << "the first line is the header";
  EXPECT_EQ(lookup_mac("/nonexistent/arp", "10.0.0.1"), "");
}

TEST(OnlineList, ReadsLinesFromTheirEnd) {
  const std::string text =
      "alice 10.0.0.1 aa:bb:cc:dd:ee:01 1700000000 3 \n"
      " 10.0.0.2 aa:bb:cc:dd:ee:02 1700000001 0 \n"
      "two words 10.0.0.3 aa:bb:cc:dd:ee:03 1700000002 3 \n"
      "<b>x</b> 10.0.0.4 aa:bb:cc:dd:ee:04 1700000003 3 \n"
      "no trailing blank 10.0.0.5 aa 1 3\n"
      "10.0.0.6 aa 1 3 \n"
      "bad 10.0.0.7 aa notanumber 3 \n"
      "\n";
  const std::vector<OnlineClient> list = parse_online_list(text);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name, "alice");
  EXPECT_EQ(list[0].login_time, 1700000000);
  EXPECT_EQ(list[1].name, "");
  EXPECT_EQ(list[1].ip, "10.0.0.2");
  EXPECT_EQ(list[2].name, "two words");
  EXPECT_EQ(list[2].mac, "aa:bb:cc:dd:ee:03");
  EXPECT_EQ(list[3].name, "<b>x</b>");
  EXPECT_TRUE(is_online(list, "10.0.0.4"));
  EXPECT_FALSE(is_online(list, "10.0.0.5"));
  EXPECT_FALSE(is_online(list, "10.0.0"));
  EXPECT_TRUE(parse_online_list("").empty());
}

TEST(Language, ChineseOnlyWhenPreferred) {
  struct Row {
    const char* header;
    Language want;
  };
  const Row rows[] = {
      {"", Language::kEnglish},
      {"zh-CN", Language::kChinese},
      {"zh-Hans-CN,zh;q=0.9,en;q=0.8", Language::kChinese},
      {"ZH-cn", Language::kChinese},
      {"en-US,en;q=0.9,zh-CN;q=0.8", Language::kEnglish},
      {"en;q=0.5, zh;q=0.7", Language::kChinese},
      {"zh;q=0", Language::kEnglish},
      {"de-DE,fr;q=0.8", Language::kEnglish},
      {"de-DE,zh-TW;q=0.5", Language::kChinese},
      {"zh;q=bogus", Language::kEnglish},
      {"zhx-CN", Language::kEnglish},
  };
  for (const Row& row : rows) EXPECT_EQ(choose_language(row.header), row.want) << row.header;
}

std::set<std::string> places(const std::string& text) {
  std::set<std::string> s;
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    if (text[i] == '{' && text[i + 2] == '}') s.insert(text.substr(i, 3));
  }
  return s;
}

TEST(Texts, EveryLanguageHasEveryTextOnceWithTheSamePlaces) {
  for (const TextTable* table : {&kEnglishTexts, &kChineseTexts}) {
    std::set<size_t> seen;
    for (size_t i = 0; i < table->size; ++i) {
      EXPECT_TRUE(seen.insert(static_cast<size_t>(table->entries[i].key)).second)
          << "key " << static_cast<size_t>(table->entries[i].key) << " twice";
      EXPECT_NE(std::string(table->entries[i].text), "");
    }
    EXPECT_EQ(seen.size(), kMsgCount);
  }
  for (size_t k = 0; k < kMsgCount; ++k) {
    const Msg m = static_cast<Msg>(k);
    EXPECT_EQ(places(text(Language::kEnglish, m)), places(text(Language::kChinese, m)))
        << "key " << k;
  }
  EXPECT_EQ(fill("{2} and {1}, {1}", {"a", "b"}), "b and a, a");
  EXPECT_EQ(fill("{3}", {"a"}), "");
}

TEST(Duration, WholeMinutesRoundedUp) {
  EXPECT_EQ(duration_text(Language::kEnglish, 0), "0 min");
  EXPECT_EQ(duration_text(Language::kEnglish, 1), "1 min");
  EXPECT_EQ(duration_text(Language::kEnglish, 3600), "1 h 0 min");
  EXPECT_EQ(duration_text(Language::kEnglish, 3601), "1 h 1 min");
  EXPECT_EQ(duration_text(Language::kChinese, 7200), "2 小时 0 分钟");
}

TEST(AccountLimit, AsPortaldReadsTheFile) {
  const std::string file =
      "alice x y * *\n"
      "kid x y 2 two-hours\n"
      "old x y 2020-01-31. gone\n"
      "short x\n"
      "spaced  y 3\n"
      "kid x y 5 second-line-not-read\n";
  EXPECT_EQ(limit_in_account_file(file, "alice").kind, AccountLimit::kNone);
  const AccountLimit kid = limit_in_account_file(file, "kid");
  EXPECT_EQ(kid.kind, AccountLimit::kDaily);
  EXPECT_EQ(kid.hours, 2);
  const AccountLimit old = limit_in_account_file(file, "old");
  EXPECT_EQ(old.kind, AccountLimit::kDate);
  EXPECT_EQ(old.day, "2020-01-31");
  EXPECT_EQ(limit_in_account_file(file, "short").kind, AccountLimit::kNone);
  EXPECT_EQ(limit_in_account_file(file, "spaced").kind, AccountLimit::kDaily)
      << "two blanks make an empty field, so the limit is the fourth";
  EXPECT_EQ(limit_in_account_file(file, "added-later").kind, AccountLimit::kUnknown);
}

TEST(Midnight, NextLocalMidnight) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(seconds_to_midnight(1765152000 + 23 * 3600), 3600);  // 2025-12-08 23:00 UTC
  EXPECT_EQ(seconds_to_midnight(1765152000), 86400);
}

client::LoginOutcome reply(int32_t result) {
  client::LoginOutcome o;
  o.exchange = client::Exchange::kReply;
  o.result = result;
  return o;
}

client::LoginOutcome exchange(client::Exchange e) {
  client::LoginOutcome o;
  o.exchange = e;
  return o;
}

TEST(Judge, OneSentenceForEveryOutcome) {
  const Language en = Language::kEnglish;
  struct Row {
    const char* situation;
    LoginKind kind;
    client::LoginOutcome out;
    bool online;
    bool ok;
    Msg sentence;
  };
  const Row rows[] = {
      {"ok", LoginKind::kUsers, reply(auth::LOGIN_OK), false, true, Msg::kConnected},
      {"unknown code", LoginKind::kUsers, exchange(client::Exchange::kNoReply), false, false,
       Msg::kWrongCode},
      {"advert never replies", LoginKind::kAdvert, exchange(client::Exchange::kNoReply), true,
       true, Msg::kConnected},
      {"advert not recorded", LoginKind::kAdvert, exchange(client::Exchange::kNoReply), false,
       false, Msg::kNotConfirmed},
      {"one-key refresh", LoginKind::kOnekey, exchange(client::Exchange::kNoReply), true, true,
       Msg::kConnected},
      {"mail refused", LoginKind::kEmail, reply(auth::LOGIN_REJECTED), false, false,
       Msg::kWrongPassword},
      {"not listed", LoginKind::kEmail, reply(auth::LOGIN_NOT_LISTED), false, false,
       Msg::kNotListed},
      {"daemon away", LoginKind::kUsers, exchange(client::Exchange::kUnreachable), false, false,
       Msg::kServiceDown},
      {"daemon slow", LoginKind::kEmail, exchange(client::Exchange::kTimeout), false, false,
       Msg::kServiceSlow},
      {"reply cut short", LoginKind::kOnekey, exchange(client::Exchange::kShortReply), true,
       false, Msg::kServiceDown},
      {"unknown result", LoginKind::kOnekey, reply(9), true, false, Msg::kNotConfirmed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Verdict v = judge(en, row.kind, row.out, row.online, "nobody", 0);
    EXPECT_EQ(v.ok, row.ok);
    if (!row.ok) {
      EXPECT_EQ(v.sentence, text(en, row.sentence));
    }
  }
}

TEST(Judge, LimitSaysWhenItEnds) {
  testing_support::TempRoot root;
  setenv("PORTALD_ROOT", root.dir().c_str(), 1);
  setenv("TZ", "UTC", 1);
  tzset();
  root.write("/disk/conf/nbuser.cfg", "kid x y 1 n\nold x y 2026-01-31. n\n");
  const long long ten_pm = 1765152000 + 22 * 3600;
  EXPECT_EQ(judge(Language::kEnglish, LoginKind::kUsers, reply(auth::LOGIN_LIMIT_REACHED), false,
                  "kid", ten_pm)
                .sentence,
            "Today's time on this access code (1 h 0 min a day) is used up. It starts again at "
            "midnight, in 2 h 0 min.");
  EXPECT_EQ(judge(Language::kEnglish, LoginKind::kUsers, reply(auth::LOGIN_LIMIT_REACHED), false,
                  "old", ten_pm)
                .sentence,
            "This access code was valid until 2026-01-31 and has expired.");
  EXPECT_EQ(judge(Language::kEnglish, LoginKind::kUsers, reply(auth::LOGIN_LIMIT_REACHED), false,
                  "added-later", ten_pm)
                .sentence,
            text(Language::kEnglish, Msg::kLimitGeneric));
  unsetenv("PORTALD_ROOT");
}

TEST(Token, BoundToKeyUserAndTime) {
  const std::string key(32, 'k'), other(32, 'o');
  const long long now = 1765152000;
  const std::string t = issue_token(key, "operator", now);
  EXPECT_TRUE(token_valid(key, "operator", t, now));
  EXPECT_TRUE(token_valid(key, "operator", t, now + kTokenLifetime));
  EXPECT_FALSE(token_valid(key, "operator", t, now + kTokenLifetime + 1)) << "expired";
  EXPECT_FALSE(token_valid(key, "operator", t, now - 61)) << "from the future";
  EXPECT_FALSE(token_valid(key, "someone", t, now)) << "another operator";
  EXPECT_FALSE(token_valid(other, "operator", t, now)) << "another key";
  std::string tampered = t;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  EXPECT_FALSE(token_valid(key, "operator", tampered, now));
  const std::string later = issue_token(key, "operator", now + 5);
  EXPECT_FALSE(token_valid(key, "operator", std::to_string(now) + later.substr(later.find('-')),
                           now + 5))
      << "a signature moved to another time";
  for (const char* bad : {"", "-", "abc", "123", "-abc", "x1-00", "99999999999999999999-00"}) {
    EXPECT_FALSE(token_valid(key, "operator", bad, now)) << bad;
  }
}

TEST(Token, KeyFileMadeOnceAndOnlyTrustedPrivate) {
  testing_support::TempRoot root;
  const std::string path = root.path("/tmp/portal-web.key");
  std::string k1, k2;
  ASSERT_TRUE(load_key(path, &k1));
  EXPECT_EQ(k1.size(), 32u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(load_key(path, &k2));
  EXPECT_EQ(k1, k2) << "the second page reads the same key";

  chmod(path.c_str(), 0644);
  EXPECT_FALSE(load_key(path, &k2)) << "a key others can read is no secret";
  const std::string link = root.path("/tmp/link.key");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  chmod(path.c_str(), 0600);
  EXPECT_FALSE(load_key(link, &k2)) << "never through a link";
  root.write("/tmp/short.key", "short");
  chmod(root.path("/tmp/short.key").c_str(), 0600);
  EXPECT_FALSE(load_key(root.path("/tmp/short.key"), &k2));
  EXPECT_FALSE(load_key(root.path("/missing-folder/key"), &k2));
}

TEST(TimeLeft, FromTheAdmissionComponentsStatus) {
  const std::string status =
      "time-outs: idle 1800 s, total online 7200 s\n"
      "clients: 2\n"
      "  10.0.0.1  online 60 s, idle 5 s, idle left 1795 s, online left 7140 s, quota left 3540 s\n"
      "  10.0.0.2  online 10 s, idle 10 s\n"
      "exempt MAC addresses: 1\n"
      "  00:11:22:33:44:55\n"
      "exempt hosts up: 1\n"
      "  10.0.0.9  by MAC 00:11:22:33:44:55, up 5 s, idle 1 s, idle left 100 s\n";
  const std::map<std::string, TimeLeft> left = parse_time_left(status);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left.at("10.0.0.1").online, 7140);
  EXPECT_EQ(left.at("10.0.0.1").quota, 3540);
  EXPECT_EQ(left.at("10.0.0.1").idle, 1795);
  EXPECT_EQ(left.at("10.0.0.2").online, -1);
  EXPECT_EQ(left.count("10.0.0.9"), 0u) << "exempt hosts are not clients";
}

}  // namespace
}  // namespace web
