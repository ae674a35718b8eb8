#ifndef _KSTUB_LINUX_GFP_H
#define _KSTUB_LINUX_GFP_H
#include <linux/types.h>
#include <linux/compiler.h>
#include <asm/page.h>

#define __GFP_WAIT 0x10u
#define __GFP_HIGH 0x20u
#define __GFP_IO 0x40u
#define __GFP_FS 0x80u
#define __GFP_ZERO 0x8000u
#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_NOWAIT 0u
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)


KSTUB_BEGIN_DECLS
unsigned long __get_free_pages(gfp_t flags, unsigned int order);
void free_pages(unsigned long addr, unsigned int order);
KSTUB_END_DECLS

#define __get_free_page(flags) __get_free_pages((flags), 0)
#define get_zeroed_page(flags) __get_free_pages((flags) | __GFP_ZERO, 0)
#define free_page(addr) free_pages((addr), 0)

#endif
