/*
 * atomic_t and atomic_read/atomic_set, which 2.6.36 declared here. Current kernels keep
 * only the architecture's primitives in <asm/atomic.h>; the operations by their usual names
 * come from <linux/atomic.h>.
 */
#include_next <asm/atomic.h>

#ifndef _KCOMPAT_ASM_ATOMIC_H
#define _KCOMPAT_ASM_ATOMIC_H
#include <linux/atomic.h>
#endif
