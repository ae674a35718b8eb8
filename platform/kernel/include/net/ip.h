#ifndef _KSTUB_NET_IP_H
#define _KSTUB_NET_IP_H
#include <linux/ip.h>
#include <linux/skbuff.h>

static inline unsigned int ip_hdrlen(const struct sk_buff *skb)
{
	return ip_hdr(skb)->ihl * 4;
}

#endif
