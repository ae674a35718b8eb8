#ifndef _KSTUB_LINUX_COMPILER_H
#define _KSTUB_LINUX_COMPILER_H

#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define __user
#define __iomem
#define __force
#define __must_check __attribute__((warn_unused_result))
#define __maybe_unused __attribute__((unused))
#define __used __attribute__((used))
#define __packed __attribute__((packed))
#define barrier() __asm__ __volatile__("" : : : "memory")
#define ACCESS_ONCE(x) (*(volatile __typeof__(x) *)&(x))

#ifdef __cplusplus
#define KSTUB_BEGIN_DECLS extern "C" {
#define KSTUB_END_DECLS }
#else
#define KSTUB_BEGIN_DECLS
#define KSTUB_END_DECLS
#endif

#endif
