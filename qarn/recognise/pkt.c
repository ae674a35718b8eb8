#include <linux/kernel.h>
#include <linux/in.h>
#include <linux/string.h>

#include "frame/relayk_if.h"
#include "recognise/pkt.h"

static const struct qarn_pkt qarn_pkt_none;

int qarn_pkt_parse(const struct sk_buff *skb, struct qarn_pkt *p)
{
	unsigned int room, have;

	/* a copy, which compilers make plain stores, where a memset of this size can become a
	 * string instruction slower than the rest of the parse */
	*p = qarn_pkt_none;
	if (!skb || !skb->data || skb->len < sizeof(struct iphdr))
		return -1;
	p->skb = skb;
	p->ip = (struct iphdr *)relayk_skb_bytes(skb, 0, sizeof(struct iphdr), &p->ip_copy);
	if (!p->ip)
		return -1;
	p->ihl = p->ip->ihl * 4u;
	p->tot_len = ntohs(p->ip->tot_len);
	if (p->ihl < sizeof(struct iphdr) || p->tot_len < p->ihl || p->ihl > skb->len)
		return -1;
	room = p->tot_len - p->ihl;
	/* bytes held after the IPv4 header, up to the total length */
	have = (p->tot_len < skb->len ? p->tot_len : skb->len) - p->ihl;
	switch (p->ip->protocol) {
	case IPPROTO_TCP:
		if (room < sizeof(struct tcphdr) || have < sizeof(struct tcphdr))
			return -1;
		p->tcp = (struct tcphdr *)relayk_skb_bytes(skb, p->ihl, sizeof(struct tcphdr),
							   &p->th_copy.tcp);
		if (!p->tcp)
			return -1;
		p->thl = p->tcp->doff * 4u;
		if (p->thl < sizeof(struct tcphdr) || p->thl > room || p->thl > have)
			return -1;
		p->payload_len = room - p->thl;
		break;
	case IPPROTO_UDP: {
		unsigned int ulen;

		if (room < sizeof(struct udphdr) || have < sizeof(struct udphdr))
			return -1;
		p->udp = (struct udphdr *)relayk_skb_bytes(skb, p->ihl, sizeof(struct udphdr),
							   &p->th_copy.udp);
		if (!p->udp)
			return -1;
		p->thl = sizeof(struct udphdr);
		ulen = ntohs(p->udp->len);
		p->payload_len = ulen > sizeof(struct udphdr) ? ulen - sizeof(struct udphdr) : 0;
		break;
	}
	default:
		p->payload_len = room;
		break;
	}
	p->payload_off = p->ihl + p->thl;
	p->data_len = room - p->thl;
	p->held = have - p->thl;
	return 0;
}

/* Payload bytes off..off+len-1 of a packet whose payload starts at start and holds held. */
static const unsigned char *payload_bytes(const struct sk_buff *skb, unsigned int start,
					  unsigned int held, unsigned int off, unsigned int len,
					  void *buf)
{
	if (off > held || len > held - off)
		return NULL;
	return relayk_skb_bytes(skb, start + off, len, buf);
}

static const unsigned char *payload_text(const struct sk_buff *skb, unsigned int start,
					 unsigned int held, unsigned int *len, void *buf,
					 unsigned int size)
{
	const unsigned char *text;

	if (*len > held)
		*len = held;
	if (*len == 0)
		return NULL;
	text = relayk_skb_bytes(skb, start, *len, NULL);
	if (text)
		return text;
	if (*len > size)
		*len = size;
	return relayk_skb_bytes(skb, start, *len, buf);
}

const unsigned char *qarn_pkt_bytes(const struct qarn_pkt *p, unsigned int off,
				    unsigned int len, void *buf)
{
	return payload_bytes(p->skb, p->payload_off, p->held, off, len, buf);
}

const unsigned char *qarn_flow_bytes(const struct qarn_flow *flow, unsigned int off,
				     unsigned int len, void *buf)
{
	return payload_bytes(flow->skb, flow->payload_off, flow->held, off, len, buf);
}

const unsigned char *qarn_pkt_text(const struct qarn_pkt *p, unsigned int *len, void *buf,
				   unsigned int size)
{
	return payload_text(p->skb, p->payload_off, p->held, len, buf, size);
}

const unsigned char *qarn_flow_text(const struct qarn_flow *flow, unsigned int *len,
				    void *buf, unsigned int size)
{
	return payload_text(flow->skb, flow->payload_off, flow->held, len, buf, size);
}

void qarn_flow_fill(struct qarn_flow *flow, const struct qarn_pkt *p, struct relayk_acct *acct)
{
	memset(flow, 0, sizeof(*flow));
	flow->acct = acct;
	flow->tcp = p->tcp;
	flow->udp = p->udp;
	flow->saddr = ntohl(p->ip->saddr);
	flow->daddr = ntohl(p->ip->daddr);
	if (p->tcp) {
		flow->sport = ntohs(p->tcp->source);
		flow->dport = ntohs(p->tcp->dest);
	} else if (p->udp) {
		flow->sport = ntohs(p->udp->source);
		flow->dport = ntohs(p->udp->dest);
	}
	flow->payload_len = (u16)p->payload_len;
	flow->tot_len = (u16)p->tot_len;
	flow->skb = p->skb;
	flow->payload_off = p->payload_off;
	flow->held = p->held;
}
