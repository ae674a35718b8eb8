/*
 * The address list, fed by List commands: command 16 empties it and sets the rule flag,
 * command 17 adds ranges, one entry per address.
 */
#include <linux/kernel.h>
#include <linux/gfp.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>

#include "frame/list.h"
#include "frame/relayk_if.h"

#define QARN_LIST_BUCKETS 2048
#define QARN_LIST_BYTES (QARN_LIST_BUCKETS * sizeof(struct list_head))
#define QARN_CMD_CLEAR 16
#define QARN_CMD_ADD 17
#define QARN_REPLY_BUF 1024

/* The List command header, in the processor's byte order; ranges follow it. */
struct qarn_nl_cmd {
	u32 cmd;
	u32 arg;
	u32 len;
	u32 num;
	u32 aux1;
	u32 aux2;
	u32 aux3;
	u32 pid;
};

struct qarn_nl_range {
	u32 unused;
	u32 first;
	u32 last;
};

struct qarn_ip_entry {
	struct list_head list;
	u32 addr;
};

atomic_t check_stat_rule = ATOMIC_INIT(0);

/* qarn_ip_lock guards ip_hash_item's buckets and entries. */
static struct list_head *ip_hash_item;
static DEFINE_SPINLOCK(qarn_ip_lock);
/* qarn_nl_lock serialises whole commands; it is taken before qarn_ip_lock. */
static DEFINE_SPINLOCK(qarn_nl_lock);

static unsigned int qarn_list_hash(u32 addr)
{
	return (u32)(addr * 0x9E370001u) >> 21;
}

static void qarn_list_hash_init(void)
{
	unsigned int i;

	ip_hash_item = (struct list_head *)__get_free_pages(GFP_ATOMIC,
							     get_order(QARN_LIST_BYTES));
	if (!ip_hash_item) {
		/* fixed text */
		printk("error:Line = %d, Func = %s\n", 173, "qarn_list_hash_init");
		return;
	}
	spin_lock_bh(&qarn_ip_lock);
	for (i = 0; i < QARN_LIST_BUCKETS; i++)
		INIT_LIST_HEAD(&ip_hash_item[i]);
	spin_unlock_bh(&qarn_ip_lock);
}

/* Frees every entry, bucket by bucket; the table itself stays. */
static void qarn_list_empty(void)
{
	struct qarn_ip_entry *e, *next;
	unsigned int i;

	if (!ip_hash_item)
		return;
	for (i = 0; i < QARN_LIST_BUCKETS; i++) {
		spin_lock_bh(&qarn_ip_lock);
		list_for_each_entry_safe(e, next, &ip_hash_item[i], list) {
			list_del(&e->list);
			kfree(e);
		}
		spin_unlock_bh(&qarn_ip_lock);
	}
}

/* Adds one address; -1 when no entry could be allocated. */
static int qarn_list_add(u32 addr)
{
	struct qarn_ip_entry *e = kmalloc(sizeof(*e), GFP_ATOMIC);

	if (!e)
		return -1;
	e->addr = addr;
	spin_lock_bh(&qarn_ip_lock);
	list_add(&e->list, &ip_hash_item[qarn_list_hash(addr)]);
	spin_unlock_bh(&qarn_ip_lock);
	return 0;
}

static void qarn_set_ip_list(u32 first, u32 last)
{
	u32 addr;

	/* fixed text */
	printk("Func = %s, Line = %d,startip:0x%x,endip:0x%x\n", "qarn_set_ip_list", 117,
	       first, last);
	if (!ip_hash_item)
		return;
	if (first == last) {
		if (qarn_list_add(first))
			/* fixed text */
			printk("kmalloc fail:Line = %d, Func = %s\n", 126, "qarn_set_ip_list");
	} else if (first < last) {
		for (addr = first;; addr++) {
			if (qarn_list_add(addr)) {
				/* fixed text */
				printk("kmalloc fail:Line = %d, Func = %s\n", 148,
				       "qarn_set_ip_list");
				break;
			}
			if (addr == last)
				break;
		}
	}
}

static void qarn_nl_reply(const struct qarn_nl_cmd *req)
{
	struct qarn_nl_cmd *rep = kzalloc(QARN_REPLY_BUF, GFP_ATOMIC);

	if (!rep)
		return;
	memcpy(rep, req, sizeof(*rep));
	rep->len = sizeof(*rep);
	rep->num = 0;
	rep->aux1 = 0;
	rep->aux3 = 4;
	rep->pid = req->pid;
	virtual_netlink_send(req->pid, rep, sizeof(*rep), sizeof(*rep));
	kfree(rep);
}

static void qarn_nl_clear_list(const struct qarn_nl_cmd *cmd)
{
	qarn_list_empty();
	atomic_set(&check_stat_rule, (int)cmd->arg);
	/* fixed text */
	printk("Func = %s, Line = %d,check_stat_rule:%d\n", "qarn_nl_clear_list", 261,
	       atomic_read(&check_stat_rule));
	qarn_nl_reply(cmd);
}

/* fixed name */
static void fc_nl_set_rule(const struct qarn_nl_cmd *cmd)
{
	const struct qarn_nl_range *range = (const struct qarn_nl_range *)(cmd + 1);
	u32 n, i;

	/* fixed text */
	printk("Func = %s, Line = %d,num:%d\n", "fc_nl_set_rule", 296, cmd->num);
	if (cmd->num == 0)
		return;
	n = (cmd->len - (u32)sizeof(*cmd)) / (u32)sizeof(*range);
	/* a length below the header's would wrap round to a count far beyond the message */
	if (cmd->len < (u32)sizeof(*cmd) || cmd->num != n) {
		/* fixed text */
		printk("Func = %s, Line = %d,cmd->num:%d,sn_num:%d,fail \n", "fc_nl_set_rule",
		       306, cmd->num, n);
		return;
	}
	for (i = 0; i < n; i++)
		qarn_set_ip_list(range[i].first, range[i].last);
	qarn_nl_reply(cmd);
}

int qarn_nl_rcv_msg(void *msg)
{
	const struct qarn_nl_cmd *cmd = msg;

	/* fixed text */
	printk("CMD: %d \n", cmd->cmd);
	spin_lock_bh(&qarn_nl_lock);
	switch (cmd->cmd) {
	case QARN_CMD_CLEAR:
		qarn_nl_clear_list(cmd);
		break;
	case QARN_CMD_ADD:
		fc_nl_set_rule(cmd);
		break;
	default:
		break;
	}
	spin_unlock_bh(&qarn_nl_lock);
	return 0;
}

int qarn_list_get_ip(u32 addr)
{
	struct qarn_ip_entry *e;
	int ret = -1;

	if (!ip_hash_item) {
		/* fixed text */
		printk("ip_hash_item is NULL\n");
		return -1;
	}
	spin_lock_bh(&qarn_ip_lock);
	list_for_each_entry(e, &ip_hash_item[qarn_list_hash(addr)], list) {
		if (e->addr == addr) {
			ret = 0;
			break;
		}
	}
	spin_unlock_bh(&qarn_ip_lock);
	return ret;
}

int qarn_nl_init(void)
{
	spin_lock_init(&qarn_nl_lock);
	spin_lock_init(&qarn_ip_lock);
	qarn_list_hash_init();
	virtual_netlink_regist(QARN_NL_TYPE, qarn_nl_rcv_msg);
	return 0;
}

void qarn_nl_exit(void)
{
	virtual_netlink_unregist(QARN_NL_TYPE);
	if (!ip_hash_item)
		return;
	qarn_list_empty();
	free_pages((unsigned long)ip_hash_item, get_order(QARN_LIST_BYTES));
	ip_hash_item = NULL;
}
