#ifndef _KSTUB_ASM_ATOMIC_H
#define _KSTUB_ASM_ATOMIC_H
/* atomic_t of 2.6.36: an int that several processors read and write without a lock. */
typedef struct {
	int counter;
} atomic_t;

#define ATOMIC_INIT(i) { (i) }
#define atomic_read(v) __atomic_load_n(&(v)->counter, __ATOMIC_RELAXED)
#define atomic_set(v, i) __atomic_store_n(&(v)->counter, (i), __ATOMIC_RELAXED)
#define atomic_add(i, v) ((void)__atomic_fetch_add(&(v)->counter, (i), __ATOMIC_SEQ_CST))
#define atomic_sub(i, v) ((void)__atomic_fetch_sub(&(v)->counter, (i), __ATOMIC_SEQ_CST))
#define atomic_inc(v) atomic_add(1, v)
#define atomic_dec(v) atomic_sub(1, v)
#define atomic_inc_return(v) __atomic_add_fetch(&(v)->counter, 1, __ATOMIC_SEQ_CST)
#define atomic_dec_and_test(v) (__atomic_sub_fetch(&(v)->counter, 1, __ATOMIC_SEQ_CST) == 0)
#endif
