#include <linux/kernel.h>
#include <linux/in.h>

#include "recognise/pkt.h"

int qarn_pkt_parse(const struct sk_buff *skb, struct qarn_pkt *p)
{
	unsigned int room;

	memset(p, 0, sizeof(*p));
	if (!skb || !skb->data || skb->len < sizeof(struct iphdr))
		return -1;
	p->ip = (struct iphdr *)skb->data;
	p->ihl = p->ip->ihl * 4u;
	p->tot_len = ntohs(p->ip->tot_len);
	if (p->ihl < sizeof(struct iphdr) || p->tot_len < p->ihl || p->tot_len > skb->len)
		return -1;
	room = p->tot_len - p->ihl;
	switch (p->ip->protocol) {
	case IPPROTO_TCP:
		if (room < sizeof(struct tcphdr))
			return -1;
		p->tcp = (struct tcphdr *)(skb->data + p->ihl);
		p->thl = p->tcp->doff * 4u;
		if (p->thl < sizeof(struct tcphdr) || p->thl > room)
			return -1;
		p->payload_len = room - p->thl;
		break;
	case IPPROTO_UDP: {
		unsigned int ulen;

		if (room < sizeof(struct udphdr))
			return -1;
		p->udp = (struct udphdr *)(skb->data + p->ihl);
		p->thl = sizeof(struct udphdr);
		ulen = ntohs(p->udp->len);
		if (ulen < sizeof(struct udphdr) || ulen > room)
			return -1;
		p->payload_len = ulen - sizeof(struct udphdr);
		break;
	}
	default:
		p->payload_len = room;
		break;
	}
	p->payload = skb->data + p->ihl + p->thl;
	p->data_len = room - p->thl;
	return 0;
}
