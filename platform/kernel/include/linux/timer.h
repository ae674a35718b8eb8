#ifndef _KSTUB_LINUX_TIMER_H
#define _KSTUB_LINUX_TIMER_H
/*
 * Kernel timers. On the host a timer runs when the tick driver moves jiffies to or past its
 * expiry (kstub_advance_jiffies in kstub/kstub.h), on the driver's thread, with no timer
 * lock held, so the function may re-arm its own timer.
 */
#include <linux/types.h>
#include <linux/list.h>
#include <linux/jiffies.h>

struct timer_list {
	struct list_head entry; /* entry.next is NULL while the timer is not pending */
	unsigned long expires;
	void (*function)(unsigned long);
	unsigned long data;
};

KSTUB_BEGIN_DECLS
void init_timer(struct timer_list *timer);
void add_timer(struct timer_list *timer);
int mod_timer(struct timer_list *timer, unsigned long expires);
int del_timer(struct timer_list *timer);
int del_timer_sync(struct timer_list *timer);
KSTUB_END_DECLS

static inline void setup_timer(struct timer_list *timer, void (*function)(unsigned long),
			       unsigned long data)
{
	init_timer(timer);
	timer->function = function;
	timer->data = data;
}

static inline int timer_pending(const struct timer_list *timer)
{
	return timer->entry.next != NULL;
}

#endif
