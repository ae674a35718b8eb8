// Several threads run the hook over one connection table while List commands arrive, and
// the module is unloaded under running traffic. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qarn_fixture.h"

extern "C" int qarn_list_get_ip(unsigned addr);

namespace qarn_test {
namespace {

constexpr int kThreads = 4;
constexpr int kPacketsPerThread = 10000;
constexpr int kHosts = 8;

// The packets of thread t, round i: a few hosts, each with a web, a UDP and an ICMP flow,
// in both directions, so that threads share connections.
Bytes PacketFor(int t, int i) {
  uint32_t lan = Ip(192, 168, 2, static_cast<unsigned>(1 + (i + t) % kHosts));
  bool reply = (i / kHosts) % 2;
  switch (i % 3) {
    case 0:
      return reply ? Tcp(kWan, lan, 80, 40000) : Tcp(lan, kWan, 40000, 80, Text("GET / HTTP/1.1"));
    case 1:
      return reply ? Udp(kWan, lan, 8000, 5555, {0x02, 1, 2, 0x03})
                   : Udp(lan, kWan, 5555, 8000, Text("facemeetingv2.1#"));
    default:
      return Icmp(reply ? kWan : lan, reply ? lan : kWan);
  }
}

class ThreadsTest : public QarnTest {};

TEST_F(ThreadsTest, HooksOverOneTableWhileListCommandsArrive) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < kPacketsPerThread; i++) {
        Bytes p = PacketFor(t, i);
        relayk_result r;
        if (relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r) != 0 ||
            !r.called || (r.ret != 0 && r.ret != -1))
          bad++;
      }
    });
  }
  std::thread lists([this, &stop] {
    for (uint32_t round = 0; !stop; round++) {
      uint32_t host = Ip(192, 168, 2, 1 + round % kHosts);
      if (round % 3 == 2)
        Deliver({16, round % 2, 32, 0, 0, 0, 0, 7});
      else
        Deliver({17, 0, 44, 1, 0, 0, 0, 7, 0, host, host + 1});
      qarn_list_get_ip(host);
      while (relayk_netlink_take_reply(nullptr, nullptr, 0) >= 0) {
      }
    }
  });
  for (auto& th : threads) th.join();
  stop = true;
  lists.join();

  EXPECT_EQ(bad, 0);
  uint64_t counted = 0;
  for (unsigned c = 1; c <= relayk_conn_count(); c++)
    counted += relayk_conn_get(c, RELAYK_FWD_PACKETS) + relayk_conn_get(c, RELAYK_REPLY_PACKETS);
  EXPECT_EQ(counted, static_cast<uint64_t>(kThreads) * kPacketsPerThread);
  EXPECT_EQ(relayk_conn_count(), static_cast<unsigned>(kHosts * 3));
  Log();
}

TEST_F(ThreadsTest, UnloadWaitsForHooksInFlight) {
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &stop, &sent] {
      for (int i = 0; !stop; i++) {
        Bytes p = PacketFor(t, i);
        relayk_result r;
        relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r);
        sent++;
      }
    });
  }
  while (sent < 2000) std::this_thread::yield();
  // frees the tables while packets keep coming: no hook may still be using them
  Unload();
  EXPECT_EQ(relayk_hooks_set(), 0u);
  long after = sent;
  while (sent < after + 500) std::this_thread::yield();
  Load();
  while (sent < after + 1000) std::this_thread::yield();
  stop = true;
  for (auto& th : threads) th.join();
  Log();
}

// Each thread is a client whose FTP server keeps answering PASV while the others do the same:
// the table of expected data connections is shared, and every data connection is found.
TEST_F(ThreadsTest, PassiveFtpRepliesFromSeveralClientsAtOnce) {
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  constexpr int kTransfers = 400;
  std::atomic<int> missed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &missed] {
      uint32_t lan = Ip(192, 168, 3, static_cast<unsigned>(1 + t));
      auto send = [](const Bytes& p) {
        relayk_result r{};
        relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r);
        return r.mark;
      };
      send(Tcp(lan, kWan, 2100, 21, {}, PCAPW_SYN));
      for (int i = 0; i < kTransfers; i++) {
        uint16_t port = static_cast<uint16_t>(50000 + i);
        std::string reply = "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
        send(Tcp(kWan, lan, 21, 2100, Text(reply + "\r\n")));
        if (send(Tcp(lan, kWan, static_cast<uint16_t>(3000 + i), port, {}, PCAPW_SYN)) != 0x9d803)
          missed++;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(missed, 0);
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

}  // namespace
}  // namespace qarn_test
