/*
 * The host side of the kernel runtime that needs the kernel's own types: spin locks,
 * reader-writer locks, bottom-half accounting, jiffies and timers.
 */
#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/timer.h>
#include <linux/jiffies.h>

#include "kstub/kstub.h"

int sched_yield(void);

volatile unsigned long kstub_jiffies_word = INITIAL_JIFFIES;

/* Per thread: its identity as a lock owner, locks held, bottom-half disable depth. */
static __thread int thread_token;
static __thread int locks_held;
static __thread int bh_depth;

/* Set by kstub_one_thread: the only thread that may take locks from then on. */
static const void *only_thread;

void kstub_one_thread(void)
{
	only_thread = &thread_token;
}

/* True when locks need no atomic instructions; stops a second thread that comes anyway. */
static int one_thread(void)
{
	if (likely(only_thread == NULL))
		return 0;
	if (unlikely(only_thread != &thread_token))
		kstub_bug(__FILE__, __LINE__, "a lock taken by a second thread after kstub_one_thread");
	return 1;
}

int in_atomic(void)
{
	return locks_held > 0 || bh_depth > 0;
}

void local_bh_disable(void)
{
	bh_depth++;
}

void local_bh_enable(void)
{
	if (bh_depth <= 0)
		kstub_bug(__FILE__, __LINE__, "local_bh_enable without local_bh_disable");
	bh_depth--;
}

void kstub_spin_init(spinlock_t *lock)
{
	__atomic_store_n(&lock->owner, NULL, __ATOMIC_RELAXED);
	__atomic_store_n(&lock->locked, 0, __ATOMIC_RELEASE);
}

void kstub_spin_lock(spinlock_t *lock)
{
	const void *me = &thread_token;

	if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == me)
		kstub_bug(__FILE__, __LINE__, "spin lock taken twice by one thread (deadlock)");
	if (one_thread()) {
		lock->locked = 1;
		lock->owner = me;
		locks_held++;
		return;
	}
	while (__atomic_exchange_n(&lock->locked, 1, __ATOMIC_ACQUIRE))
		while (__atomic_load_n(&lock->locked, __ATOMIC_RELAXED))
			sched_yield();
	__atomic_store_n(&lock->owner, me, __ATOMIC_RELAXED);
	locks_held++;
}

void kstub_spin_unlock(spinlock_t *lock)
{
	if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != &thread_token)
		kstub_bug(__FILE__, __LINE__, "spin unlock of a lock this thread does not hold");
	if (one_thread()) {
		lock->owner = NULL;
		lock->locked = 0;
		locks_held--;
		return;
	}
	__atomic_store_n(&lock->owner, NULL, __ATOMIC_RELAXED);
	__atomic_store_n(&lock->locked, 0, __ATOMIC_RELEASE);
	locks_held--;
}

int kstub_spin_is_locked(spinlock_t *lock)
{
	return __atomic_load_n(&lock->locked, __ATOMIC_RELAXED) != 0;
}

void kstub_rwlock_init(rwlock_t *lock)
{
	__atomic_store_n(&lock->count, 0, __ATOMIC_RELEASE);
}

void kstub_read_lock(rwlock_t *lock)
{
	if (one_thread()) {
		if (lock->count < 0)
			kstub_bug(__FILE__, __LINE__, "read lock of a lock this thread write-holds (deadlock)");
		lock->count++;
		locks_held++;
		return;
	}
	for (;;) {
		int c = __atomic_load_n(&lock->count, __ATOMIC_RELAXED);

		if (c >= 0 && __atomic_compare_exchange_n(&lock->count, &c, c + 1, 0,
							  __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
			break;
		sched_yield();
	}
	locks_held++;
}

void kstub_read_unlock(rwlock_t *lock)
{
	if (one_thread()) {
		if (lock->count <= 0)
			kstub_bug(__FILE__, __LINE__, "read unlock of a lock not read-held");
		lock->count--;
		locks_held--;
		return;
	}
	if (__atomic_fetch_sub(&lock->count, 1, __ATOMIC_RELEASE) <= 0)
		kstub_bug(__FILE__, __LINE__, "read unlock of a lock not read-held");
	locks_held--;
}

void kstub_write_lock(rwlock_t *lock)
{
	if (one_thread()) {
		if (lock->count != 0)
			kstub_bug(__FILE__, __LINE__, "write lock of a lock this thread holds (deadlock)");
		lock->count = -1;
		locks_held++;
		return;
	}
	for (;;) {
		int c = 0;

		if (__atomic_compare_exchange_n(&lock->count, &c, -1, 0, __ATOMIC_ACQUIRE,
						__ATOMIC_RELAXED))
			break;
		sched_yield();
	}
	locks_held++;
}

void kstub_write_unlock(rwlock_t *lock)
{
	if (__atomic_load_n(&lock->count, __ATOMIC_RELAXED) != -1)
		kstub_bug(__FILE__, __LINE__, "write unlock of a lock not write-held");
	__atomic_store_n(&lock->count, 0, __ATOMIC_RELEASE);
	locks_held--;
}

/*
 * Timers. timer_lock guards timer_head, every pending timer's entry and running_timer.
 * A timer runs with no lock held; del_timer_sync waits while it runs on another thread.
 */
static DEFINE_SPINLOCK(timer_lock);
static LIST_HEAD(timer_head);
static struct timer_list *running_timer;
static const void *running_thread;

unsigned int kstub_jiffies(void)
{
	return (unsigned int)jiffies;
}

void kstub_set_jiffies(unsigned int value)
{
	__atomic_store_n(&kstub_jiffies_word, (unsigned long)value, __ATOMIC_RELAXED);
}

void init_timer(struct timer_list *timer)
{
	timer->entry.next = NULL;
	timer->entry.prev = NULL;
	timer->expires = 0;
}

static void detach_timer(struct timer_list *timer)
{
	list_del(&timer->entry);
	timer->entry.next = NULL;
}

int mod_timer(struct timer_list *timer, unsigned long expires)
{
	int was_pending;

	if (!timer->function)
		kstub_bug(__FILE__, __LINE__, "timer armed without a function");
	spin_lock_bh(&timer_lock);
	was_pending = timer_pending(timer);
	if (was_pending)
		detach_timer(timer);
	timer->expires = (unsigned long)(unsigned int)expires;
	list_add_tail(&timer->entry, &timer_head);
	spin_unlock_bh(&timer_lock);
	return was_pending;
}

void add_timer(struct timer_list *timer)
{
	if (timer_pending(timer))
		kstub_bug(__FILE__, __LINE__, "add_timer of a pending timer");
	mod_timer(timer, timer->expires);
}

int del_timer(struct timer_list *timer)
{
	int was_pending;

	spin_lock_bh(&timer_lock);
	was_pending = timer_pending(timer);
	if (was_pending)
		detach_timer(timer);
	spin_unlock_bh(&timer_lock);
	return was_pending;
}

int del_timer_sync(struct timer_list *timer)
{
	int was_pending;

	for (;;) {
		spin_lock_bh(&timer_lock);
		was_pending = timer_pending(timer);
		if (was_pending)
			detach_timer(timer);
		if (running_timer != timer || running_thread == &thread_token)
			break;
		spin_unlock_bh(&timer_lock);
		sched_yield();
	}
	spin_unlock_bh(&timer_lock);
	return was_pending;
}

int kstub_timers_pending(void)
{
	struct list_head *pos;
	int n = 0;

	spin_lock_bh(&timer_lock);
	list_for_each(pos, &timer_head)
		n++;
	spin_unlock_bh(&timer_lock);
	return n;
}

void kstub_advance_jiffies(unsigned int ticks)
{
	unsigned int start = kstub_jiffies();
	unsigned int target = start + ticks;
	unsigned long runs = 0;

	for (;;) {
		struct timer_list *t, *due = NULL;
		unsigned int now = kstub_jiffies();
		int best = 0;

		spin_lock_bh(&timer_lock);
		list_for_each_entry(t, &timer_head, entry) {
			/* ticks from now to its expiry; due when it lies at or before target */
			int wait = (int)((unsigned int)t->expires - now);

			if (wait > (int)(target - now))
				continue;
			if (!due || wait < best) {
				due = t;
				best = wait;
			}
		}
		if (!due) {
			spin_unlock_bh(&timer_lock);
			break;
		}
		if (best > 0)
			kstub_set_jiffies((unsigned int)due->expires);
		detach_timer(due);
		running_timer = due;
		running_thread = &thread_token;
		spin_unlock_bh(&timer_lock);

		local_bh_disable();
		due->function(due->data);
		local_bh_enable();

		spin_lock_bh(&timer_lock);
		running_timer = NULL;
		running_thread = NULL;
		spin_unlock_bh(&timer_lock);
		if (++runs > 10000000UL)
			kstub_bug(__FILE__, __LINE__, "timer re-armed for the current tick forever");
	}
	kstub_set_jiffies(target);
}
