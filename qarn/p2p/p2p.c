/*
 * P2P detection: evidence about each LAN UDP endpoint, gathered across all its connections,
 * the P2P peer list of endpoints judged to be P2P, and the timer that ages both.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/timer.h>
#include <linux/jiffies.h>
#include <linux/in.h>

#include "p2p/p2p.h"
#include "recognise/pkt.h"

#define UDP_BUCKETS	4096
#define P2P_BUCKETS	256
#define P2P_PERIOD	200	/* ticks between timer runs */
#define P2P_SWEEP_EVERY	9	/* timer runs per ageing sweep */

#define P2P_DNS_PORT		53
#define P2P_LOWEST_PORT		1025	/* UDP to lower ports is not tracked */
#define P2P_COUNT_LIMIT		200	/* counted packets before a verdict ... */
#define P2P_COUNT_LIMIT_SIG	600	/* ... or, once the endpoint sent a signature length */
#define P2P_RECOUNT_AFTER	20	/* packets of step-by-step evidence per connection */

struct udp_peer {
	u32 state;
	u32 kind;
	u32 seen;
	u32 sig_count;
	struct udp_peer *next;
	u32 addr;
	u16 port;
	u16 hits;
};

struct p2p_peer {
	u32 addr;
	u16 port;
	struct p2p_peer *next;
};

/* udpHashTable is guarded by p2p_udp_lock, p2pHashTable by p2p_lock; where both are held,
 * p2p_udp_lock is taken first. */
static DEFINE_SPINLOCK(p2p_udp_lock);
static struct udp_peer *udpHashTable[UDP_BUCKETS];	/* fixed name */
static DEFINE_SPINLOCK(p2p_lock);
static struct p2p_peer *p2pHashTable[P2P_BUCKETS];	/* fixed name */

static struct timer_list nfHashTimer;	/* fixed name */
static unsigned int udpTimes;	/* fixed name; only the timer touches it */

static inline unsigned int udp_bucket(u32 addr, u16 port)
{
	return ((addr & 0xFFFF) ^ (addr >> 16) ^ port) & 0xFFF;
}

static inline unsigned int p2p_bucket(u32 addr)
{
	return (addr ^ (addr >> 8)) & 0xFF;
}

/* Appends a P2P peer; caller holds p2p_lock. Duplicates are not looked for. */
/* fixed name */
static void p2pAddHash(u32 addr, u16 port)
{
	struct p2p_peer **pp = &p2pHashTable[p2p_bucket(addr)];
	struct p2p_peer *peer;

	while (*pp)
		pp = &(*pp)->next;
	peer = kzalloc(sizeof(*peer), GFP_ATOMIC);
	if (!peer)
		return;
	peer->addr = addr;
	peer->port = port;
	*pp = peer;
}


static struct udp_peer *udp_find(u32 addr, u16 port)
{
	struct udp_peer *peer = udpHashTable[udp_bucket(addr, port)];

	while (peer && (peer->addr != addr || peer->port != port))
		peer = peer->next;
	return peer;
}

/* Caller holds p2p_udp_lock. */
static struct udp_peer *udp_add(u32 addr, u16 port)
{
	struct udp_peer **pp = &udpHashTable[udp_bucket(addr, port)];
	struct udp_peer *peer;

	peer = kzalloc(sizeof(*peer), GFP_ATOMIC);
	if (!peer)
		return NULL;
	peer->seen = 1;
	peer->addr = addr;
	peer->port = port;
	peer->hits = 1;
	while (*pp)
		pp = &(*pp)->next;
	*pp = peer;
	return peer;
}

/* Peer kinds: the signature length an endpoint sent last. */
#define KIND_NONE	0
#define KIND_34		1
#define KIND_95		2
#define KIND_3		3	/* has a verdict, but no length sets it */

static int is_verdict(u32 state)
{
	return state == P2P_SIGNATURE || state == P2P_KIND_34 || state == P2P_KIND_95 ||
	       state == P2P_KIND_3 || state == P2P_STREAM;
}

static u32 verdict_of_kind(u32 kind)
{
	switch (kind) {
	case KIND_34:
		return P2P_KIND_34;
	case KIND_95:
		return P2P_KIND_95;
	case KIND_3:
		return P2P_KIND_3;
	default:
		return P2P_SIGNATURE;
	}
}

/* The verdict for a connection that counted up to its limit. */
static u32 verdict_of_count(const struct qarn_flow *flow)
{
	if (flow->dport == 8000)
		return P2P_PORT_8000;
	if (flow->dport == 5001)
		return P2P_BULK;
	if (!flow->acct || relayk_acct_packets(flow->acct, RELAYK_DIR_REPLY) == 0)
		return P2P_STREAM;
	return P2P_BULK;
}

int qarn_check_p2p(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow)
{
	struct udp_peer *peer;
	u32 count, verdict;
	u32 addr;
	u16 port;

	(void)skb;
	if (!flow->udp)
		return 0;
	if (flow->dport == P2P_DNS_PORT) {
		relayk_set_ct_p2p_state(ct, P2P_DNS);
		return 0;
	}
	if (flow->dport < P2P_LOWEST_PORT)
		return 0;

	spin_lock_bh(&p2p_udp_lock);
	peer = udp_find(flow->saddr, flow->sport);
	if (!peer) {
		if (udp_add(flow->saddr, flow->sport))
			relayk_set_ct_p2p_state(ct, P2P_COUNTING);
		goto out;
	}
	if (is_verdict(peer->state)) {
		peer->seen = 1;
		relayk_set_ct_p2p_state(ct, peer->state);
		goto out;
	}
	if (relayk_ct_p2p_state(ct) == P2P_COUNTING) {
		/* counting alone does not keep the endpoint from ageing out */
		count = relayk_ct_p2p_count(ct) + 1;
		relayk_set_ct_p2p_count(ct, count);
		if (count == (peer->sig_count ? P2P_COUNT_LIMIT_SIG : P2P_COUNT_LIMIT))
			relayk_set_ct_p2p_state(ct, verdict_of_count(flow));
		goto out;
	}

	peer->seen = 1;
	if (peer->sig_count >= 2 && peer->hits >= 4) {
		verdict = verdict_of_kind(peer->kind);
		goto publish;
	}
	if (peer->hits > 10) {
		verdict = P2P_STREAM;
		goto publish;
	}
	count = relayk_ct_p2p_count(ct) + 1;
	relayk_set_ct_p2p_count(ct, count);
	if (count > P2P_RECOUNT_AFTER) {
		relayk_set_ct_p2p_state(ct, P2P_COUNTING);
		peer->hits++;
		goto out;
	}
	switch (flow->payload_len) {
	case 34:
		peer->kind = KIND_34;
		break;
	case 95:
		peer->kind = KIND_95;
		break;
	case 20:
		break;
	default:
		goto out;
	}
	relayk_set_ct_p2p_state(ct, P2P_COUNTING);
	peer->hits++;
	peer->sig_count++;
out:
	spin_unlock_bh(&p2p_udp_lock);
	return 0;

publish:
	relayk_set_ct_p2p_state(ct, verdict);
	peer->state = verdict;
	addr = peer->addr;
	port = peer->port;
	spin_unlock_bh(&p2p_udp_lock);
	spin_lock_bh(&p2p_lock);
	p2pAddHash(addr, port);
	spin_unlock_bh(&p2p_lock);
	return 0;
}

int check_p2p_conn(struct sk_buff *skb)
{
	struct qarn_pkt p;
	struct p2p_peer *peer;
	u32 addr;
	u16 port;
	int found = 0;

	if (qarn_pkt_parse(skb, &p) || (!p.tcp && !p.udp))
		return 0;
	addr = ntohl(p.ip->saddr);
	port = ntohs(p.tcp ? p.tcp->source : p.udp->source);
	/* a peer is only ever stored in the bucket of its address */
	spin_lock_bh(&p2p_lock);
	for (peer = p2pHashTable[p2p_bucket(addr)]; peer; peer = peer->next) {
		if (peer->addr == addr && peer->port == port) {
			found = 1;
			break;
		}
	}
	spin_unlock_bh(&p2p_lock);
	return found;
}

/* Unlinks and frees every P2P peer of the endpoint; caller holds p2p_lock. */
static void p2p_forget(u32 addr, u16 port)
{
	struct p2p_peer **pp = &p2pHashTable[p2p_bucket(addr)];
	struct p2p_peer *peer;

	while ((peer = *pp) != NULL) {
		if (peer->addr == addr && peer->port == port) {
			*pp = peer->next;
			kfree(peer);
		} else {
			pp = &peer->next;
		}
	}
}

/* Drops every endpoint not touched since the last sweep, with its P2P peer entries. */
static void udp_sweep(void)
{
	struct udp_peer **pp, *peer;
	unsigned int i;

	spin_lock_bh(&p2p_udp_lock);
	for (i = 0; i < UDP_BUCKETS; i++) {
		pp = &udpHashTable[i];
		while ((peer = *pp) != NULL) {
			if (peer->seen) {
				peer->seen = 0;
				pp = &peer->next;
				continue;
			}
			spin_lock_bh(&p2p_lock);
			p2p_forget(peer->addr, peer->port);
			spin_unlock_bh(&p2p_lock);
			*pp = peer->next;
			kfree(peer);
		}
	}
	spin_unlock_bh(&p2p_udp_lock);
}

/* fixed name */
static void nfHashTimeOut(unsigned long data)
{
	(void)data;
	if (++udpTimes == P2P_SWEEP_EVERY) {
		udpTimes = 0;
		udp_sweep();
	}
	mod_timer(&nfHashTimer, jiffies + P2P_PERIOD);
}

int qarn_p2p_init(void)
{
	spin_lock_init(&p2p_udp_lock);
	spin_lock_init(&p2p_lock);
	udpTimes = 0;
	setup_timer(&nfHashTimer, nfHashTimeOut, 0);
	nfHashTimer.expires = jiffies + P2P_PERIOD;
	add_timer(&nfHashTimer);
	relayk_set_check_p2p_dispatch(check_p2p_conn);
	return 0;
}

void qarn_p2p_exit(void)
{
	struct udp_peer *udp, *udp_next;
	struct p2p_peer *peer, *peer_next;
	unsigned int i;

	del_timer_sync(&nfHashTimer);
	spin_lock_bh(&p2p_udp_lock);
	for (i = 0; i < UDP_BUCKETS; i++) {
		for (udp = udpHashTable[i]; udp; udp = udp_next) {
			udp_next = udp->next;
			kfree(udp);
		}
		udpHashTable[i] = NULL;
	}
	spin_unlock_bh(&p2p_udp_lock);
	relayk_set_check_p2p_dispatch(NULL);
	spin_lock_bh(&p2p_lock);
	for (i = 0; i < P2P_BUCKETS; i++) {
		for (peer = p2pHashTable[i]; peer; peer = peer_next) {
			peer_next = peer->next;
			kfree(peer);
		}
		p2pHashTable[i] = NULL;
	}
	spin_unlock_bh(&p2p_lock);
}
