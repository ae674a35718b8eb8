// The stand-ins' synchronisation under several threads: spin and reader-writer locks, a
// hook pointer cleared while a call through it runs, connections met by several threads at
// once, and del_timer_sync against a running timer. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <linux/spinlock.h>
#include <linux/timer.h>

#include "frame/relayk_if.h"
#include "kstub/kstub.h"
#include "pcapwriter.h"
#include "relayk/relayk.h"

namespace {

TEST(LockThreadsTest, SpinAndRwLocksExcludeEachOther) {
  static DEFINE_SPINLOCK(lock);
  static DEFINE_RWLOCK(rw);
  long counter = 0, guarded = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; i++) {
        spin_lock_bh(&lock);
        counter++;
        spin_unlock_bh(&lock);
        if (t % 2) {
          write_lock_bh(&rw);
          guarded++;
          write_unlock_bh(&rw);
        } else {
          read_lock_bh(&rw);
          long seen = guarded;
          read_unlock_bh(&rw);
          (void)seen;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 80000);
  EXPECT_EQ(guarded, 40000);
}

std::atomic<int> hook_state{0};  // 1: a call is inside, 2: let it return

int BlockingHook(struct sk_buff*) {
  hook_state = 1;
  while (hook_state != 2) std::this_thread::yield();
  return 0;
}

TEST(HookThreadsTest, ClearingAHookWaitsForTheCallInFlight) {
  relayk_reset(100);
  relayk_set_sys_app_recognize(BlockingHook);
  std::vector<uint8_t> p(28);
  p.resize(pcapw_build_udp(p.data(), p.size(), 0xc0a80001u, 0x64640101u, 1, 2, nullptr, 0));
  std::thread packet([&] {
    relayk_result r;
    relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r);
  });
  while (hook_state != 1) std::this_thread::yield();
  std::atomic<bool> cleared{false};
  std::thread unload([&] {
    relayk_set_sys_app_recognize(nullptr);
    cleared = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(cleared) << "returned while the hook still ran";
  hook_state = 2;
  unload.join();
  packet.join();
  EXPECT_TRUE(cleared);
  EXPECT_EQ(relayk_hooks_set(), 0u);
  relayk_reset(100);
}

// Lookups take no lock: threads that meet the same new connections at once, some from
// either side, still make each connection once and count every packet.
TEST(TrackerThreadsTest, ConnectionsMetAtOnceAreMadeOnce) {
  relayk_reset(100);
  constexpr int kConns = 300, kThreads = 4;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      std::vector<uint8_t> p(28);
      for (int c = 0; c < kConns; c++) {
        uint32_t lan = 0xc0a80001u, wan = 0x64640101u;
        uint16_t lan_port = static_cast<uint16_t>(1000 + c), wan_port = 53;
        size_t n = t % 2 ? pcapw_build_udp(p.data(), 28, wan, lan, wan_port, lan_port, nullptr, 0)
                         : pcapw_build_udp(p.data(), 28, lan, wan, lan_port, wan_port, nullptr, 0);
        relayk_result r;
        EXPECT_EQ(relayk_packet_in(p.data(), static_cast<unsigned>(n), nullptr, &r), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(relayk_conn_count(), static_cast<unsigned>(kConns));
  for (unsigned c = 1; c <= kConns; c++)
    EXPECT_EQ(relayk_conn_get(c, RELAYK_FWD_PACKETS) + relayk_conn_get(c, RELAYK_REPLY_PACKETS),
              static_cast<unsigned long long>(kThreads)) << c;
  relayk_reset(100);
}

std::atomic<int> timer_state{0};

void SlowTimer(unsigned long) {
  timer_state = 1;
  while (timer_state != 2) std::this_thread::yield();
}

TEST(TimerThreadsTest, DelTimerSyncWaitsForARunningTimer) {
  static struct timer_list t;
  setup_timer(&t, SlowTimer, 0);
  mod_timer(&t, jiffies + 10);
  std::thread driver([] { kstub_advance_jiffies(20); });
  while (timer_state != 1) std::this_thread::yield();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    del_timer_sync(&t);
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped);
  timer_state = 2;
  stopper.join();
  driver.join();
  EXPECT_TRUE(stopped);
}

}  // namespace
