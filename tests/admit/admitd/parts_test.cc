// admitd's ruleset text, its reading of nft's listings and its command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "nft.h"
#include "ruleset.h"

namespace admit {
namespace {

TEST(Duration, ReadsNftsForms) {
  const struct {
    const char* text;
    double seconds;
  } cases[] = {{"2s968ms", 2.968}, {"3s", 3},      {"500ms", 0.5},  {"1h2m3s", 3723},
               {"1d", 86400},      {"0ms", 0},     {"", -1},        {"3x", -1},
               {"s", -1},          {"2s968", -1}};
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(parse_duration(c.text), c.seconds) << c.text;
}

TEST(Elements, ReadsAListingOfBoundAndUnboundClients) {
  const std::string listing =
      "table inet portald {\n\tset clients {\n\t\ttype ipv4_addr . ether_addr\n"
      "\t\tsize 262144\n\t\tflags dynamic,timeout\n"
      "\t\telements = { 10.0.0.6 . aa:bb:cc:dd:ee:01,\n"
      "\t\t\t     10.0.0.5 . aa:bb:cc:dd:ee:ff timeout 3s expires 2s968ms }\n\t}\n}\n";
  const auto e = parse_elements(listing);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].addr, inet_addr("10.0.0.6"));
  EXPECT_TRUE(e[0].has_mac);
  EXPECT_EQ(mac_text(e[0].mac), "aa:bb:cc:dd:ee:01");
  EXPECT_EQ(e[0].expires, -1);
  EXPECT_EQ(e[1].addr, inet_addr("10.0.0.5"));
  EXPECT_DOUBLE_EQ(e[1].expires, 2.968);

  const auto single = parse_elements("\t\telements = { 192.168.1.20 timeout 1m expires 59s1ms }\n");
  ASSERT_EQ(single.size(), 1u);
  EXPECT_FALSE(single[0].has_mac);
  EXPECT_DOUBLE_EQ(single[0].expires, 59.001);

  EXPECT_TRUE(parse_elements("set clients {\n type ipv4_addr\n}\n").empty());
}

TEST(Ruleset, IdleTimeOutInRealMilliseconds) {
  EXPECT_EQ(idle_ms(0, 1), 0u);
  EXPECT_EQ(idle_ms(1800, 1), 1800000u);
  EXPECT_EQ(idle_ms(60, 20), 3000u);
  EXPECT_EQ(idle_ms(1, 3), 334u);     // rounded up, never early
  EXPECT_EQ(idle_ms(1, 1e9), 1u);     // never 0, which would mean no time-out
}

TEST(Ruleset, NamesThatWouldBreakTheCommandsAreRefused) {
  std::string error;
  EXPECT_TRUE(valid_table_name("portald", &error));
  EXPECT_TRUE(valid_table_name("portald_t12", &error));
  EXPECT_FALSE(valid_table_name("", &error));
  EXPECT_FALSE(valid_table_name("1abc", &error));
  EXPECT_FALSE(valid_table_name("a b", &error));
  EXPECT_FALSE(valid_table_name("a;flush ruleset", &error));
  EXPECT_TRUE(valid_interface_name("br-lan", &error));
  EXPECT_TRUE(valid_interface_name("eth0.10", &error));
  EXPECT_FALSE(valid_interface_name("0123456789abcdef", &error));  // 16 characters
  EXPECT_FALSE(valid_interface_name("br0\"", &error));
}

TEST(Ruleset, TableReplacesALeftOverOneInTheSameTransaction) {
  RulesetConfig c;
  c.lan = "br0";
  c.portal_addr = inet_addr("192.168.1.1");
  c.portal_port = 8080;
  const std::string t = create_table(c, 3000);
  EXPECT_EQ(t.find("add table inet portald\ndelete table inet portald\ntable inet portald {\n"), 0u);
  EXPECT_NE(t.find("tcp dport 80 dnat ip to 192.168.1.1:8080\n"), std::string::npos);
  EXPECT_NE(t.find("iifname \"br0\" oifname != \"br0\" jump lan_out\n"), std::string::npos);
  EXPECT_NE(t.find("ip saddr . ether saddr @clients update @clients { ip saddr . ether saddr "
                   "timeout 3000ms } accept\n"),
            std::string::npos);
  EXPECT_NE(t.find("ip daddr 192.168.1.1 tcp dport 8080 accept\n"), std::string::npos);
  EXPECT_EQ(t.rfind("counter drop\n"), t.find("counter drop\n"));

  c.portal_addr = 0;  // no login page: no redirection
  EXPECT_EQ(create_table(c, 0).find("dnat"), std::string::npos);
  EXPECT_EQ(create_table(c, 0).find("timeout 0"), std::string::npos);
}

TEST(Ruleset, EachChangeIsOneSmallTransaction) {
  RulesetConfig c;
  c.table = "t1";
  Mac mac{{0x02, 0, 0, 0, 0, 0x0b}};
  const uint32_t addr = inet_addr("10.77.0.11");
  EXPECT_EQ(add_element(c, client_set(&mac), client_key(addr, &mac), 3000),
            "add element inet t1 clients { 10.77.0.11 . 02:00:00:00:00:0b timeout 3000ms }\n");
  EXPECT_EQ(add_element(c, client_set(nullptr), client_key(addr, nullptr), 0),
            "add element inet t1 clients_unbound { 10.77.0.11 }\n");
  EXPECT_EQ(remove_element(c, "garden", "10.78.0.3"),
            "add element inet t1 garden { 10.78.0.3 }\ndelete element inet t1 garden { 10.78.0.3 }\n");
  EXPECT_EQ(replace_lan_out(c, 0).find("flush chain inet t1 lan_out\nadd rule inet t1 lan_out "), 0u);
}

}  // namespace
}  // namespace admit

namespace admit {
namespace {

// Runs admitd with the arguments; its exit status, with its output in out.
int run_admitd(const std::string& args, std::string* out) {
  FILE* p = popen((std::string(ADMITD_BIN) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[512];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(CommandLine, BadArgumentsAreRefusedBeforeAnythingIsTouched) {
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"--lan br0", "--socket PATH is required"},
      {"--socket /nonexistent/k", "--lan IFACE is required"},
      {"--socket /nonexistent/k --lan 'br0\"'", "interface name"},
      {"--socket /nonexistent/k --lan br0 --portal 10.0.0.1", "--portal needs ADDR:PORT"},
      {"--socket /nonexistent/k --lan br0 --portal 10.0.0.1:70000", "--portal needs ADDR:PORT"},
      {"--socket /nonexistent/k --lan br0 --table 'x;flush ruleset'", "table name"},
      {"--socket /nonexistent/k --lan br0 --time-scale 0", "--time-scale needs a positive"},
      {"--socket /nonexistent/k --lan br0 --bogus", "unknown option --bogus"},
      {"status", "status needs --socket PATH"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(run_admitd(c.args, &out), 2) << c.args;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
  }
  std::string out;
  EXPECT_EQ(run_admitd("--help", &out), 0);
  EXPECT_NE(out.find("usage: admitd --socket PATH --lan IFACE"), std::string::npos);
  EXPECT_EQ(run_admitd("status --socket /nonexistent/k", &out), 1);
  EXPECT_NE(out.find("admitd is not running at /nonexistent/k"), std::string::npos) << out;
}

}  // namespace
}  // namespace admit
