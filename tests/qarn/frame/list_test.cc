// The address list: List commands 16 and 17 through virtual netlink, their trace lines and
// reply, lookups, and what allocation failure does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qarn_fixture.h"

extern "C" int qarn_list_get_ip(unsigned addr);

namespace qarn_test {
namespace {

constexpr uint32_t kPid = 4242;

Words Header(uint32_t cmd, uint32_t arg, uint32_t len, uint32_t num) {
  return {cmd, arg, len, num, 0, 0, 0, kPid};
}

// Command 17 with the given ranges and a consistent length.
Words Add(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
  Words w = Header(17, 0, 32 + 12 * static_cast<uint32_t>(ranges.size()),
                   static_cast<uint32_t>(ranges.size()));
  for (const auto& r : ranges) {
    w.push_back(0);
    w.push_back(r.first);
    w.push_back(r.second);
  }
  return w;
}

Words Rule(uint32_t value) { return Header(16, value, 32, 0); }

class ListTest : public QarnTest {};

TEST_F(ListTest, RangeAddsOneEntryPerAddressAndRepeatsAddAgain) {
  const long base = kstub_alloc_live();
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 3)}})), 0);
  EXPECT_EQ(kstub_alloc_live() - base, 3);
  for (unsigned d = 1; d <= 3; d++) EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, d)), 0) << d;
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, 0)), -1);
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, 4)), -1);

  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 3)}})), 0);
  EXPECT_EQ(kstub_alloc_live() - base, 6) << "duplicates are not detected";
}

TEST_F(ListTest, SingleAddressReversedRangeAndTopOfAddressSpace) {
  const long base = kstub_alloc_live();
  ASSERT_EQ(Deliver(Add({{Ip(10, 1, 1, 1), Ip(10, 1, 1, 1)},
                         {Ip(10, 2, 2, 9), Ip(10, 2, 2, 1)},
                         {0xfffffffeu, 0xffffffffu}})),
            0);
  EXPECT_EQ(kstub_alloc_live() - base, 3) << "one single, none reversed, two at the top";
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 1, 1, 1)), 0);
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 2, 2, 5)), -1);
  EXPECT_EQ(qarn_list_get_ip(0xffffffffu), 0);
  EXPECT_EQ(qarn_list_get_ip(0), -1) << "the last address must not wrap round to 0";
}

TEST_F(ListTest, AddressesSharingABucketAreTellApart) {
  // find two addresses with the same bucket: (a * 0x9E370001) >> 21
  auto bucket = [](uint32_t a) { return static_cast<uint32_t>(a * 0x9E370001u) >> 21; };
  uint32_t a = Ip(172, 16, 0, 1), b = a + 1;
  while (bucket(b) != bucket(a)) b++;
  ASSERT_EQ(Deliver(Add({{a, a}})), 0);
  EXPECT_EQ(qarn_list_get_ip(a), 0);
  EXPECT_EQ(qarn_list_get_ip(b), -1);
  ASSERT_EQ(Deliver(Add({{b, b}})), 0);
  EXPECT_EQ(qarn_list_get_ip(a), 0);
  EXPECT_EQ(qarn_list_get_ip(b), 0);
}

TEST_F(ListTest, CommandSixteenEmptiesTheListAndSetsTheRule) {
  const long base = kstub_alloc_live();
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 20)}})), 0);
  TakeReply();
  Log();
  ASSERT_EQ(Deliver(Rule(1)), 0);
  EXPECT_EQ(Log(),
            "CMD: 16 \n"
            "Func = qarn_nl_clear_list, Line = 261,check_stat_rule:1\n");
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, 5)), -1);
  EXPECT_EQ(kstub_alloc_live(), base) << "the entries are freed";
  EXPECT_FALSE(TakeReply().empty());
}

TEST_F(ListTest, ReplyIsTheRequestHeaderWithLengthNumAndAuxRewritten) {
  Words req = Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 1)}});
  req[4] = 7;   // aux1
  req[5] = 9;   // aux2
  req[6] = 11;  // aux3
  ASSERT_EQ(Deliver(req), 0);
  unsigned pid = 0;
  Words reply = TakeReply(&pid);
  EXPECT_EQ(pid, kPid);
  EXPECT_EQ(reply, (Words{17, 0, 32, 0, 0, 9, 4, kPid}));
  EXPECT_TRUE(TakeReply().empty()) << "one reply per command";

  Words rule = Rule(5);
  rule[5] = 0xabcdef01u;
  ASSERT_EQ(Deliver(rule), 0);
  EXPECT_EQ(TakeReply(), (Words{16, 5, 32, 0, 0, 0xabcdef01u, 4, kPid}));
}

TEST_F(ListTest, NumAndLenMustAgree) {
  const struct {
    const char* situation;
    uint32_t len;
    uint32_t num;
    size_t words;  // bytes actually delivered / 4
    bool accepted;
    std::string fail_line;
  } rows[] = {
      {"exact length", 56, 2, 14, true, ""},
      {"length rounding down to the count", 60, 2, 15, true, ""},
      {"length of three ranges", 68, 2, 17, false,
       "Func = fc_nl_set_rule, Line = 306,cmd->num:2,sn_num:3,fail \n"},
      {"length of one range", 44, 2, 14, false,
       "Func = fc_nl_set_rule, Line = 306,cmd->num:2,sn_num:1,fail \n"},
      // a length below the header's must not wrap to a huge count
      {"length below the header", 8, 357913939u, 14, false,
       "Func = fc_nl_set_rule, Line = 306,cmd->num:357913939,sn_num:357913939,fail \n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    Words w = Header(17, 0, row.len, row.num);
    w.resize(row.words, 0);
    w[9] = Ip(10, 9, 0, 1);
    w[10] = Ip(10, 9, 0, 1);
    w[12] = Ip(10, 9, 0, 2);
    w[13] = Ip(10, 9, 0, 2);
    Log();
    ASSERT_EQ(Deliver(w), 0);
    std::string log = Log();
    EXPECT_EQ(!TakeReply().empty(), row.accepted);
    EXPECT_EQ(qarn_list_get_ip(Ip(10, 9, 0, 2)) == 0, row.accepted);
    if (!row.accepted) {
      EXPECT_EQ(log, "CMD: 17 \nFunc = fc_nl_set_rule, Line = 296,num:" +
                         std::to_string(row.num) + "\n" + row.fail_line);
    }
    ASSERT_EQ(Deliver(Rule(0)), 0);
    TakeReply();
  }
}

TEST_F(ListTest, TraceLinesOfAnAcceptedCommand) {
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 3)}, {Ip(10, 0, 0, 9), Ip(10, 0, 0, 9)}})),
            0);
  EXPECT_EQ(Log(),
            "CMD: 17 \n"
            "Func = fc_nl_set_rule, Line = 296,num:2\n"
            "Func = qarn_set_ip_list, Line = 117,startip:0xa000001,endip:0xa000003\n"
            "Func = qarn_set_ip_list, Line = 117,startip:0xa000009,endip:0xa000009\n");
}

TEST_F(ListTest, NumZeroAndOtherCommandsSendNoReply) {
  ASSERT_EQ(Deliver(Header(17, 0, 32, 0)), 0);
  EXPECT_EQ(Log(), "CMD: 17 \nFunc = fc_nl_set_rule, Line = 296,num:0\n");
  EXPECT_TRUE(TakeReply().empty());
  ASSERT_EQ(Deliver(Header(18, 1, 32, 0)), 0);
  EXPECT_EQ(Log(), "CMD: 18 \n");
  EXPECT_TRUE(TakeReply().empty());
}

TEST_F(ListTest, AllocationFailureCutsTheRangeShortAndTheReplyIsStillSent) {
  // the 5th entry of the first range fails; the second range is still processed
  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 4, 1);
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 10)}, {Ip(10, 0, 1, 1), Ip(10, 0, 1, 2)}})),
            0);
  for (unsigned d = 1; d <= 4; d++) EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, d)), 0) << d;
  for (unsigned d = 5; d <= 10; d++) EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, d)), -1) << d;
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 1, 2)), 0);
  EXPECT_NE(Log().find("kmalloc fail:Line = 148, Func = qarn_set_ip_list\n"), std::string::npos);
  EXPECT_FALSE(TakeReply().empty());

  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 0, 1);
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 2, 1), Ip(10, 0, 2, 1)}})), 0);
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 2, 1)), -1);
  EXPECT_NE(Log().find("kmalloc fail:Line = 126, Func = qarn_set_ip_list\n"), std::string::npos);
  EXPECT_FALSE(TakeReply().empty());
}

TEST_F(ListTest, ReplyAllocationFailureKeepsTheEffect) {
  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 2, -1);  // two entries, then the reply buffer fails
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)}})), 0);
  kstub_alloc_fail_reset();
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, 2)), 0);
  EXPECT_TRUE(TakeReply().empty());
}

class ListWithoutTableTest : public QarnTest {
 protected:
  void SetUp() override {
    load_ = false;
    QarnTest::SetUp();
    kstub_alloc_fail(KSTUB_ALLOC_PAGES, 0, -1);
    Load();
    kstub_alloc_fail_reset();
  }
};

TEST_F(ListWithoutTableTest, LoadsAnywayAndAnswersNotListed) {
  // Load() took the log; the failure line was in it
  ASSERT_EQ(Deliver(Add({{Ip(10, 0, 0, 1), Ip(10, 0, 0, 1)}})), 0);
  EXPECT_FALSE(TakeReply().empty());
  Log();
  EXPECT_EQ(qarn_list_get_ip(Ip(10, 0, 0, 1)), -1);
  EXPECT_EQ(Log(), "ip_hash_item is NULL\n");
  ASSERT_EQ(Deliver(Rule(1)), 0);
  EXPECT_NE(Log().find("check_stat_rule:1\n"), std::string::npos);
  EXPECT_FALSE(TakeReply().empty());
}

TEST(ListLoadTest, FailedTablePrintsItsLine) {
  relayk_reset(100);
  kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
  kstub_printk_clear();
  kstub_alloc_fail(KSTUB_ALLOC_PAGES, 0, -1);
  EXPECT_EQ(init_module(), 0);
  kstub_alloc_fail_reset();
  char* text = kstub_printk_take();
  std::string log = text;
  std::free(text);
  EXPECT_NE(log.find("error:Line = 173, Func = qarn_list_hash_init\n"), std::string::npos);
  EXPECT_TRUE(relayk_netlink_registered(120));
  cleanup_module();
  EXPECT_FALSE(relayk_netlink_registered(120));
  kstub_printk_mode(KSTUB_PRINTK_STDERR);
}

}  // namespace
}  // namespace qarn_test
