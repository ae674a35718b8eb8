// The system resolver behind the whitelist's resolver seam.
#include "kernel/resolve.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(WhitelistSystemResolver, NumericNameNeedsNoNameServer) {
  std::vector<uint32_t> addrs;
  ASSERT_EQ(kernel::system_resolve("192.0.2.17", &addrs), 0);
  EXPECT_EQ(addrs, std::vector<uint32_t>{inet_addr("192.0.2.17")});
}

}  // namespace
