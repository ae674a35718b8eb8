#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H
/*
 * Kernel integer types. A superset of the user-space header of the same name, because the
 * host's C library includes <linux/types.h> from its own headers and finds this one first.
 */
#include <asm/types.h>
#include <linux/posix_types.h>

#define __bitwise
#define __bitwise__

typedef __u16 __le16;
typedef __u16 __be16;
typedef __u32 __le32;
typedef __u32 __be32;
typedef __u64 __le64;
typedef __u64 __be64;
typedef __u16 __sum16;
typedef __u32 __wsum;

#define __aligned_u64 __u64 __attribute__((aligned(8)))
#define __aligned_s64 __s64 __attribute__((aligned(8)))
#define __aligned_be64 __be64 __attribute__((aligned(8)))
#define __aligned_le64 __le64 __attribute__((aligned(8)))
typedef unsigned __poll_t;

typedef __u8 u8;
typedef __s8 s8;
typedef __u16 u16;
typedef __s16 s16;
typedef __u32 u32;
typedef __s32 s32;
typedef __u64 u64;
typedef __s64 s64;

typedef unsigned gfp_t;

#ifndef NULL
#define NULL ((void *)0)
#endif
#ifndef offsetof
#define offsetof(TYPE, MEMBER) __builtin_offsetof(TYPE, MEMBER)
#endif

#if !defined(__cplusplus) && !defined(__bool_true_false_are_defined)
typedef _Bool bool;
enum { false = 0, true = 1 };
#endif

#endif /* _LINUX_TYPES_H */
