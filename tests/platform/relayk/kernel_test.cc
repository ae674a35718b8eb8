// The host kernel runtime behind the module: allocation and its injected failures, printk
// capture, timers and the tick counter, and the faults it stops on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <linux/gfp.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/timer.h>

#include "kstub/kstub.h"

namespace {

std::string TakeLog() {
  char* t = kstub_printk_take();
  std::string s = t;
  std::free(t);
  return s;
}

TEST(AllocTest, FailureSkipsThenFailsCountAllocationsOfItsKind) {
  const struct {
    long skip, count;
    std::vector<bool> want;  // success of six slab allocations in a row
  } rows[] = {
      {0, -1, {false, false, false, false, false, false}},
      {2, 1, {true, true, false, true, true, true}},
      {1, 2, {true, false, false, true, true, true}},
      {3, -1, {true, true, true, false, false, false}},
  };
  for (const auto& row : rows) {
    kstub_alloc_fail(KSTUB_ALLOC_SLAB, row.skip, row.count);
    long failures = kstub_alloc_failures();
    unsigned long page = __get_free_pages(GFP_ATOMIC, 0);
    EXPECT_NE(page, 0u) << "page allocations are another kind";
    free_pages(page, 0);
    std::vector<void*> got;
    for (size_t i = 0; i < row.want.size(); i++) got.push_back(kmalloc(16, GFP_ATOMIC));
    for (size_t i = 0; i < row.want.size(); i++) EXPECT_EQ(got[i] != nullptr, row.want[i]) << i;
    long failed = 0;
    for (bool ok : row.want) failed += !ok;
    EXPECT_EQ(kstub_alloc_failures() - failures, failed);
    for (void* p : got) kfree(p);
    kstub_alloc_fail_reset();
  }
}

TEST(AllocTest, LiveCountZeroingAndPages) {
  long live = kstub_alloc_live();
  unsigned char* a = static_cast<unsigned char*>(kzalloc(64, GFP_ATOMIC));
  unsigned char* b = static_cast<unsigned char*>(kmalloc(64, GFP_KERNEL));
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 64; i++) EXPECT_EQ(a[i], 0) << i;
  EXPECT_NE(b[0], 0) << "kmalloc memory is not zeroed";
  unsigned long pages = __get_free_pages(GFP_KERNEL | __GFP_ZERO, 2);
  ASSERT_NE(pages, 0u);
  reinterpret_cast<unsigned char*>(pages)[4 * 4096 - 1] = 1;  // all four pages are there
  EXPECT_EQ(kstub_alloc_live() - live, 3);
  kfree(a);
  kfree(b);
  kfree(nullptr);
  free_pages(pages, 2);
  free_pages(0, 2);
  EXPECT_EQ(kstub_alloc_live(), live);
}

DEFINE_SPINLOCK(test_lock);

void SleepUnderLock() {
  spin_lock_bh(&test_lock);
  kmalloc(8, GFP_KERNEL);
}

void LockTwice() {
  spin_lock_bh(&test_lock);
  spin_lock_bh(&test_lock);
}

void UnlockUnheld() { spin_unlock_bh(&test_lock); }

TEST(AllocDeathTest, SleepingAllocationUnderASpinLock) {
  EXPECT_DEATH(SleepUnderLock(), "sleeping allocation in atomic context");
  EXPECT_DEATH(
      {
        local_bh_disable();
        __get_free_pages(GFP_KERNEL, 0);
      },
      "sleeping allocation in atomic context");
}

TEST(AllocDeathTest, FreeingWithTheWrongAllocator) {
  EXPECT_DEATH(
      {
        unsigned long p = __get_free_pages(GFP_ATOMIC, 1);
        kfree(reinterpret_cast<void*>(p));
      },
      "did not hand out");
  EXPECT_DEATH(
      {
        unsigned long p = __get_free_pages(GFP_ATOMIC, 1);
        free_pages(p, 2);
      },
      "another order");
}

TEST(LockDeathTest, TakingAHeldLockAgainOrReleasingAnUnheldOne) {
  EXPECT_DEATH(LockTwice(), "deadlock");
  EXPECT_DEATH(UnlockUnheld(), "does not hold");
}

// After kstub_one_thread, locks keep their bookkeeping without atomic instructions: a lock
// works, a second take is still a deadlock, a reader and a writer still exclude each other,
// and another thread that takes a lock stops the program. Each case runs in a child process,
// since the mode cannot be left.
TEST(LockDeathTest, OneThreadModeKeepsTheChecks) {
  EXPECT_EXIT(
      {
        kstub_one_thread();
        static DEFINE_RWLOCK(rw);
        spin_lock_bh(&test_lock);
        if (!spin_is_locked(&test_lock) || !in_atomic()) std::abort();
        spin_unlock_bh(&test_lock);
        read_lock_bh(&rw);
        read_lock_bh(&rw);
        read_unlock_bh(&rw);
        read_unlock_bh(&rw);
        write_lock_bh(&rw);
        write_unlock_bh(&rw);
        if (spin_is_locked(&test_lock) || in_atomic()) std::abort();
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_DEATH(
      {
        kstub_one_thread();
        LockTwice();
      },
      "deadlock");
  EXPECT_DEATH(
      {
        kstub_one_thread();
        static DEFINE_RWLOCK(rw);
        read_lock(&rw);
        write_lock(&rw);
      },
      "deadlock");
  EXPECT_DEATH(
      {
        kstub_one_thread();
        std::thread([] { spin_lock(&test_lock); }).join();
      },
      "second thread");
}

TEST(PrintkTest, CaptureDropsLevelMarkersAtLineStarts) {
  kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
  kstub_printk_clear();
  printk(KERN_INFO "one %d\n", 1);
  printk("two <6>");
  printk(KERN_ERR "still two\n");
  printk("%s\n", std::string(2000, 'x').c_str());
  std::string log = TakeLog();
  EXPECT_EQ(log, "one 1\ntwo <6><3>still two\n" + std::string(2000, 'x') + "\n");
  EXPECT_EQ(TakeLog(), "");
  kstub_printk_mode(KSTUB_PRINTK_STDERR);
}

struct Fired {
  std::vector<unsigned> at;
  struct timer_list* rearm = nullptr;
  unsigned period = 0;
  int times = 0;
};
Fired fired;

void OnTimer(unsigned long data) {
  fired.at.push_back(kstub_jiffies() - static_cast<unsigned>(data));
  if (fired.rearm && --fired.times > 0) mod_timer(fired.rearm, jiffies + fired.period);
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fired = Fired();
    kstub_set_jiffies(0xffffff00u);  // the wrap lies ahead
  }
};

TEST_F(TimerTest, TimersRunAtTheirOwnExpiryInOrder) {
  struct timer_list a, b, c;
  unsigned base = kstub_jiffies();
  setup_timer(&a, OnTimer, base);
  setup_timer(&b, OnTimer, base);
  setup_timer(&c, OnTimer, base);
  EXPECT_FALSE(timer_pending(&a));
  mod_timer(&a, jiffies + 300);
  mod_timer(&b, jiffies + 100);
  mod_timer(&c, jiffies + 1000);
  EXPECT_TRUE(timer_pending(&a));
  EXPECT_EQ(kstub_timers_pending(), 3);
  kstub_advance_jiffies(300);
  EXPECT_EQ(fired.at, (std::vector<unsigned>{100, 300}));
  EXPECT_EQ(kstub_jiffies(), base + 300);
  EXPECT_TRUE(del_timer(&c));
  EXPECT_FALSE(del_timer(&c));
  kstub_advance_jiffies(1000);
  EXPECT_EQ(fired.at.size(), 2u);
  EXPECT_EQ(kstub_timers_pending(), 0);
}

TEST_F(TimerTest, PeriodicTimerAcrossTheWrap) {
  struct timer_list t;
  unsigned base = kstub_jiffies();
  setup_timer(&t, OnTimer, base);
  fired.rearm = &t;
  fired.period = 200;
  fired.times = 5;
  mod_timer(&t, jiffies + 200);
  kstub_advance_jiffies(5000);
  EXPECT_EQ(fired.at, (std::vector<unsigned>{200, 400, 600, 800, 1000}));
  EXPECT_FALSE(timer_pending(&t));
  EXPECT_TRUE(time_after(static_cast<unsigned long>(0x10), 0xfffffff0UL));
  EXPECT_TRUE(time_before(0xfffffff0UL, static_cast<unsigned long>(0x10)));
  EXPECT_TRUE(time_after_eq(0x10UL, 0x10UL));
}

}  // namespace
