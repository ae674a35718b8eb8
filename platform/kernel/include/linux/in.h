#ifndef _KSTUB_LINUX_IN_H
#define _KSTUB_LINUX_IN_H
/*
 * IP protocol numbers. The C library's <netinet/in.h> defines the same names; a file
 * includes one or the other.
 */
#include <linux/types.h>
#include <asm/byteorder.h>

#ifndef _NETINET_IN_H
enum {
	IPPROTO_IP = 0,
	IPPROTO_ICMP = 1,
	IPPROTO_IGMP = 2,
	IPPROTO_TCP = 6,
	IPPROTO_UDP = 17,
	IPPROTO_GRE = 47,
	IPPROTO_ESP = 50,
	IPPROTO_AH = 51,
	IPPROTO_RAW = 255
};
#endif

#endif
