#ifndef QARN_RECOGNISE_PKT_H
#define QARN_RECOGNISE_PKT_H
/*
 * Bounded reading of a packet. qarn_pkt_parse reads the headers; payload bytes are read only
 * through qarn_pkt_bytes and qarn_flow_bytes, which hand out a range only when the packet
 * holds all of it. A packet whose payload was cut (a short capture) or whose UDP length
 * disagrees with its IP length keeps its headers: a check that needs only those still sees
 * them, and a check that reads bytes the packet does not hold finds nothing.
 */
#include <linux/types.h>
#include <linux/skbuff.h>
#include <linux/ip.h>
#include <linux/tcp.h>
#include <linux/udp.h>

#include "recognise/flow.h"

struct qarn_pkt {
	const struct sk_buff *skb;
	struct iphdr *ip;
	unsigned int ihl;          /* IP header length in bytes */
	unsigned int tot_len;      /* IP total length, host order */
	struct tcphdr *tcp;        /* set for a TCP packet that holds its header whole */
	struct udphdr *udp;        /* set for a UDP packet that holds its header whole */
	unsigned int thl;          /* transport header length in bytes (TCP data offset, or 8) */
	unsigned int payload_off;  /* offset of the first payload byte from the IPv4 header */
	unsigned int data_len;     /* payload bytes by the IP total length */
	unsigned int payload_len;  /* TCP: data_len; UDP: the UDP length field minus 8 (or 0) */
	unsigned int held;         /* payload bytes the packet holds (at most data_len) */
	/* the headers' copies where they do not lie in the packet's linear part */
	struct iphdr ip_copy;
	union {
		struct tcphdr tcp;
		struct udphdr udp;
	} th_copy;
};

/*
 * Reads the packet's IPv4 header and, for TCP and UDP, its transport header. Returns 0 when
 * the IPv4 header is whole (at least 20 bytes, options included, within the packet), its
 * total length covers it, and a TCP header (options included) or UDP header lies within
 * both the total length and the bytes held; -1 otherwise (then nothing in *p is to be used).
 * The total length may exceed the bytes held: held says how much payload is there. For
 * other protocols tcp and udp are NULL and the payload is what follows the IPv4 header.
 */
int qarn_pkt_parse(const struct sk_buff *skb, struct qarn_pkt *p);

/*
 * Points at payload bytes off..off+len-1, or NULL when the packet does not hold them all.
 * buf (len bytes) receives a copy where they lie outside the packet's linear part.
 */
const unsigned char *qarn_pkt_bytes(const struct qarn_pkt *p, unsigned int off,
				    unsigned int len, void *buf);
const unsigned char *qarn_flow_bytes(const struct qarn_flow *flow, unsigned int off,
				     unsigned int len, void *buf);

/*
 * The first *len payload bytes to search as text: all of them where they lie in the linear
 * part, else as many as buf's size holds, copied there; *len becomes what is handed out.
 * NULL (with *len 0) when the packet holds none of them.
 */
const unsigned char *qarn_flow_text(const struct qarn_flow *flow, unsigned int *len,
				    void *buf, unsigned int size);
const unsigned char *qarn_pkt_text(const struct qarn_pkt *p, unsigned int *len, void *buf,
				   unsigned int size);

/* The largest text window copied onto the stack for a search. */
#define QARN_TEXT_WINDOW 512

/*
 * Fills the Flow view of a TCP or UDP packet that qarn_pkt_parse accepted. Its header
 * pointers may point into p, which must outlive it.
 */
void qarn_flow_fill(struct qarn_flow *flow, const struct qarn_pkt *p, struct relayk_acct *acct);

#endif
