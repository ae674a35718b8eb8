/* The Game server table: built-in game-server addresses, hashed at load. */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/gfp.h>
#include <linux/in.h>

#include "frame/relayk_if.h"
#include "games/cf_srv.h"
#include "recognise/apps.h"
#include "recognise/pkt.h"
#include "cf_srv_list.h"

#define CF_BUCKETS 2048

/* The game's UDP signature: ports 12000 to 12200, UDP length 12 or 13. */
#define CF_UDP_PORT_LOW 12000
#define CF_UDP_PORT_HIGH 12200

struct cf_entry {
	struct list_head list;
	u32 addr;	/* host byte order */
};

/* The bucket heads and every entry are guarded by cf_lock; written only at load and unload. */
static DEFINE_SPINLOCK(cf_lock);
static struct list_head *cf_ip_hash_item;

static inline unsigned int cf_bucket(u32 addr)
{
	return (addr * 0x9E370001U) >> 21;
}

/* Page order of the bucket block: four pages where a list head is two 32-bit words. */
static unsigned int cf_table_order(void)
{
	unsigned int order = 0;

	while ((PAGE_SIZE << order) < CF_BUCKETS * sizeof(struct list_head))
		order++;
	return order;
}

static u32 cf_parse(const char *text)
{
	int a, b, c, d;

	if (sscanf(text, "%d.%d.%d.%d", &a, &b, &c, &d) != 4)
		return 0xFFFFFFFF;
	return ((u32)(a & 0xFF) << 24) | ((u32)(b & 0xFF) << 16) |
	       ((u32)(c & 0xFF) << 8) | (u32)(d & 0xFF);
}

int cf_srv_init(void)
{
	struct cf_entry *e;
	unsigned int i;

	spin_lock_init(&cf_lock);
	cf_ip_hash_item = (struct list_head *)__get_free_pages(GFP_KERNEL, cf_table_order());
	if (!cf_ip_hash_item) {
		/* fixed text */
		printk("Cf_hash_init error:Line = %d, Func = %s\n", 1733, "cf_srv_hash_init");
		return 0;
	}
	for (i = 0; i < CF_BUCKETS; i++)
		INIT_LIST_HEAD(&cf_ip_hash_item[i]);
	for (i = 0; i < ARRAY_SIZE(cf_srv_iplist_str); i++) {
		e = kmalloc(sizeof(*e), GFP_ATOMIC);
		if (!e)
			continue;
		e->addr = cf_parse(cf_srv_iplist_str[i]);
		spin_lock_bh(&cf_lock);
		list_add(&e->list, &cf_ip_hash_item[cf_bucket(e->addr)]);
		spin_unlock_bh(&cf_lock);
	}
	return 0;
}

/* 1 when addr (host byte order) is in the table. */
static int cf_lookup(u32 addr)
{
	struct cf_entry *e;
	int found = 0, missing;

	spin_lock_bh(&cf_lock);
	missing = cf_ip_hash_item == NULL;
	if (!missing) {
		list_for_each_entry(e, &cf_ip_hash_item[cf_bucket(addr)], list) {
			if (e->addr == addr) {
				found = 1;
				break;
			}
		}
	}
	spin_unlock_bh(&cf_lock);
	if (missing)
		/* fixed text */
		printk("cf_ip_hash_item is NULL\n");
	return found;
}

/* A connection already marked with a game server's group and id needs no lookup. */
static int cf_marked(const struct sk_buff *skb)
{
	struct nf_conn *ct = relayk_conn(skb);
	u32 mark;

	if (!ct)
		return 0;
	mark = relayk_ct_app_mark(ct);
	return QARN_PRIO_GROUP(mark) == qarn_apps[QARN_APP_GAME_SERVER].group &&
	       QARN_APP_ID(mark) == qarn_apps[QARN_APP_GAME_SERVER].id;
}

int cf_check_pkt(struct sk_buff *skb)
{
	struct qarn_pkt p;
	u16 dport, ulen;

	if (qarn_pkt_parse(skb, &p))
		return -1;
	if (p.udp) {
		if (cf_marked(skb))
			return 0;
		dport = ntohs(p.udp->dest);
		ulen = ntohs(p.udp->len);
		if (dport >= CF_UDP_PORT_LOW && dport <= CF_UDP_PORT_HIGH &&
		    (ulen == 12 || ulen == 13))
			return 0;
		return -1;
	}
	if (p.tcp) {
		if (cf_marked(skb))
			return 0;
		if (cf_lookup(ntohl(p.ip->daddr)) || cf_lookup(ntohl(p.ip->saddr)))
			return 0;
		return -1;
	}
	return -1;
}

void cf_srv_exit(void)
{
	struct cf_entry *e, *tmp;
	unsigned int i;

	if (!cf_ip_hash_item)
		return;
	for (i = 0; i < CF_BUCKETS; i++) {
		spin_lock_bh(&cf_lock);
		list_for_each_entry_safe(e, tmp, &cf_ip_hash_item[i], list) {
			list_del(&e->list);
			kfree(e);
		}
		spin_unlock_bh(&cf_lock);
	}
	spin_lock_bh(&cf_lock);
	free_pages((unsigned long)cf_ip_hash_item, cf_table_order());
	cf_ip_hash_item = NULL;
	spin_unlock_bh(&cf_lock);
}
