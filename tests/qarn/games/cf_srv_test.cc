// The Game server table: built from the list the build was given, looked up by TCP source
// and destination, the UDP port rule, and the generator that turns a list into the table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "check_harness.h"

extern "C" {
#include "games/cf_srv.h"
#include "kstub/kstub.h"
}

namespace {

using qarn_test::CheckHarness;
using qarn_test::tcp;
using qarn_test::udp;

const qarn_test::Check game = [](sk_buff* skb, nf_conn*, qarn_flow*) {
  return cf_check_pkt(skb);
};

std::vector<std::string> list_addresses(const char* path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') out.push_back(line);
  return out;
}

class GameTable : public ::testing::Test {
 protected:
  void SetUp() override { live_before = kstub_alloc_live(); }
  void TearDown() override {
    cf_srv_exit();
    EXPECT_EQ(kstub_alloc_live(), live_before);  // every entry and the block freed
  }
  long live_before = 0;
  CheckHarness h;
};

TEST_F(GameTable, DefaultListHasTheStatedShape) {
  auto list = list_addresses(QARN_CF_SRV_LIST);
  ASSERT_EQ(list.size(), 1633u);
  std::map<std::string, int> seen;
  for (const auto& a : list) {
    EXPECT_GE(a.size(), 10u) << a;
    EXPECT_LE(a.size(), 15u) << a;
    seen[a]++;
  }
  EXPECT_EQ(seen.size(), 1617u);
  int twice = 0;
  for (const auto& s : seen) twice += s.second == 2;
  EXPECT_EQ(twice, 16);
}

TEST_F(GameTable, EveryListedServerIsFoundBothWays) {
  ASSERT_EQ(cf_srv_init(), 0);
  auto list = list_addresses(QARN_CF_SRV_LIST);
  uint16_t port = 1024;
  for (const auto& a : list) {
    SCOPED_TRACE(a);
    EXPECT_EQ(h.run(tcp("192.168.1.70", port, a.c_str(), 443), game).check, 0);
    EXPECT_EQ(h.run(tcp(a.c_str(), 443, "192.168.1.71", port), game).check, 0);
    port++;
  }
  // below .10 of 192.0.2.0/24 nothing is listed
  EXPECT_EQ(h.run(tcp("192.168.1.70", 1, "192.0.2.9", 443), game).check, -1);
  EXPECT_EQ(h.run(tcp("192.0.2.1", 443, "192.168.1.70", 2), game).check, -1);
  EXPECT_EQ(h.log(), "");
}

TEST_F(GameTable, UdpPortRangeWithTheGamesLengths) {
  ASSERT_EQ(cf_srv_init(), 0);
  struct Row {
    const char* situation;
    uint16_t dport;
    size_t payload;  // UDP length is 8 more
    int ret;
  } rows[] = {
      {"12100 length 12", 12100, 4, 0},   {"12100 length 13", 12100, 5, 0},
      {"12100 length 14", 12100, 6, -1},  {"12100 length 11", 12100, 3, -1},
      {"12000 length 12", 12000, 4, 0},   {"12200 length 13", 12200, 5, 0},
      {"11999 length 12", 11999, 4, -1},  {"12201 length 12", 12201, 4, -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(h.run(udp("192.168.1.72", 40000, "198.51.100.7", r.dport, std::string(r.payload, 'g')),
                    game).check,
              r.ret);
  }
  // a listed server does not make UDP game traffic
  auto list = list_addresses(QARN_CF_SRV_LIST);
  EXPECT_EQ(h.run(udp("192.168.1.72", 40001, list[0].c_str(), 9000, "x"), game).check, -1);
  // a UDP length that claims more than the packet holds: the check reads only the header
  auto cut = udp("192.168.1.72", 40002, "198.51.100.7", 12100, "gggg");
  cut.pop_back();
  cut[3] -= 1;  // IP total length follows the cut, the UDP length does not
  EXPECT_EQ(h.run(cut, game).check, 0);
}

TEST_F(GameTable, MarkedGameConnectionNeedsNoLookup) {
  // no table: a lookup would print, the short cut does not
  h.run(tcp("192.168.1.73", 40000, "198.51.100.8", 443), game);
  EXPECT_EQ(h.log(), "cf_ip_hash_item is NULL\ncf_ip_hash_item is NULL\n");
  relayk_conn_set(relayk_conn_count(), RELAYK_MARK, 0x10401);
  EXPECT_EQ(h.run(tcp("192.168.1.73", 40000, "198.51.100.8", 443), game).check, 0);
  EXPECT_EQ(h.run(tcp("198.51.100.8", 443, "192.168.1.73", 40000), game).check, 0);
  EXPECT_EQ(h.log(), "");

  h.run(udp("192.168.1.73", 40001, "198.51.100.8", 9000, "x"), game);
  relayk_conn_set(relayk_conn_count(), RELAYK_MARK, 0xffc00401);  // group 1, id 1, high bits
  EXPECT_EQ(h.run(udp("192.168.1.73", 40001, "198.51.100.8", 9000, "x"), game).check, 0);
  relayk_conn_set(relayk_conn_count(), RELAYK_MARK, 0x10403);  // the other game mark
  EXPECT_EQ(h.run(udp("192.168.1.73", 40001, "198.51.100.8", 9000, "x"), game).check, -1);
}

TEST_F(GameTable, FailedTableAllocationIsPrintedAndLookupsAnswerNotFound) {
  auto list = list_addresses(QARN_CF_SRV_LIST);
  kstub_alloc_fail(KSTUB_ALLOC_PAGES, 0, 1);
  EXPECT_EQ(cf_srv_init(), 0);
  kstub_alloc_fail_reset();
  EXPECT_EQ(h.log(), "Cf_hash_init error:Line = 1733, Func = cf_srv_hash_init\n");
  EXPECT_EQ(h.run(tcp("192.168.1.74", 40000, list[0].c_str(), 443), game).check, -1);
  EXPECT_EQ(h.log(), "cf_ip_hash_item is NULL\ncf_ip_hash_item is NULL\n");
  // UDP needs no table
  EXPECT_EQ(h.run(udp("192.168.1.74", 40001, "198.51.100.7", 12100, "gggg"), game).check, 0);
}

TEST_F(GameTable, FailedEntryAllocationLosesThatAddressOnly) {
  auto list = list_addresses(QARN_CF_SRV_LIST);
  ASSERT_NE(list[0], list[1]);
  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 0, 1);  // the first string's entry
  EXPECT_EQ(cf_srv_init(), 0);
  kstub_alloc_fail_reset();
  int copies = 0;
  for (const auto& a : list) copies += a == list[0];
  EXPECT_EQ(h.run(tcp("192.168.1.75", 40000, list[0].c_str(), 443), game).check,
            copies > 1 ? 0 : -1);
  EXPECT_EQ(h.run(tcp("192.168.1.75", 40001, list[1].c_str(), 443), game).check, 0);
  EXPECT_EQ(h.log(), "");
}

// The generator, run as the build runs it.
class ListGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cf_srv_list_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

  // Runs the generator on `list`; returns its exit status and leaves the header in `header`.
  int generate(const std::string& list, std::string* header) {
    std::ofstream(dir + "/list.txt") << list;
    std::string cmd = std::string("'") + CMAKE_COMMAND + "' -DLIST='" + dir + "/list.txt' -DOUT='" +
                      dir + "/out.h' -P '" + CF_SRV_GENERATOR + "' >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    std::ifstream in(dir + "/out.h");
    std::stringstream ss;
    ss << in.rdbuf();
    *header = ss.str();
    return status;
  }
  std::string dir;
};

TEST_F(ListGenerator, KeepsOrderAndRepeatsAndSkipsComments) {
  std::string header;
  ASSERT_EQ(generate("# comment\n192.0.2.10\r\n\n  198.51.100.1  \n192.0.2.10\n", &header), 0);
  EXPECT_NE(header.find("static const char *const cf_srv_iplist_str[] = {\n"
                        "\t\"192.0.2.10\",\n\t\"198.51.100.1\",\n\t\"192.0.2.10\",\n};\n"),
            std::string::npos)
      << header;
}

TEST_F(ListGenerator, RefusesWhatIsNoAddress) {
  const char* bad[] = {"192.0.2\n", "192.0.2.256\n", "192.0.2.1.1\n", "a.b.c.d\n",
                       "192.0.2.1;x\n", "# only a comment\n", "192.0.2.-1\n"};
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    std::string header;
    EXPECT_NE(generate(b, &header), 0);
    EXPECT_EQ(header, "");
  }
}

}  // namespace
