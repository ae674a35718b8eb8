#ifndef QARN_RECOGNISE_PKT_H
#define QARN_RECOGNISE_PKT_H
/*
 * Bounded reading of a packet's headers. Every check reads packet bytes only through what
 * qarn_pkt_parse hands out, so a malformed packet can never make a check read past its end.
 */
#include <linux/types.h>
#include <linux/skbuff.h>
#include <linux/ip.h>
#include <linux/tcp.h>
#include <linux/udp.h>

struct qarn_pkt {
	struct iphdr *ip;
	unsigned int ihl;          /* IP header length in bytes */
	unsigned int tot_len;      /* IP total length, host order */
	struct tcphdr *tcp;        /* set for a TCP packet that holds its header whole */
	struct udphdr *udp;        /* set for a UDP packet that holds its header whole */
	unsigned int thl;          /* transport header length in bytes (TCP data offset, or 8) */
	unsigned char *payload;    /* first byte after the transport header */
	unsigned int data_len;     /* bytes from payload to the end of the total length */
	unsigned int payload_len;  /* TCP: data_len; UDP: the UDP length field minus 8 */
};

/*
 * Reads the packet's IPv4 header and, for TCP and UDP, its transport header. Returns 0 when
 * the IPv4 header is whole (at least 20 bytes, within the packet), the total length covers
 * it and does not exceed the packet, and a TCP or UDP header and the payload it claims lie
 * within the total length (so payload_len <= data_len); -1 otherwise (then nothing in *p is to be used). For other
 * protocols tcp and udp are NULL and the payload is what follows the IPv4 header.
 */
int qarn_pkt_parse(const struct sk_buff *skb, struct qarn_pkt *p);

#endif
