#ifndef _KSTUB_LINUX_SLAB_H
#define _KSTUB_LINUX_SLAB_H
/*
 * Slab allocation. Tests can make allocations fail (kstub/kstub.h); a sleeping allocation
 * (GFP_KERNEL) made while a spin lock is held stops the program, as it would hang the router.
 */
#include <linux/types.h>
#include <linux/gfp.h>

KSTUB_BEGIN_DECLS
void *__kmalloc(__SIZE_TYPE__ size, gfp_t flags);
void kfree(const void *ptr);
KSTUB_END_DECLS

#define kmalloc(size, flags) __kmalloc((size), (flags))
#define kzalloc(size, flags) __kmalloc((size), (flags) | __GFP_ZERO)
#define kcalloc(n, size, flags) __kmalloc((n) * (size), (flags) | __GFP_ZERO)

#endif
