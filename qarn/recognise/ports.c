/*
 * Port and signature checks: VPN tunnels, the UDP game signature, the video service and
 * e-mail, and the e-mail port test and policy-route mark that relayk calls directly. They
 * read only the packet and the constant tables below, so they take no lock. Packet bytes are
 * read only through the bounded reader of recognise/pkt.h: a check that needs bytes the
 * packet does not hold does not recognise it.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/in.h>

#include "frame/relayk_if.h"
#include "recognise/ports.h"
#include "recognise/pkt.h"

static const u16 qarn_vpn_port[4] = { 1701, 1723, 500, 4500 };

/* The tunnel named in the event line, one per entry of qarn_vpn_port. */
static const char *const qarn_vpn_name[4] = { "L2TP", "PPTP", "IPSEC", "IPSEC" };

#define EMAIL_PORT_HTTPS 443	/* mail only after a "220" greeting */
static const u16 qarn_email_port[11] = {
	25, 109, 110, 143, 209, 443, 465, 587, 993, 994, 995
};

#define LOL_PORT_LOW 5000
#define LOL_PORT_HIGH 5200
static const unsigned char lol_signature[3] = { 0x29, 0xFF, 0x00 };

static const unsigned char pps_udp_signature[8] = {
	0x21, 0x04, 0x43, 0x00, 0x00, 0xA2, 0x00, 0x01
};
/* The player's address that ends a Referer line: its 13-character host name, then the path. */
static const char pps_referer[] = "v.example.net/static/vs/v1.0.0/v/swf/flvplay_s.swf";
#define PPS_REFERER_LEN 50
#define PPS_REFERER_LINE 4	/* the Referer is the fourth header line */

#define ROUTE_MARK_NONE 0xFFFFFFFFu
#define ROUTE_MARK_BITS 0x0000FF00u
#define NONE ROUTE_MARK_NONE
/* Route-mark table: entry i-1 belongs to application index i. */
static const u32 route_mark_table[128] = {
	0x100, 0x200, 0x900, 0x300, 0xA00, 0xC00, 0xF00, 0x400,		/* 1-8 */
	0xB00, 0xD00, 0x1000, 0xE00, 0x2000, 0x3000, 0x4000, 0x500,	/* 9-16 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 17-24 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, 0x600,		/* 25-32 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 33-40 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 41-48 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 49-56 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, 0x700,		/* 57-64 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 65-72 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 73-80 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 81-88 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 89-96 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 97-104 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 105-112 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,			/* 113-120 */
	NONE, NONE, NONE, NONE, NONE, NONE, NONE, 0x800,		/* 121-128 */
};
#undef NONE

int qarn_vpn_check_port(struct sk_buff *skb)
{
	struct qarn_pkt p;
	const unsigned char *src;
	u16 dport;
	int i;

	if (qarn_pkt_parse(skb, &p) || !p.tcp)
		return -1;
	if (relayk_dir_code(skb) != 0)
		return -1;
	dport = ntohs(p.tcp->dest);
	for (i = 0; i < (int)ARRAY_SIZE(qarn_vpn_port); i++) {
		if (dport != qarn_vpn_port[i])
			continue;
		src = (const unsigned char *)&p.ip->saddr;
		/* one line each: an event line that runs into the next would be lost to
		 * whatever reads the log line by line */
		/* fixed text */
		printk("R1 @#@ log_info n %u.%u.%u.%u - - %s - -v2 %s VPN\n",
		       src[0], src[1], src[2], src[3], "vpnuse", qarn_vpn_name[i]);
		return 0;
	}
	return -1;
}

static int port_in_range(u16 port, u16 low, u16 high)
{
	return port >= low && port <= high;
}

int qarn_check_lol(struct sk_buff *skb)
{
	struct qarn_pkt p;
	unsigned char sig_copy[sizeof(lol_signature)];
	const unsigned char *sig;
	u16 sport, dport;

	if (!relayk_conn(skb) || qarn_pkt_parse(skb, &p) || !p.udp)
		return -1;
	if ((s16)ntohs(p.udp->len) <= 10)
		return -1;
	sport = ntohs(p.udp->source);
	dport = ntohs(p.udp->dest);
	if (!port_in_range(dport, LOL_PORT_LOW, LOL_PORT_HIGH) &&
	    !port_in_range(sport, LOL_PORT_LOW, LOL_PORT_HIGH))
		return -1;
	if (p.payload_len < sizeof(lol_signature))
		return -1;
	sig = qarn_pkt_bytes(&p, 0, sizeof(lol_signature), sig_copy);
	return sig && memcmp(sig, lol_signature, sizeof(lol_signature)) == 0 ? 0 : -1;
}

/* The video service's web player: the fourth header line names the player as Referer. */
static int pps_check_tcp(const struct qarn_pkt *p)
{
	unsigned char window[QARN_TEXT_WINDOW];
	const unsigned char *text;
	unsigned int n = p->payload_len;
	unsigned int i, start = 0, end = 0, width;
	int lf = 0;

	if (ntohs(p->tcp->dest) != 80 || p->tot_len <= 64)
		return -1;
	text = qarn_pkt_text(p, &n, window, sizeof(window));
	if (!text)
		return -1;
	for (i = 0; i < n && text[i] != 0; i++) {
		if (text[i] != '\n')
			continue;
		lf++;
		if (lf == PPS_REFERER_LINE - 1)
			start = i + 1;
		if (lf == PPS_REFERER_LINE) {
			end = i;
			break;
		}
	}
	if (lf < PPS_REFERER_LINE)
		return -1;
	/* the line without its last byte, normally the carriage return */
	if (end < start + 1)
		return -1;
	width = end - 1 - start;
	if (width <= PPS_REFERER_LEN || memcmp(text + start, "Referer", 7) != 0)
		return -1;
	if (memcmp(text + start + width - PPS_REFERER_LEN, pps_referer, PPS_REFERER_LEN) != 0)
		return -1;
	return 0;
}

static int pps_check_udp(const struct qarn_pkt *p)
{
	u16 sport = ntohs(p->udp->source);
	u16 dport = ntohs(p->udp->dest);
	unsigned char sig_copy[sizeof(pps_udp_signature)];
	const unsigned char *sig;

	if (sport != 22075 && dport != 22075 && dport != 22331)
		return -1;
	if (ntohs(p->udp->len) <= 1000)
		return -1;
	sig = qarn_pkt_bytes(p, 0, sizeof(pps_udp_signature), sig_copy);
	return sig && memcmp(sig, pps_udp_signature, sizeof(pps_udp_signature)) == 0 ? 0 : -1;
}

int qarn_check_pps(struct sk_buff *skb)
{
	struct qarn_pkt p;

	if (!relayk_conn(skb) || qarn_pkt_parse(skb, &p))
		return -1;
	if (p.tcp)
		return pps_check_tcp(&p);
	if (p.udp)
		return pps_check_udp(&p);
	return -1;
}

static int is_email_port(u16 port)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(qarn_email_port); i++)
		if (port == qarn_email_port[i])
			return 1;
	return 0;
}

int qarn_check_email(struct sk_buff *skb, struct qarn_flow *flow)
{
	unsigned char copy[3];
	const unsigned char *greeting;

	(void)skb;
	if (!flow->tcp || flow->payload_len == 0)
		return 1;
	if (!is_email_port(flow->sport) && !is_email_port(flow->dport))
		return 1;
	if (flow->sport != EMAIL_PORT_HTTPS && flow->dport != EMAIL_PORT_HTTPS)
		return 0;
	greeting = flow->payload_len >= 3 ? qarn_flow_bytes(flow, 0, 3, copy) : NULL;
	return greeting && memcmp(greeting, "220", 3) == 0 ? 0 : 1;
}

int qarn_dispatch_check_email(struct sk_buff *skb)
{
	struct qarn_pkt p;

	if (qarn_pkt_parse(skb, &p) || !p.tcp)
		return 0;
	return is_email_port(ntohs(p.tcp->source)) || is_email_port(ntohs(p.tcp->dest));
}

int app_policy_route_mark(struct sk_buff *skb, u32 index)
{
	u32 entry;

	if (relayk_dir_code(skb) != 0)
		return 0;
	if (index < 1 || index > ARRAY_SIZE(route_mark_table)) {
		relayk_set_route_mark(skb, ROUTE_MARK_NONE);
		return 0;
	}
	entry = route_mark_table[index - 1];
	if (entry == ROUTE_MARK_NONE)
		relayk_set_route_mark(skb, ROUTE_MARK_NONE);
	else
		relayk_set_route_mark(skb, (relayk_route_mark(skb) & ~ROUTE_MARK_BITS) | entry);
	return 0;
}
