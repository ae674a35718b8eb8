#ifndef _KSTUB_ASM_BYTEORDER_H
#define _KSTUB_ASM_BYTEORDER_H
/* Byte-order helpers of the kernel (linux/byteorder/generic.h), for either host order. */
#include <linux/types.h>

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#ifndef __LITTLE_ENDIAN
#define __LITTLE_ENDIAN 1234
#endif
#define __LITTLE_ENDIAN_BITFIELD
#define __cpu_to_be16(x) ((__be16)__builtin_bswap16((__u16)(x)))
#define __cpu_to_be32(x) ((__be32)__builtin_bswap32((__u32)(x)))
#define __cpu_to_be64(x) ((__be64)__builtin_bswap64((__u64)(x)))
#else
#ifndef __BIG_ENDIAN
#define __BIG_ENDIAN 4321
#endif
#define __BIG_ENDIAN_BITFIELD
#define __cpu_to_be16(x) ((__be16)(__u16)(x))
#define __cpu_to_be32(x) ((__be32)(__u32)(x))
#define __cpu_to_be64(x) ((__be64)(__u64)(x))
#endif
#define __be16_to_cpu(x) ((__u16)__cpu_to_be16(x))
#define __be32_to_cpu(x) ((__u32)__cpu_to_be32(x))
#define __be64_to_cpu(x) ((__u64)__cpu_to_be64(x))

#define cpu_to_be16 __cpu_to_be16
#define cpu_to_be32 __cpu_to_be32
#define cpu_to_be64 __cpu_to_be64
#define be16_to_cpu __be16_to_cpu
#define be32_to_cpu __be32_to_cpu
#define be64_to_cpu __be64_to_cpu

/* The C library defines these too; the kernel's and its agree. */
#ifndef ntohl
#define ntohl(x) __be32_to_cpu(x)
#define htonl(x) __cpu_to_be32(x)
#define ntohs(x) __be16_to_cpu(x)
#define htons(x) __cpu_to_be16(x)
#endif

#endif
