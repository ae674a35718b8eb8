#ifndef QARN_RECOGNISE_FLOW_H
#define QARN_RECOGNISE_FLOW_H
/*
 * The Flow view: what the hook hands the per-direction checks about one TCP or UDP packet.
 * The hook builds it only for a packet that holds its headers whole. Its payload is read
 * only through qarn_flow_bytes (recognise/pkt.h), which never hands out more than the packet
 * holds; payload_len is what the headers claim.
 */
#include <linux/types.h>
#include <linux/skbuff.h>
#include <linux/tcp.h>
#include <linux/udp.h>

#include "frame/relayk_if.h"

struct qarn_flow {
	struct relayk_acct *acct; /* the connection's accounting area */
	struct tcphdr *tcp;       /* NULL for UDP */
	struct udphdr *udp;       /* NULL for TCP */
	u32 saddr;                /* host byte order, as the ports and lengths below */
	u32 daddr;
	u16 sport;
	u16 dport;
	u16 payload_len;
	u16 tot_len;
	const struct sk_buff *skb;
	unsigned int payload_off; /* first payload byte, from the IPv4 header */
	unsigned int held;        /* payload bytes the packet holds */
};

#endif
