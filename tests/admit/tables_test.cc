// The admission core's tables: a new session, activity learnt from the packet path.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "kmsg_layout.h"
#include "tables.h"

namespace admit {
namespace {

KernelMessage message(uint32_t command, uint32_t addr, uint32_t kind) {
  KernelMessage m{};
  m.command = command;
  m.addr = addr;
  m.kind = kind;
  return m;
}

TEST(Tables, ActivityPostponesTheIdleTimeOutAndNeverGoesBack) {
  Tables t(0);
  const uint32_t a = inet_addr("10.0.0.5");
  t.apply(message(KMSG_TIMEOUTS, 60, 0), 0);
  t.apply(message(KMSG_PERMIT, a, KIND_CLIENT_IP), 0);
  EXPECT_TRUE(t.idle_due(59.9).empty());
  ASSERT_EQ(t.idle_due(60).size(), 1u);
  EXPECT_TRUE(t.active(a, 30));
  EXPECT_TRUE(t.active(a, 10));  // an older sighting changes nothing
  EXPECT_TRUE(t.idle_due(89.9).empty());
  EXPECT_TRUE(t.expire(89.9).empty());
  const auto down = t.expire(90);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(down[0].code, uint32_t{KEV_HOST_DOWN});
  EXPECT_FALSE(t.active(a, 91));  // gone
}

TEST(Tables, ANewSessionForgetsEverything) {
  Tables t(0);
  const uint32_t a = inet_addr("10.0.0.5");
  t.apply(message(KMSG_TIMEOUTS, 60, 600), 0);
  t.apply(message(KMSG_PERMIT, a, KIND_CLIENT_IP), 0);
  t.apply(message(KMSG_PERMIT, inet_addr("10.0.0.9"), KIND_EXEMPT_IP), 0);
  KernelMessage mac = message(KMSG_PERMIT, 0, KIND_MAC);
  mac.mac = Mac{{1, 2, 3, 4, 5, 6}};
  t.apply(mac, 0);
  std::string what;
  EXPECT_EQ(t.seen(inet_addr("10.0.0.9"), Mac{}, 1, &what).size(), 1u);
  t.reset();
  EXPECT_TRUE(t.clients().empty());
  EXPECT_TRUE(t.up_hosts().empty());
  EXPECT_TRUE(t.exempt_macs().empty());
  EXPECT_TRUE(t.exempt_addrs().empty());
  EXPECT_EQ(t.idle_timeout(), 0u);
  EXPECT_TRUE(t.expire(1e6).empty());  // nobody is left to go down
  EXPECT_TRUE(t.seen(inet_addr("10.0.0.9"), Mac{}, 2, &what).empty());
}

}  // namespace
}  // namespace admit
