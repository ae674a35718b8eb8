#ifndef _KSTUB_LINUX_JIFFIES_H
#define _KSTUB_LINUX_JIFFIES_H
/*
 * The tick counter. The router's unsigned long is 32 bits wide, so jiffies wraps at 2^32;
 * the host keeps the counter within 32 bits too (the tick driver sets it) and the
 * comparisons below work modulo 2^32 as the router's do. Code that keeps a tick stores it
 * in a u32. Reads are atomic so that a driver thread may move the clock while hooks run.
 */
#include <linux/types.h>
#include <linux/compiler.h>

#define HZ 100
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))

KSTUB_BEGIN_DECLS
extern volatile unsigned long kstub_jiffies_word;
KSTUB_END_DECLS

#define jiffies ((unsigned long)__atomic_load_n(&kstub_jiffies_word, __ATOMIC_RELAXED))

#define time_after(a, b) ((int)((unsigned int)(b) - (unsigned int)(a)) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((int)((unsigned int)(a) - (unsigned int)(b)) >= 0)
#define time_before_eq(a, b) time_after_eq(b, a)

#define msecs_to_jiffies(m) ((unsigned long)(((m) * HZ + 999) / 1000))
#define jiffies_to_msecs(j) ((unsigned int)((j) * (1000 / HZ)))

#endif
