/*
 * setup_timer(timer, function, data) of 2.6.36, whose function takes an unsigned long.
 * Kernels from 4.15 on hand a timer's function the timer itself (timer_setup); the timer
 * here runs a trampoline that finds the function and the data stored for that timer.
 *
 * The table is private to each file that includes this header and the trampoline is too,
 * so a timer armed in a file always finds its entry in that file's table. A file may set up
 * at most KCOMPAT_LEGACY_TIMERS timers; setting up the same timer again replaces its entry.
 */
#include_next <linux/timer.h>

#ifndef _KCOMPAT_LINUX_TIMER_H
#define _KCOMPAT_LINUX_TIMER_H
#include <linux/compiler.h>
#include <linux/printk.h>

#define KCOMPAT_LEGACY_TIMERS 4

struct kcompat_legacy_timer {
	struct timer_list *timer;
	void (*function)(unsigned long data);
	unsigned long data;
};

/* Written in process context before the timer is armed, read only by its trampoline. */
static struct kcompat_legacy_timer kcompat_legacy_timers[KCOMPAT_LEGACY_TIMERS] __maybe_unused;

static inline void kcompat_legacy_timer_run(struct timer_list *timer)
{
	int i;

	for (i = 0; i < KCOMPAT_LEGACY_TIMERS; i++) {
		if (kcompat_legacy_timers[i].timer == timer) {
			kcompat_legacy_timers[i].function(kcompat_legacy_timers[i].data);
			return;
		}
	}
}

static inline void kcompat_setup_timer(struct timer_list *timer,
				       void (*function)(unsigned long data), unsigned long data)
{
	struct kcompat_legacy_timer *slot = NULL;
	int i;

	for (i = 0; i < KCOMPAT_LEGACY_TIMERS; i++) {
		if (kcompat_legacy_timers[i].timer == timer) {
			slot = &kcompat_legacy_timers[i];
			break;
		}
		if (!slot && !kcompat_legacy_timers[i].timer)
			slot = &kcompat_legacy_timers[i];
	}
	/* a full table leaves the timer without a function: armed, it runs nothing */
	timer_setup(timer, kcompat_legacy_timer_run, 0);
	if (!slot) {
		printk(KERN_ERR "kcompat: more than %d legacy timers in one file\n",
		       KCOMPAT_LEGACY_TIMERS);
		return;
	}
	slot->function = function;
	slot->data = data;
	slot->timer = timer;
}

#define setup_timer(timer, function, data) kcompat_setup_timer((timer), (function), (data))

#endif
