/*
 * The packet path: a netfilter hook right after connection tracking hands every IPv4 packet
 * to the hook pointers, as relayk does on the router, and logs what they did.
 *
 * The packet is handed over as the kernel holds it, page fragments and all: the hooks read
 * its bytes through relayk_skb_bytes. Only the IPv4 header must lie in the linear part, as
 * the kernel's IP input already ensures.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/percpu.h>
#include <linux/spinlock.h>
#include <linux/ip.h>
#include <linux/in.h>
#include <linux/netfilter.h>
#include <linux/netfilter_ipv4.h>
#include <linux/netdevice.h>
#include <net/net_namespace.h>
#include <net/netfilter/nf_conntrack.h>
#include <net/netfilter/nf_conntrack_acct.h>

#include "frame/relayk_if.h"
#include "relayk_standin.h"

int (*sys_app_recognize)(struct sk_buff *skb);
int (*app_dispatch_mark)(struct sk_buff *skb, u32 index);
int (*check_email_dispatch)(struct sk_buff *skb);
int (*check_p2p_dispatch)(struct sk_buff *skb);
EXPORT_SYMBOL(sys_app_recognize);
EXPORT_SYMBOL(app_dispatch_mark);
EXPORT_SYMBOL(check_email_dispatch);
EXPORT_SYMBOL(check_p2p_dispatch);

/* Non-zero: app_dispatch_mark is also called, with this application index. */
static unsigned int route_index;
module_param(route_index, uint, 0644);
MODULE_PARM_DESC(route_index, "application index handed to app_dispatch_mark (0: not called)");

/*
 * Hook calls run inside the netfilter hook, an RCU read-side section; clearing a pointer
 * waits for every such section that may still run the old function.
 */
void relayk_set_sys_app_recognize(int (*fn)(struct sk_buff *skb))
{
	WRITE_ONCE(sys_app_recognize, fn);
	if (!fn)
		synchronize_net();
}
EXPORT_SYMBOL(relayk_set_sys_app_recognize);

void relayk_set_app_dispatch_mark(int (*fn)(struct sk_buff *skb, u32 index))
{
	WRITE_ONCE(app_dispatch_mark, fn);
	if (!fn)
		synchronize_net();
}
EXPORT_SYMBOL(relayk_set_app_dispatch_mark);

void relayk_set_check_email_dispatch(int (*fn)(struct sk_buff *skb))
{
	WRITE_ONCE(check_email_dispatch, fn);
	if (!fn)
		synchronize_net();
}
EXPORT_SYMBOL(relayk_set_check_email_dispatch);

void relayk_set_check_p2p_dispatch(int (*fn)(struct sk_buff *skb))
{
	WRITE_ONCE(check_p2p_dispatch, fn);
	if (!fn)
		synchronize_net();
}
EXPORT_SYMBOL(relayk_set_check_p2p_dispatch);

/* Set only with bottom halves disabled, for the length of one packet's hook calls. */
static DEFINE_PER_CPU(struct rs_pkt *, rs_current);

struct rs_pkt *rs_pkt_current(void)
{
	return this_cpu_read(rs_current);
}

/* The packet's fields; a packet other than the one being handed over has none. */
static struct rs_pkt *rs_pkt_of(const struct sk_buff *skb)
{
	struct rs_pkt *pkt = rs_pkt_current();

	return pkt && pkt->skb == skb ? pkt : NULL;
}

u32 relayk_dir_code(const struct sk_buff *skb)
{
	struct rs_pkt *pkt = rs_pkt_of(skb);

	return pkt ? pkt->dir_code : 0;
}
EXPORT_SYMBOL(relayk_dir_code);

u32 relayk_lan_host_addr(const struct sk_buff *skb)
{
	struct rs_pkt *pkt = rs_pkt_of(skb);

	return pkt ? pkt->lan_host_addr : 0;
}
EXPORT_SYMBOL(relayk_lan_host_addr);

/* prio_class and route_mark: read and written by the hooks of the running packet. */
#define RS_PKT_FIELD(name)						\
u32 relayk_##name(const struct sk_buff *skb)				\
{									\
	struct rs_pkt *pkt = rs_pkt_of(skb);				\
									\
	return pkt ? pkt->name : 0;					\
}									\
EXPORT_SYMBOL(relayk_##name);						\
void relayk_set_##name(struct sk_buff *skb, u32 value)			\
{									\
	struct rs_pkt *pkt = rs_pkt_of(skb);				\
									\
	if (pkt)							\
		pkt->name = value;					\
}									\
EXPORT_SYMBOL(relayk_set_##name)

RS_PKT_FIELD(prio_class);
RS_PKT_FIELD(route_mark);

struct nf_conn *relayk_conn(const struct sk_buff *skb)
{
	struct rs_pkt *pkt = rs_pkt_of(skb);

	return pkt ? pkt->ct : NULL;
}
EXPORT_SYMBOL(relayk_conn);

/* The LAN side: 192.168.0.0/16 and 10.0.0.0/8 (host byte order). */
static int rs_in_lan(u32 addr)
{
	return (addr & 0xffff0000u) == 0xc0a80000u || (addr & 0xff000000u) == 0x0a000000u;
}

/* The packet log: the last RS_LOG_SIZE packets, numbered from 1 in the order seen. */
#define RS_LOG_SIZE 1024

struct rs_log_rec {
	u32 n;
	u8 proto;
	u8 called;		/* sys_app_recognize was set and called */
	u8 has_ct;
	u8 routed;		/* app_dispatch_mark was called */
	__be32 saddr, daddr;
	__be16 sport, dport;	/* 0 unless TCP or UDP */
	u32 dir_code;
	int ret;
	u32 prio_class;		/* 0 before the call: 0 after it means not written */
	u32 mark;		/* the connection's mark after the calls */
	int email;		/* check_email_dispatch's answer, -1 when not set */
	int p2p;		/* check_p2p_dispatch's answer, -1 when not set */
	u32 route_mark;
	u32 len;		/* the packet's bytes ... */
	u32 headlen;		/* ... and those of its linear part */
};

/* rs_log_lock guards the log and its counters. */
static DEFINE_SPINLOCK(rs_log_lock);
static struct rs_log_rec rs_log[RS_LOG_SIZE];
static u32 rs_log_count;
static u32 rs_short, rs_nonlinear, rs_no_conn;

static void rs_log_add(struct rs_log_rec *rec)
{
	spin_lock_bh(&rs_log_lock);
	rec->n = ++rs_log_count;
	rs_log[(rec->n - 1) % RS_LOG_SIZE] = *rec;
	spin_unlock_bh(&rs_log_lock);
}

static void rs_count(u32 *counter)
{
	spin_lock_bh(&rs_log_lock);
	(*counter)++;
	spin_unlock_bh(&rs_log_lock);
}

static void rs_run_hooks(struct rs_pkt *pkt, struct rs_log_rec *rec)
{
	int (*recognize)(struct sk_buff *skb) = READ_ONCE(sys_app_recognize);
	int (*route)(struct sk_buff *skb, u32 index) = READ_ONCE(app_dispatch_mark);
	int (*email)(struct sk_buff *skb) = READ_ONCE(check_email_dispatch);
	int (*p2p)(struct sk_buff *skb) = READ_ONCE(check_p2p_dispatch);
	u32 index = READ_ONCE(route_index);

	local_bh_disable();
	this_cpu_write(rs_current, pkt);
	if (recognize) {
		rec->called = 1;
		rec->ret = recognize(pkt->skb);
	}
	if (route && index) {
		rec->routed = 1;
		route(pkt->skb, index);
	}
	rec->email = email ? email(pkt->skb) : -1;
	rec->p2p = p2p ? p2p(pkt->skb) : -1;
	this_cpu_write(rs_current, NULL);
	local_bh_enable();
}

static unsigned int rs_nf_hook(void *priv, struct sk_buff *skb,
			       const struct nf_hook_state *state)
{
	struct rs_log_rec rec;
	struct rs_pkt pkt;
	const struct iphdr *iph;
	enum ip_conntrack_info ctinfo;
	struct nf_conn *ct;
	unsigned int ihl;
	u32 saddr;

	if (!pskb_may_pull(skb, sizeof(struct iphdr))) {
		rs_count(&rs_short);
		return NF_ACCEPT;
	}
	if (skb_is_nonlinear(skb))
		rs_count(&rs_nonlinear);
	iph = ip_hdr(skb);
	memset(&pkt, 0, sizeof(pkt));
	memset(&rec, 0, sizeof(rec));
	pkt.skb = skb;
	saddr = ntohl(iph->saddr);
	pkt.dir_code = rs_in_lan(saddr) ? 0 : 1;
	pkt.lan_host_addr = pkt.dir_code ? ntohl(iph->daddr) : saddr;
	pkt.route_mark = skb->mark;
	ct = nf_ct_get(skb, &ctinfo);
	if (ct && !nf_ct_is_template(ct)) {
		pkt.conn = rs_conn_get(ct);
		if (pkt.conn)
			pkt.ct = ct;
		else
			rs_count(&rs_no_conn);
	}

	rs_run_hooks(&pkt, &rec);

	rec.proto = iph->protocol;
	rec.saddr = iph->saddr;
	rec.daddr = iph->daddr;
	ihl = iph->ihl * 4;
	if (iph->protocol == IPPROTO_TCP || iph->protocol == IPPROTO_UDP) {
		__be16 copy[2];
		const __be16 *ports = skb_header_pointer(skb, ihl, sizeof(copy), copy);

		if (ports) {
			rec.sport = ports[0];
			rec.dport = ports[1];
		}
	}
	rec.len = skb->len;
	rec.headlen = skb_headlen(skb);
	rec.dir_code = pkt.dir_code;
	rec.prio_class = pkt.prio_class;
	rec.route_mark = pkt.route_mark;
	rec.has_ct = pkt.ct != NULL;
	rec.mark = pkt.ct ? READ_ONCE(pkt.ct->mark) : 0;
	rs_log_add(&rec);
	return NF_ACCEPT;
}

static const struct nf_hook_ops rs_nf_ops = {
	.hook = rs_nf_hook,
	.pf = NFPROTO_IPV4,
	.hooknum = NF_INET_PRE_ROUTING,
	/* after connection tracking, so the packet's counters are already counted */
	.priority = NF_IP_PRI_CONNTRACK + 1,
};

static int rs_packets_show(struct seq_file *m, void *v)
{
	const struct rs_log_rec *r;
	u32 first, i;

	spin_lock_bh(&rs_log_lock);
	first = rs_log_count > RS_LOG_SIZE ? rs_log_count - RS_LOG_SIZE : 0;
	for (i = first; i < rs_log_count; i++) {
		r = &rs_log[i % RS_LOG_SIZE];
		seq_printf(m, "n=%u proto=%u src=%pI4:%u dst=%pI4:%u dir=%u conn=%u hook=%u ret=%d "
			   "prio=%u mark=0x%x email=%d p2p=%d len=%u linear=%u", r->n, r->proto,
			   &r->saddr, ntohs(r->sport), &r->daddr, ntohs(r->dport), r->dir_code,
			   r->has_ct, r->called, r->ret, r->prio_class, r->mark, r->email, r->p2p,
			   r->len, r->headlen);
		if (r->routed)
			seq_printf(m, " route=0x%x", r->route_mark);
		seq_putc(m, '\n');
	}
	spin_unlock_bh(&rs_log_lock);
	return 0;
}

void rs_path_show(struct seq_file *m)
{
	spin_lock_bh(&rs_log_lock);
	seq_printf(m, "hooks sys_app_recognize=%d app_dispatch_mark=%d check_email_dispatch=%d "
		   "check_p2p_dispatch=%d\npackets %u nonlinear=%u short=%u without_record=%u\n",
		   READ_ONCE(sys_app_recognize) != NULL, READ_ONCE(app_dispatch_mark) != NULL,
		   READ_ONCE(check_email_dispatch) != NULL, READ_ONCE(check_p2p_dispatch) != NULL,
		   rs_log_count, rs_nonlinear, rs_short, rs_no_conn);
	spin_unlock_bh(&rs_log_lock);
}

static bool rs_acct_was;

int rs_path_init(struct proc_dir_entry *dir)
{
	int err;

	if (!proc_create_single("packets", 0444, dir, rs_packets_show))
		return -ENOMEM;
	/* connection tracking for IPv4, with accounting on every new connection */
	err = nf_ct_netns_get(&init_net, NFPROTO_IPV4);
	if (err)
		goto undo_proc;
	rs_acct_was = nf_ct_acct_enabled(&init_net);
	nf_ct_set_acct(&init_net, true);
	err = nf_register_net_hook(&init_net, &rs_nf_ops);
	if (err)
		goto undo_conntrack;
	return 0;

undo_conntrack:
	nf_ct_set_acct(&init_net, rs_acct_was);
	nf_ct_netns_put(&init_net, NFPROTO_IPV4);
undo_proc:
	remove_proc_entry("packets", dir);
	return err;
}

void rs_path_exit(void)
{
	nf_unregister_net_hook(&init_net, &rs_nf_ops);
	nf_ct_set_acct(&init_net, rs_acct_was);
	nf_ct_netns_put(&init_net, NFPROTO_IPV4);
}
