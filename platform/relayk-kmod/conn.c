/*
 * relayk's side of the connection record. The Application mark is the connection tracking
 * entry's own mark and the counters are the kernel's connection accounting (reply_aux is
 * the reply direction's packet count); the five relayk counters live in a record beside the
 * entry, which holds a reference to it so that the entry cannot be freed and reused under
 * it. A record is dropped once its entry is dying, or was never confirmed and is held by
 * nothing else; its memory is freed only after every hook call that may hold it has ended.
 */
#include <linux/kernel.h>
#include <linux/hashtable.h>
#include <linux/rcupdate.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <net/netfilter/nf_conntrack.h>
#include <net/netfilter/nf_conntrack_acct.h>

#include "frame/relayk_if.h"
#include "relayk_standin.h"

struct rs_conn {
	struct hlist_node node;
	struct nf_conn *ct;	/* a reference is held */
	struct rcu_head rcu;
	u32 rate_base;
	u32 rate_stamp;
	u32 recheck_stamp;
	u32 p2p_state;
	u32 p2p_count;
};

/* The accounting area as qarn sees it: the kernel's, forward direction first. */
struct relayk_acct {
	struct nf_conn_acct kernel;
};

#define RS_CONN_BITS 8
/* Records are swept for dead entries after this many new ones. */
#define RS_SWEEP_EVERY 64

/* rs_conn_lock guards the table; the records' counters are read and written without it. */
static DEFINE_HASHTABLE(rs_conns, RS_CONN_BITS);
static DEFINE_SPINLOCK(rs_conn_lock);
static unsigned int rs_conn_added;

static bool rs_conn_dead(const struct nf_conn *ct)
{
	return nf_ct_is_dying(ct) ||
	       (!nf_ct_is_confirmed(ct) && refcount_read(&ct->ct_general.use) == 1);
}

/* Moves every record of a dead entry to *dead; caller holds rs_conn_lock. */
static void rs_conn_sweep(struct hlist_head *dead)
{
	struct rs_conn *c;
	struct hlist_node *tmp;
	int bkt;

	hash_for_each_safe(rs_conns, bkt, tmp, c, node) {
		if (rs_conn_dead(c->ct)) {
			hash_del(&c->node);
			hlist_add_head(&c->node, dead);
		}
	}
}

static void rs_conn_release(struct hlist_head *dead)
{
	struct rs_conn *c;
	struct hlist_node *tmp;

	hlist_for_each_entry_safe(c, tmp, dead, node) {
		nf_ct_put(c->ct);
		/* a packet on another processor may still hold the record */
		kfree_rcu(c, rcu);
	}
}

static struct rs_conn *rs_conn_lookup(const struct nf_conn *ct)
{
	struct rs_conn *c;

	hash_for_each_possible(rs_conns, c, node, (unsigned long)ct) {
		if (c->ct == ct)
			return c;
	}
	return NULL;
}

struct rs_conn *rs_conn_get(struct nf_conn *ct)
{
	HLIST_HEAD(dead);
	struct rs_conn *c;

	spin_lock_bh(&rs_conn_lock);
	c = rs_conn_lookup(ct);
	if (!c) {
		c = kzalloc(sizeof(*c), GFP_ATOMIC);
		if (c) {
			nf_conntrack_get(&ct->ct_general);
			c->ct = ct;
			hash_add(rs_conns, &c->node, (unsigned long)ct);
			if (++rs_conn_added % RS_SWEEP_EVERY == 0)
				rs_conn_sweep(&dead);
		}
	}
	spin_unlock_bh(&rs_conn_lock);
	rs_conn_release(&dead);
	return c;
}

/*
 * The record of ct. qarn reaches connection fields only for the packet it was handed, so
 * only the running packet's record is served; a record may be swept as soon as no packet
 * holds it.
 */
static struct rs_conn *rs_conn_of(const struct nf_conn *ct)
{
	struct rs_pkt *pkt = rs_pkt_current();

	return pkt && pkt->ct == ct ? pkt->conn : NULL;
}

__be16 relayk_ct_fwd_dport(const struct nf_conn *ct)
{
	return ct->tuplehash[IP_CT_DIR_ORIGINAL].tuple.dst.u.all;
}
EXPORT_SYMBOL(relayk_ct_fwd_dport);

u8 relayk_ct_protocol(const struct nf_conn *ct)
{
	return nf_ct_protonum(ct);
}
EXPORT_SYMBOL(relayk_ct_protocol);

u32 relayk_ct_app_mark(const struct nf_conn *ct)
{
	return READ_ONCE(ct->mark);
}
EXPORT_SYMBOL(relayk_ct_app_mark);

void relayk_set_ct_app_mark(struct nf_conn *ct, u32 mark)
{
	WRITE_ONCE(ct->mark, mark);
}
EXPORT_SYMBOL(relayk_set_ct_app_mark);

/* The five counters of the record; a connection without one reads 0 and keeps nothing. */
#define RS_CONN_FIELD(name)						\
u32 relayk_ct_##name(const struct nf_conn *ct)				\
{									\
	struct rs_conn *c = rs_conn_of(ct);				\
									\
	return c ? READ_ONCE(c->name) : 0;				\
}									\
EXPORT_SYMBOL(relayk_ct_##name);					\
void relayk_set_ct_##name(struct nf_conn *ct, u32 value)		\
{									\
	struct rs_conn *c = rs_conn_of(ct);				\
									\
	if (c)								\
		WRITE_ONCE(c->name, value);				\
}									\
EXPORT_SYMBOL(relayk_set_ct_##name)

RS_CONN_FIELD(rate_base);
RS_CONN_FIELD(rate_stamp);
RS_CONN_FIELD(recheck_stamp);
RS_CONN_FIELD(p2p_state);
RS_CONN_FIELD(p2p_count);

struct relayk_acct *relayk_ct_acct(const struct nf_conn *ct)
{
	struct nf_conn_acct *acct = nf_conn_acct_find(ct);

	return acct ? container_of(acct, struct relayk_acct, kernel) : NULL;
}
EXPORT_SYMBOL(relayk_ct_acct);

u64 relayk_acct_packets(const struct relayk_acct *acct, int dir)
{
	if (dir != RELAYK_DIR_FORWARD && dir != RELAYK_DIR_REPLY)
		return 0;
	return atomic64_read(&acct->kernel.counter[dir].packets);
}
EXPORT_SYMBOL(relayk_acct_packets);

u64 relayk_acct_bytes(const struct relayk_acct *acct, int dir)
{
	if (dir != RELAYK_DIR_FORWARD && dir != RELAYK_DIR_REPLY)
		return 0;
	return atomic64_read(&acct->kernel.counter[dir].bytes);
}
EXPORT_SYMBOL(relayk_acct_bytes);

u32 relayk_acct_reply_aux(const struct relayk_acct *acct)
{
	return (u32)atomic64_read(&acct->kernel.counter[IP_CT_DIR_REPLY].packets);
}
EXPORT_SYMBOL(relayk_acct_reply_aux);

static int rs_conns_show(struct seq_file *m, void *v)
{
	const struct nf_conntrack_tuple *t;
	struct nf_conn_acct *acct;
	struct rs_conn *c;
	int bkt;

	spin_lock_bh(&rs_conn_lock);
	hash_for_each(rs_conns, bkt, c, node) {
		t = &c->ct->tuplehash[IP_CT_DIR_ORIGINAL].tuple;
		acct = nf_conn_acct_find(c->ct);
		seq_printf(m, "proto=%u src=%pI4:%u dst=%pI4:%u fwd=%llu reply=%llu mark=0x%x "
			   "rate_base=%u rate_stamp=%u recheck_stamp=%u p2p_state=%u p2p_count=%u\n",
			   t->dst.protonum, &t->src.u3.ip, ntohs(t->src.u.all), &t->dst.u3.ip,
			   ntohs(t->dst.u.all),
			   acct ? (u64)atomic64_read(&acct->counter[IP_CT_DIR_ORIGINAL].packets) : 0,
			   acct ? (u64)atomic64_read(&acct->counter[IP_CT_DIR_REPLY].packets) : 0,
			   READ_ONCE(c->ct->mark), READ_ONCE(c->rate_base), READ_ONCE(c->rate_stamp),
			   READ_ONCE(c->recheck_stamp), READ_ONCE(c->p2p_state),
			   READ_ONCE(c->p2p_count));
	}
	spin_unlock_bh(&rs_conn_lock);
	return 0;
}

int rs_conn_init(struct proc_dir_entry *dir)
{
	return proc_create_single("conns", 0444, dir, rs_conns_show) ? 0 : -ENOMEM;
}

/* The packet path is gone: no record can be in use. */
void rs_conn_exit(void)
{
	HLIST_HEAD(dead);
	struct rs_conn *c;
	struct hlist_node *tmp;
	int bkt;

	spin_lock_bh(&rs_conn_lock);
	hash_for_each_safe(rs_conns, bkt, tmp, c, node) {
		hash_del(&c->node);
		hlist_add_head(&c->node, &dead);
	}
	spin_unlock_bh(&rs_conn_lock);
	rs_conn_release(&dead);
}
