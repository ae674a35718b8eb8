#ifndef KSTUB_KSTUB_H
#define KSTUB_KSTUB_H
/*
 * Controls of the host kernel runtime, for tests, the tick driver and tools. Plain C types
 * only, so C++ code can include this without the kernel headers.
 */
#ifdef __cplusplus
extern "C" {
#endif

/* printk: where kernel log lines go. Level markers ("<6>") are dropped at line starts. */
enum {
	KSTUB_PRINTK_STDERR = 1, /* write to standard error (the default) */
	KSTUB_PRINTK_CAPTURE = 2 /* append to the capture buffer */
};
void kstub_printk_mode(int mode);
/* The captured text so far, as a malloc'd string the caller frees; the buffer is emptied. */
char *kstub_printk_take(void);
void kstub_printk_clear(void);

/* Allocation failure: of the allocations of the given kinds from now on, the first `skip`
 * succeed, the next `count` fail (count < 0: every one after them fails). */
enum { KSTUB_ALLOC_SLAB = 1, KSTUB_ALLOC_PAGES = 2, KSTUB_ALLOC_ANY = 3 };
void kstub_alloc_fail(unsigned kinds, long skip, long count);
void kstub_alloc_fail_reset(void);
/* Allocations made and not yet freed (slab objects and page blocks). */
long kstub_alloc_live(void);
/* Allocations that failed, injected or not. */
long kstub_alloc_failures(void);

/* Ticks. kstub_set_jiffies moves the clock and runs nothing; kstub_advance_jiffies moves it
 * forward, running every timer that falls due on the way, each at its own expiry tick. */
unsigned int kstub_jiffies(void);
void kstub_set_jiffies(unsigned int value);
void kstub_advance_jiffies(unsigned int ticks);
/* Timers armed and not yet run. */
int kstub_timers_pending(void);

/* One thread: the caller promises that from now on only the calling thread enters the
 * module and this runtime. Locks then keep their bookkeeping (a lock taken twice is still
 * reported) without the processor's locked instructions, as a kernel built for one processor
 * compiles its spin locks down. Another thread taking a lock afterwards stops the program. */
void kstub_one_thread(void);

/* Module parameters, by name: 0 on success, -1 for an unknown name. */
int kstub_param_set(const char *name, int value);
int kstub_param_get(const char *name, int *value);
/* Module information: the value of the first entry with this tag, or NULL. */
const char *kstub_modinfo(const char *tag);

#ifdef __cplusplus
}
#endif
#endif
