/*
 * relayk's connection tracker, packet path and tick driver, and the accessors through which
 * the module reaches the packet's and the connection's relayk fields.
 */
#include <stdlib.h>

#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/skbuff.h>
#include <linux/ip.h>
#include <linux/in.h>

#include "frame/relayk_if.h"
#include "relayk/relayk.h"
#include "kstub/kstub.h"
#include "relayk_int.h"

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

/* Packets up to this length are copied to the stack; longer ones to a buffer of their own. */
#define PACKET_ON_STACK 2048

/* The packet as relayk passes it: the socket buffer and relayk's own fields. */
struct relayk_skb {
	struct sk_buff skb;
	u32 dir_code;
	u32 lan_host_addr;
	u32 prio_class;
	u32 route_mark;
	struct nf_conn *conn;
};

/*
 * The extension block: ACCT_OFFSET bytes of other extensions (byte 10 holds the offset of
 * the accounting area), then the accounting area, two blocks of four u64 counters.
 */
#define EXT_ACCT_BYTE 10
#define ACCT_OFFSET 16
#define EXT_SIZE (ACCT_OFFSET + 8 * sizeof(u64))

struct relayk_acct {
	u64 c[8]; /* forward: packets, bytes, -, -; reply: packets, bytes, -, reply_aux */
};

struct nf_conn {
	spinlock_t lock; /* serialises the packets of this connection and field access */
	struct nf_conn *hnext;
	unsigned id;
	u8 proto;
	u32 saddr, daddr; /* forward direction, host byte order */
	u16 sport, dport;
	u32 app_mark;
	u32 rate_base;
	u32 rate_stamp;
	u32 recheck_stamp;
	u32 p2p_state;
	u32 p2p_count;
	unsigned char *ext;
};

#define CT_BUCKETS 4096
#define MAX_LANS 16

/*
 * table_lock guards the connection array and serialises additions to the buckets and the
 * setting of the clock base. Lookups in the buckets take no lock, as the kernel's tracker
 * looks up under RCU: an entry is complete before the release store that puts it at its
 * bucket's head, its key and chain link never change, and entries go only in relayk_reset,
 * which no packet may overlap. The clock base is likewise set once, before the release
 * store of clock_based, and read without the lock after it.
 */
static DEFINE_SPINLOCK(table_lock);
static struct nf_conn *buckets[CT_BUCKETS];
static struct nf_conn **conns;
static unsigned nconns, conns_cap;

static struct {
	u32 net, mask;
} lans[MAX_LANS];
static int nlans;

static unsigned tick_hz = 100;
static int clock_based;
static unsigned long long clock_base_ts;
static u32 clock_base_jiffies;

/* Accessors of frame/relayk_if.h. */
static struct relayk_skb *rskb(const struct sk_buff *skb)
{
	return container_of(skb, struct relayk_skb, skb);
}

u32 relayk_dir_code(const struct sk_buff *skb) { return rskb(skb)->dir_code; }
u32 relayk_lan_host_addr(const struct sk_buff *skb) { return rskb(skb)->lan_host_addr; }
u32 relayk_prio_class(const struct sk_buff *skb) { return rskb(skb)->prio_class; }
void relayk_set_prio_class(struct sk_buff *skb, u32 v) { rskb(skb)->prio_class = v; }
u32 relayk_route_mark(const struct sk_buff *skb) { return rskb(skb)->route_mark; }
void relayk_set_route_mark(struct sk_buff *skb, u32 v) { rskb(skb)->route_mark = v; }
struct nf_conn *relayk_conn(const struct sk_buff *skb) { return rskb(skb)->conn; }

__be16 relayk_ct_fwd_dport(const struct nf_conn *ct) { return htons(ct->dport); }
u8 relayk_ct_protocol(const struct nf_conn *ct) { return ct->proto; }
u32 relayk_ct_app_mark(const struct nf_conn *ct) { return ct->app_mark; }
void relayk_set_ct_app_mark(struct nf_conn *ct, u32 v) { ct->app_mark = v; }
u32 relayk_ct_rate_base(const struct nf_conn *ct) { return ct->rate_base; }
void relayk_set_ct_rate_base(struct nf_conn *ct, u32 v) { ct->rate_base = v; }
u32 relayk_ct_rate_stamp(const struct nf_conn *ct) { return ct->rate_stamp; }
void relayk_set_ct_rate_stamp(struct nf_conn *ct, u32 v) { ct->rate_stamp = v; }
u32 relayk_ct_recheck_stamp(const struct nf_conn *ct) { return ct->recheck_stamp; }
void relayk_set_ct_recheck_stamp(struct nf_conn *ct, u32 v) { ct->recheck_stamp = v; }
u32 relayk_ct_p2p_state(const struct nf_conn *ct) { return ct->p2p_state; }
void relayk_set_ct_p2p_state(struct nf_conn *ct, u32 v) { ct->p2p_state = v; }
u32 relayk_ct_p2p_count(const struct nf_conn *ct) { return ct->p2p_count; }
void relayk_set_ct_p2p_count(struct nf_conn *ct, u32 v) { ct->p2p_count = v; }

struct relayk_acct *relayk_ct_acct(const struct nf_conn *ct)
{
	if (!ct->ext || !ct->ext[EXT_ACCT_BYTE])
		return NULL;
	return (struct relayk_acct *)(ct->ext + ct->ext[EXT_ACCT_BYTE]);
}

u64 relayk_acct_packets(const struct relayk_acct *acct, int dir)
{
	return acct->c[dir ? 4 : 0];
}

u64 relayk_acct_bytes(const struct relayk_acct *acct, int dir)
{
	return acct->c[dir ? 5 : 1];
}

u32 relayk_acct_reply_aux(const struct relayk_acct *acct)
{
	return (u32)acct->c[7];
}

/* The tracker. */
static void free_conns(void)
{
	unsigned i;

	for (i = 0; i < nconns; i++) {
		free(conns[i]->ext);
		free(conns[i]);
	}
	free(conns);
	conns = NULL;
	nconns = conns_cap = 0;
	memset(buckets, 0, sizeof(buckets));
}

void relayk_reset(unsigned hz)
{
	spin_lock_bh(&table_lock);
	free_conns();
	nlans = 0;
	tick_hz = hz ? hz : 100;
	__atomic_store_n(&clock_based, 0, __ATOMIC_RELAXED);
	spin_unlock_bh(&table_lock);
	relayk_netlink_reset();
	kstub_set_jiffies((u32)(-300 * (int)tick_hz));
}

void relayk_add_lan(unsigned net, unsigned prefix_len)
{
	u32 mask = prefix_len == 0 ? 0 : prefix_len >= 32 ? 0xffffffffu :
		   ~((1u << (32 - prefix_len)) - 1);

	spin_lock_bh(&table_lock);
	if (nlans < MAX_LANS) {
		lans[nlans].net = net & mask;
		lans[nlans].mask = mask;
		nlans++;
	}
	spin_unlock_bh(&table_lock);
}

static int in_lan(u32 addr)
{
	int i;

	if (nlans == 0)
		return (addr & 0xffff0000u) == 0xc0a80000u || (addr & 0xff000000u) == 0x0a000000u;
	for (i = 0; i < nlans; i++)
		if ((addr & lans[i].mask) == lans[i].net)
			return 1;
	return 0;
}

void relayk_clock_follow(unsigned long long ts_usec)
{
	u32 target, now;
	int ahead;

	if (!__atomic_load_n(&clock_based, __ATOMIC_ACQUIRE)) {
		int first;

		spin_lock_bh(&table_lock);
		first = !clock_based;
		if (first) {
			clock_base_ts = ts_usec;
			clock_base_jiffies = kstub_jiffies();
			__atomic_store_n(&clock_based, 1, __ATOMIC_RELEASE);
		}
		spin_unlock_bh(&table_lock);
		if (first)
			return;
	}
	target = clock_base_jiffies;
	if (ts_usec > clock_base_ts)
		target += (u32)((ts_usec - clock_base_ts) * tick_hz / 1000000ULL);
	now = kstub_jiffies();
	ahead = (int)(target - now);
	if (ahead > 0)
		kstub_advance_jiffies((unsigned)ahead);
}

static unsigned bucket_of(u8 proto, u32 saddr, u32 daddr, u16 sport, u16 dport)
{
	u32 h = saddr * 0x9e3779b1u ^ daddr * 0x85ebca6bu ^
		((u32)sport << 16 | dport) * 0xc2b2ae35u ^ proto;

	return (h ^ (h >> 15)) & (CT_BUCKETS - 1);
}

static struct nf_conn *find_forward(u8 proto, u32 saddr, u32 daddr, u16 sport, u16 dport)
{
	struct nf_conn *ct = __atomic_load_n(&buckets[bucket_of(proto, saddr, daddr, sport, dport)],
					     __ATOMIC_ACQUIRE);

	for (; ct; ct = ct->hnext)
		if (ct->proto == proto && ct->saddr == saddr && ct->daddr == daddr &&
		    ct->sport == sport && ct->dport == dport)
			return ct;
	return NULL;
}

/* The connection in either direction, or NULL; no lock needed (see table_lock). */
static struct nf_conn *find(u8 proto, u32 saddr, u32 daddr, u16 sport, u16 dport, int *reply)
{
	struct nf_conn *ct = find_forward(proto, saddr, daddr, sport, dport);

	*reply = 0;
	if (ct)
		return ct;
	ct = find_forward(proto, daddr, saddr, dport, sport);
	if (ct)
		*reply = 1;
	return ct;
}

/* Adds a connection; called with table_lock held. NULL when memory runs out. */
static struct nf_conn *add(u8 proto, u32 saddr, u32 daddr, u16 sport, u16 dport)
{
	struct nf_conn *ct;
	unsigned b;

	if (nconns == conns_cap) {
		unsigned cap = conns_cap ? conns_cap * 2 : 64;
		struct nf_conn **grown = realloc(conns, cap * sizeof(*conns));

		if (!grown)
			return NULL;
		conns = grown;
		conns_cap = cap;
	}
	ct = calloc(1, sizeof(*ct));
	if (!ct)
		return NULL;
	ct->ext = calloc(1, EXT_SIZE);
	if (!ct->ext) {
		free(ct);
		return NULL;
	}
	ct->ext[EXT_ACCT_BYTE] = ACCT_OFFSET;
	spin_lock_init(&ct->lock);
	ct->proto = proto;
	ct->saddr = saddr;
	ct->daddr = daddr;
	ct->sport = sport;
	ct->dport = dport;
	conns[nconns++] = ct;
	ct->id = nconns;
	b = bucket_of(proto, saddr, daddr, sport, dport);
	ct->hnext = buckets[b];
	__atomic_store_n(&buckets[b], ct, __ATOMIC_RELEASE);
	return ct;
}

/* Finds or creates the connection. */
static struct nf_conn *track(u8 proto, u32 saddr, u32 daddr, u16 sport, u16 dport, int *reply)
{
	struct nf_conn *ct = find(proto, saddr, daddr, sport, dport, reply);

	if (ct)
		return ct;
	spin_lock_bh(&table_lock);
	/* another thread may have added it since the look without the lock */
	ct = find(proto, saddr, daddr, sport, dport, reply);
	if (!ct)
		ct = add(proto, saddr, daddr, sport, dport);
	spin_unlock_bh(&table_lock);
	return ct;
}

static u32 load32(const unsigned char *p)
{
	return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}

/* Frees what relayk_packet_in allocated for a packet, or unpoisons its stack copy. */
static void release_copies(unsigned char *copy, unsigned char *paged, u64 *stack_copy,
			   unsigned head)
{
	if (copy == (unsigned char *)stack_copy)
		ASAN_UNPOISON_MEMORY_REGION(copy + head, PACKET_ON_STACK - head);
	else
		free(copy);
	free(paged);
}

int relayk_packet_in(const unsigned char *ip, unsigned len, const struct relayk_in_opts *opts,
		     struct relayk_result *res)
{
	static const struct relayk_in_opts none;
	static const struct relayk_skb blank;
	struct relayk_skb pkt;
	struct nf_conn *ct = NULL;
	struct relayk_acct *acct;
	u64 stack_copy[PACKET_ON_STACK / sizeof(u64)];
	unsigned char *copy, *paged;
	unsigned ihl, head;
	u32 saddr, daddr;
	u16 sport = 0, dport = 0, tot_len;
	u8 proto;
	int reply = 0, lan_source;

	if (!opts)
		opts = &none;
	memset(res, 0, sizeof(*res));
	if (!ip || len < 20 || (ip[0] >> 4) != 4)
		return -1;
	ihl = (ip[0] & 0x0f) * 4u;
	proto = ip[9];
	tot_len = (u16)(ip[2] << 8 | ip[3]);
	saddr = load32(ip + 12);
	daddr = load32(ip + 16);
	/* ports key TCP and UDP connections when the first fragment carries them */
	if ((proto == IPPROTO_TCP || proto == IPPROTO_UDP) && ihl >= 20 && ihl + 4 <= len &&
	    ((ip[6] & 0x1f) | ip[7]) == 0) {
		sport = (u16)(ip[ihl] << 8 | ip[ihl + 1]);
		dport = (u16)(ip[ihl + 2] << 8 | ip[ihl + 3]);
	}

	/*
	 * The module sees buffers exactly as long as the packet's linear and paged parts: under
	 * AddressSanitizer the bytes of the stack copy beyond the linear part are poisoned, so a
	 * read past it is reported as on a buffer of its own.
	 */
	head = opts->linear && opts->linear < len ? opts->linear : len;
	if (opts->in_place) {
		copy = (unsigned char *)ip;
		paged = head < len ? (unsigned char *)ip + head : NULL;
	} else {
		if (head <= PACKET_ON_STACK) {
			copy = (unsigned char *)stack_copy;
			ASAN_POISON_MEMORY_REGION(copy + head, PACKET_ON_STACK - head);
		} else {
			copy = malloc(head);
		}
		paged = head < len ? malloc(len - head) : NULL;
		if (!copy || (head < len && !paged)) {
			release_copies(copy, paged, stack_copy, head);
			return -1;
		}
		memcpy(copy, ip, head);
		if (paged)
			memcpy(paged, ip + head, len - head);
	}
	pkt = blank;  /* plain stores, where a memset of this size is a slow rep stos */
	pkt.skb.len = len;
	pkt.skb.data_len = len - head;
	pkt.skb.paged = paged;
	pkt.skb.head = pkt.skb.data = pkt.skb.network_header = copy;
	pkt.skb.tail = pkt.skb.end = copy + head;
	pkt.skb.transport_header = copy + (ihl <= head ? ihl : head);
	pkt.skb.protocol = htons(0x0800);
	lan_source = in_lan(saddr);
	pkt.dir_code = opts->set_dir_code ? opts->dir_code : lan_source ? 0 : 1;
	pkt.lan_host_addr = lan_source ? saddr : daddr;

	if (!opts->no_conn)
		ct = track(proto, saddr, daddr, sport, dport, &reply);
	if (ct) {
		spin_lock_bh(&ct->lock);
		acct = relayk_ct_acct(ct);
		if (acct) {
			acct->c[reply ? 4 : 0] += 1;
			acct->c[reply ? 5 : 1] += tot_len;
			if (reply)
				acct->c[7] += 1;
		}
	}
	pkt.conn = ct;
	pkt.prio_class = 0;
	relayk_call_hooks(&pkt.skb, opts, res);
	res->prio_class = pkt.prio_class;
	res->dir_code = pkt.dir_code;
	res->route_mark = pkt.route_mark;
	if (ct) {
		res->mark = ct->app_mark;
		res->conn = ct->id;
		res->reply = reply;
		spin_unlock_bh(&ct->lock);
	}
	if (!opts->in_place)
		release_copies(copy, paged, stack_copy, head);
	return 0;
}

unsigned relayk_conn_count(void)
{
	unsigned n;

	spin_lock_bh(&table_lock);
	n = nconns;
	spin_unlock_bh(&table_lock);
	return n;
}

static struct nf_conn *conn_by_id(unsigned id)
{
	struct nf_conn *ct = NULL;

	spin_lock_bh(&table_lock);
	if (id >= 1 && id <= nconns)
		ct = conns[id - 1];
	spin_unlock_bh(&table_lock);
	return ct;
}

static u64 *counter(struct nf_conn *ct, enum relayk_field field)
{
	struct relayk_acct *acct = relayk_ct_acct(ct);

	if (!acct)
		return NULL;
	switch (field) {
	case RELAYK_FWD_PACKETS: return &acct->c[0];
	case RELAYK_FWD_BYTES: return &acct->c[1];
	case RELAYK_REPLY_PACKETS: return &acct->c[4];
	case RELAYK_REPLY_BYTES: return &acct->c[5];
	case RELAYK_REPLY_AUX: return &acct->c[7];
	default: return NULL;
	}
}

unsigned long long relayk_conn_get(unsigned id, enum relayk_field field)
{
	struct nf_conn *ct = conn_by_id(id);
	unsigned long long v = ~0ULL;
	u64 *c;

	if (!ct)
		return v;
	spin_lock_bh(&ct->lock);
	switch (field) {
	case RELAYK_MARK: v = ct->app_mark; break;
	case RELAYK_RATE_BASE: v = ct->rate_base; break;
	case RELAYK_RATE_STAMP: v = ct->rate_stamp; break;
	case RELAYK_RECHECK_STAMP: v = ct->recheck_stamp; break;
	case RELAYK_P2P_STATE: v = ct->p2p_state; break;
	case RELAYK_P2P_COUNT: v = ct->p2p_count; break;
	case RELAYK_ACCT_OFFSET: v = ct->ext ? ct->ext[EXT_ACCT_BYTE] : 0; break;
	case RELAYK_HAS_EXT: v = ct->ext != NULL; break;
	case RELAYK_PROTO: v = ct->proto; break;
	case RELAYK_FWD_SADDR: v = ct->saddr; break;
	case RELAYK_FWD_DADDR: v = ct->daddr; break;
	case RELAYK_FWD_SPORT: v = ct->sport; break;
	case RELAYK_FWD_DPORT: v = ct->dport; break;
	default:
		c = counter(ct, field);
		v = c ? *c : 0;
		break;
	}
	spin_unlock_bh(&ct->lock);
	return v;
}

int relayk_conn_set(unsigned id, enum relayk_field field, unsigned long long value)
{
	struct nf_conn *ct = conn_by_id(id);
	int ret = 0;
	u64 *c;

	if (!ct)
		return -1;
	spin_lock_bh(&ct->lock);
	switch (field) {
	case RELAYK_MARK: ct->app_mark = (u32)value; break;
	case RELAYK_RATE_BASE: ct->rate_base = (u32)value; break;
	case RELAYK_RATE_STAMP: ct->rate_stamp = (u32)value; break;
	case RELAYK_RECHECK_STAMP: ct->recheck_stamp = (u32)value; break;
	case RELAYK_P2P_STATE: ct->p2p_state = (u32)value; break;
	case RELAYK_P2P_COUNT: ct->p2p_count = (u32)value; break;
	case RELAYK_ACCT_OFFSET:
		if (ct->ext && (value == 0 || value == ACCT_OFFSET))
			ct->ext[EXT_ACCT_BYTE] = (unsigned char)value;
		else
			ret = -1;
		break;
	case RELAYK_HAS_EXT:
		if (value)
			ret = ct->ext ? 0 : -1;
		else {
			free(ct->ext);
			ct->ext = NULL;
		}
		break;
	default:
		c = counter(ct, field);
		if (c)
			*c = value;
		else
			ret = -1;
		break;
	}
	spin_unlock_bh(&ct->lock);
	return ret;
}
