// Kernel messages byte for byte, and the exempt MAC and address files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include <cstring>

#include "core/paths.h"
#include "kernel/exempt.h"
#include "kernel/kmsg.h"
#include "portald_fixture.h"

namespace {

using testing_support::Bytes;

class KmsgTest : public testing_support::DaemonTest {
 protected:
  // The datagrams sent so far, raw.
  std::vector<Bytes> raw() { return kernel_->drain(); }
  std::vector<std::string> addrs() {
    std::vector<std::string> out;
    for (const auto& m : sent()) out.push_back(m.addr_text);
    return out;
  }
};

// Every byte of a message: the header words, the payload words and zeros elsewhere.
Bytes expected(uint32_t command, uint32_t addr, uint32_t kind, const unsigned char* mac) {
  Bytes b(KMSG_SIZE, 0);
  const uint32_t pid = static_cast<uint32_t>(getpid());
  const uint32_t nl_len = 376, len = 360;
  std::memcpy(&b[0], &nl_len, 4);
  std::memcpy(&b[12], &pid, 4);
  std::memcpy(&b[16], &len, 4);
  std::memcpy(&b[20], &command, 4);
  std::memcpy(&b[24], &addr, 4);
  std::memcpy(&b[28], &kind, 4);
  if (mac != nullptr) std::memcpy(&b[32], mac, 6);
  return b;
}

TEST_F(KmsgTest, FixedSendersByteForByte) {
  kernel::send_hello();
  kernel::send_timeouts(1800, 7200);
  kernel::send_exempt_addr({10, 0, 0, 254});
  const unsigned char mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xff};
  kernel::send_mac_msg(mac, kernel::MAC_PERMIT);
  kernel::send_mac_msg(mac, kernel::MAC_REVOKE);
  const auto got = raw();
  ASSERT_EQ(got.size(), 5u);
  const unsigned char addr[4] = {10, 0, 0, 254};
  uint32_t a;
  std::memcpy(&a, addr, 4);
  EXPECT_EQ(got[0], expected(KMSG_HELLO, 0, 0, nullptr));
  EXPECT_EQ(got[1], expected(KMSG_TIMEOUTS, 1800, 7200, nullptr));
  EXPECT_EQ(got[2], expected(KMSG_PERMIT, a, KIND_EXEMPT_IP, nullptr));
  EXPECT_EQ(got[3], expected(KMSG_PERMIT, 0, KIND_MAC, mac));
  EXPECT_EQ(got[4], expected(KMSG_MAC_REVOKE, 0, KIND_MAC, mac));
}

TEST_F(KmsgTest, ClientPermitCarriesTheAllowanceWords) {
  kernel::KernelMessage m;
  kernel::build_kmsg(m, KMSG_PERMIT);
  kernel::set_kind(m, KIND_CLIENT_IP);
  kernel::set_addr(m, kernel::addr_of("192.168.1.20"));
  kernel::set_word(m, KMSG_OFF_QUOTA, 3600);
  kernel::set_word(m, KMSG_OFF_RECHECK, 600);
  ASSERT_NE(kernel::send_kmsg(m), -1);
  const auto got = raw();
  ASSERT_EQ(got.size(), 1u);
  Bytes want = expected(KMSG_PERMIT, kernel::addr_of("192.168.1.20"), KIND_CLIENT_IP, nullptr);
  const uint32_t quota = 3600, recheck = 600;
  std::memcpy(&want[40], &quota, 4);
  std::memcpy(&want[44], &recheck, 4);
  EXPECT_EQ(got[0], want);
  EXPECT_EQ(got[0][24], 192);  // the address in network byte order: first octet first
}

void on_alarm(int) {}

TEST_F(KmsgTest, ASendInterruptedByASignalIsNotAFailure) {
  // Another sender fills the kernel's queue, so the daemon's send has to wait.
  const int other = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::strncpy(to.sun_path, kernel_->path().c_str(), sizeof(to.sun_path) - 1);
  const unsigned char filler[KMSG_SIZE] = {};
  while (sendto(other, filler, sizeof(filler), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) > 0) {
  }
  // A signal without SA_RESTART arrives while it waits; the queue empties a little later.
  struct sigaction sa{};
  sa.sa_handler = on_alarm;
  struct sigaction old{};
  sigaction(SIGALRM, &sa, &old);
  itimerval tick{{0, 0}, {0, 50000}};
  setitimer(ITIMER_REAL, &tick, nullptr);
  std::thread drainer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kernel_->drain();
  });
  kernel::KernelMessage m;
  kernel::build_kmsg(m, KMSG_HELLO);
  EXPECT_EQ(kernel::send_kmsg(m), KMSG_SIZE);
  drainer.join();
  sigaction(SIGALRM, &old, nullptr);
  close(other);
}

TEST_F(KmsgTest, AddressValidity) {
  EXPECT_TRUE(kernel::addr_valid("10.0.0.1"));
  EXPECT_FALSE(kernel::addr_valid("255.255.255.255"));
  EXPECT_FALSE(kernel::addr_valid("not an address"));
  EXPECT_FALSE(kernel::addr_valid(""));
}

TEST_F(KmsgTest, ExemptAddressRanges) {
  struct Row {
    const char* situation;
    std::string file;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"range across an octet", "10.0.0.254-10.0.1.1\n",
       {"10.0.0.254", "10.0.0.255", "10.0.1.0", "10.0.1.1"}},
      {"equal ends", "10.0.0.7-10.0.0.7\n", {"10.0.0.7"}},
      {"end octet above 255 sends the first", "192.168.1.5-192.168.1.300\n", {"192.168.1.5"}},
      {"end below start sends the first", "10.0.0.9-10.0.0.1\n", {"10.0.0.9"}},
      {"single addresses and junk", "1.2.3.4\nhello\n\n300.1.1.1\n5.6.7.8 trailing words\n",
       {"1.2.3.4", "5.6.7.8"}},
      {"last line without line feed", "9.9.9.9", {"9.9.9.9"}},
      {"range at the top of the space", "255.255.255.254-255.255.255.255\n",
       {"255.255.255.254", "255.255.255.255"}},
      {"tail of an over-long line is not a line",
       std::string("1.1.1.1 ") + std::string(91, 'x') + "2.2.2.2\n3.3.3.3\n",
       {"1.1.1.1", "3.3.3.3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    root_->write(core::kExemptAddrFile, row.file);
    kernel::load_exempt_addrs(root_->path(core::kExemptAddrFile).c_str());
    const auto msgs = sent();
    std::vector<std::string> got;
    for (const auto& m : msgs) {
      EXPECT_EQ(m.command, uint32_t{KMSG_PERMIT});
      EXPECT_EQ(m.kind, uint32_t{KIND_EXEMPT_IP});
      got.push_back(m.addr_text);
    }
    EXPECT_EQ(got, row.sent);
  }
}

TEST_F(KmsgTest, ExemptMacLines) {
  root_->write(core::kExemptMacFile,
               "00:1A:2B:3C:4D:5E\n"  // capitals
               "1:2:3:a:b:c\n"        // one-digit groups
               "00:11:22:33:44:100\n" // a group above ff
               "00:11:22:33:44\n"     // five groups
               "aa:bb:cc:dd:ee:ff extra\n");
  EXPECT_EQ(kernel::load_exempt_macs(root_->path(core::kExemptMacFile).c_str()), 3);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 3u);
  const unsigned char want[3][6] = {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e},
                                    {1, 2, 3, 0xa, 0xb, 0xc},
                                    {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(msgs[i].command, uint32_t{KMSG_PERMIT});
    EXPECT_EQ(msgs[i].kind, uint32_t{KIND_MAC});
    EXPECT_EQ(std::memcmp(msgs[i].mac, want[i], 6), 0) << i;
  }
  EXPECT_EQ(kernel::load_exempt_macs(root_->path("/missing").c_str()), 0);
}

}  // namespace
