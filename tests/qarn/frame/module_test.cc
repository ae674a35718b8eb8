// Loading and unloading the module: banner, module information, parameters, hook pointers
// and the virtual netlink registration.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "qarn_fixture.h"

namespace qarn_test {
namespace {

TEST(ModuleParamsTest, NineIntegerParametersWithTheirInitialValues) {
  // the first test of this program, so no test has set them yet
  for (const auto& p : kParamDefaults) {
    int v = -12345;
    ASSERT_EQ(kstub_param_get(p.name, &v), 0) << p.name;
    EXPECT_EQ(v, p.value) << p.name;
  }
  int v;
  EXPECT_EQ(kstub_param_get("no_such_param", &v), -1);
}

class ModuleTest : public QarnTest {
 protected:
  void SetUp() override {
    load_ = false;
    QarnTest::SetUp();
  }
};

TEST_F(ModuleTest, LoadPrintsTheBannerAndFillsEveryHook) {
  EXPECT_EQ(relayk_hooks_set(), 0u);
  ASSERT_EQ(init_module(), 0);
  loaded_ = true;
  std::string log = Log();
  EXPECT_TRUE(std::regex_match(
      log, std::regex("QARN VR Version: 2\\.0\\.02\\(2015-03-26\\)\\([A-Z][a-z]{2} [ 0-9]\\d \\d{4},"
                      "\\d\\d:\\d\\d:\\d\\d\\), SVN Ver: r130\\[2015-07-22,19:32:33\\] \n")))
      << log;
  EXPECT_EQ(relayk_hooks_set(), 0xfu);
  EXPECT_TRUE(relayk_netlink_registered(120));

  Unload();
  EXPECT_EQ(relayk_hooks_set(), 0u);
  EXPECT_FALSE(relayk_netlink_registered(120));
}

TEST_F(ModuleTest, UnloadedModuleSeesNoPackets) {
  Load();
  Unload();
  relayk_result r = Send(Tcp(kLan, kWan, 40000, 80));
  EXPECT_FALSE(r.called);
  EXPECT_EQ(r.mark, 0u);
  EXPECT_EQ(r.email_port, -1);
  EXPECT_EQ(r.p2p_peer, -1);
}

TEST_F(ModuleTest, LoadAndUnloadRepeatedly) {
  for (int i = 0; i < 3; i++) {
    Load();
    relayk_result r = Send(Tcp(kLan, kWan, static_cast<uint16_t>(40000 + i), 80));
    EXPECT_TRUE(r.called);
    EXPECT_EQ(r.prio_class, 3u);
    Unload();
  }
}

TEST_F(ModuleTest, ModuleInformation) {
  ASSERT_NE(kstub_modinfo("license"), nullptr);
  EXPECT_STREQ(kstub_modinfo("license"), "GPL");
  EXPECT_STREQ(kstub_modinfo("description"), "QARN");
  EXPECT_STREQ(kstub_modinfo("alias"), "QARN");
  EXPECT_STREQ(kstub_modinfo("depends"), "relayk");
  EXPECT_STREQ(kstub_modinfo("vermagic"), "2.6.36.4 SMP mod_unload modversions ARMv7 ");
}

TEST_F(ModuleTest, ParameterChangesTakeEffectOnTheNextPacket) {
  Load();
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40000, 80)).prio_class, 3u);
  ASSERT_EQ(kstub_param_set("high_prio_per_ct", 0), 0);
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40001, 80)).prio_class, 65u);
}

}  // namespace
}  // namespace qarn_test
