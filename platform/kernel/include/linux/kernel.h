#ifndef _KSTUB_LINUX_KERNEL_H
#define _KSTUB_LINUX_KERNEL_H
/*
 * printk and the small helpers of the 2.6.36 <linux/kernel.h>. On the host printk goes to
 * standard error, or to a capture buffer that tests read (kstub/kstub.h).
 */
#include <stdarg.h>
#include <linux/types.h>
#include <linux/compiler.h>
#include <asm/byteorder.h>

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

KSTUB_BEGIN_DECLS
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
void kstub_bug(const char *file, int line, const char *what) __attribute__((noreturn));
KSTUB_END_DECLS

/* The kernel's own formatting routines (lib/vsprintf.c); the C library's on the host. */
#ifdef __cplusplus
#include <stdio.h>
#else
int sprintf(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int snprintf(char *buf, __SIZE_TYPE__ size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
int sscanf(const char *buf, const char *fmt, ...) __attribute__((format(scanf, 2, 3)));
#endif
#define BUG() kstub_bug(__FILE__, __LINE__, "BUG")
#define BUG_ON(cond) do { if (unlikely(cond)) kstub_bug(__FILE__, __LINE__, #cond); } while (0)
#define WARN_ON(cond) ({ int __w = !!(cond); \
	if (unlikely(__w)) printk(KERN_WARNING "WARNING at %s:%d\n", __FILE__, __LINE__); \
	unlikely(__w); })

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))

#ifndef __cplusplus
#define min(x, y) ({ __typeof__(x) _min1 = (x); __typeof__(y) _min2 = (y); \
	(void)(&_min1 == &_min2); _min1 < _min2 ? _min1 : _min2; })
#define max(x, y) ({ __typeof__(x) _max1 = (x); __typeof__(y) _max2 = (y); \
	(void)(&_max1 == &_max2); _max1 > _max2 ? _max1 : _max2; })
#endif

#endif
