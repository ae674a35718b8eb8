#ifndef _KSTUB_LINUX_IP_H
#define _KSTUB_LINUX_IP_H
#include <linux/types.h>
#include <linux/skbuff.h>
#include <linux/in.h>
#include <asm/byteorder.h>

struct iphdr {
#if defined(__LITTLE_ENDIAN_BITFIELD)
	__u8 ihl:4,
	     version:4;
#else
	__u8 version:4,
	     ihl:4;
#endif
	__u8 tos;
	__be16 tot_len;
	__be16 id;
	__be16 frag_off;
	__u8 ttl;
	__u8 protocol;
	__sum16 check;
	__be32 saddr;
	__be32 daddr;
};

static inline struct iphdr *ip_hdr(const struct sk_buff *skb)
{
	return (struct iphdr *)skb_network_header(skb);
}

#endif
