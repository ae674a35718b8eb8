/*
 * relayk's hook pointers and its virtual netlink service.
 */
#include <stdlib.h>

#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/string.h>

#include "frame/relayk_if.h"
#include "relayk/relayk.h"
#include "relayk_int.h"

int (*sys_app_recognize)(struct sk_buff *skb);
int (*app_dispatch_mark)(struct sk_buff *skb, u32 index);
int (*check_email_dispatch)(struct sk_buff *skb);
int (*check_p2p_dispatch)(struct sk_buff *skb);

/*
 * hook_lock: read-held around every call through a hook pointer, write-held to store one,
 * so that storing NULL waits for the calls in flight.
 */
static DEFINE_RWLOCK(hook_lock);

#define STORE_HOOK(ptr, fn) do { \
	write_lock_bh(&hook_lock); \
	__atomic_store_n(&(ptr), (fn), __ATOMIC_RELAXED); \
	write_unlock_bh(&hook_lock); \
} while (0)

void relayk_set_sys_app_recognize(int (*fn)(struct sk_buff *skb))
{
	STORE_HOOK(sys_app_recognize, fn);
}

void relayk_set_app_dispatch_mark(int (*fn)(struct sk_buff *skb, u32 index))
{
	STORE_HOOK(app_dispatch_mark, fn);
}

void relayk_set_check_email_dispatch(int (*fn)(struct sk_buff *skb))
{
	STORE_HOOK(check_email_dispatch, fn);
}

void relayk_set_check_p2p_dispatch(int (*fn)(struct sk_buff *skb))
{
	STORE_HOOK(check_p2p_dispatch, fn);
}

unsigned relayk_hooks_set(void)
{
	unsigned set = 0;

	read_lock_bh(&hook_lock);
	set |= sys_app_recognize ? 1u : 0u;
	set |= app_dispatch_mark ? 2u : 0u;
	set |= check_email_dispatch ? 4u : 0u;
	set |= check_p2p_dispatch ? 8u : 0u;
	read_unlock_bh(&hook_lock);
	return set;
}

void relayk_call_hooks(struct sk_buff *skb, const struct relayk_in_opts *opts,
		       struct relayk_result *res)
{
	read_lock_bh(&hook_lock);
	res->email_port = check_email_dispatch && !opts->no_queries ? check_email_dispatch(skb) : -1;
	res->p2p_peer = check_p2p_dispatch && !opts->no_queries ? check_p2p_dispatch(skb) : -1;
	res->called = sys_app_recognize != NULL;
	res->ret = sys_app_recognize ? sys_app_recognize(skb) : 0;
	if (opts->route_index && app_dispatch_mark)
		app_dispatch_mark(skb, opts->route_index);
	read_unlock_bh(&hook_lock);
}

/*
 * Virtual netlink. nl_lock: read-held while a receiver runs, write-held to change the
 * receiver table. reply_lock guards the reply queue.
 */
#define NL_TYPES 256
#define NL_HEADER 32
#define NL_MAX_QUEUED 4096

static DEFINE_RWLOCK(nl_lock);
static relayk_nl_receiver receivers[NL_TYPES];

struct nl_reply {
	struct nl_reply *next;
	u32 pid;
	unsigned len;
	unsigned char data[];
};

static DEFINE_SPINLOCK(reply_lock);
static struct nl_reply *reply_head, *reply_tail;
static unsigned reply_count;

int virtual_netlink_regist(int type, relayk_nl_receiver rcv)
{
	if (type < 0 || type >= NL_TYPES)
		return -1;
	write_lock_bh(&nl_lock);
	receivers[type] = rcv;
	write_unlock_bh(&nl_lock);
	return 0;
}

int virtual_netlink_unregist(int type)
{
	if (type < 0 || type >= NL_TYPES)
		return -1;
	write_lock_bh(&nl_lock);
	receivers[type] = NULL;
	write_unlock_bh(&nl_lock);
	return 0;
}

int relayk_netlink_registered(int type)
{
	int yes;

	if (type < 0 || type >= NL_TYPES)
		return 0;
	read_lock_bh(&nl_lock);
	yes = receivers[type] != NULL;
	read_unlock_bh(&nl_lock);
	return yes;
}

int virtual_netlink_send(u32 pid, void *buf, int len, int size)
{
	struct nl_reply *r;

	(void)size;
	if (len < 0 || (len > 0 && !buf))
		return -1;
	r = malloc(sizeof(*r) + (unsigned)len);
	if (!r)
		return -1;
	r->next = NULL;
	r->pid = pid;
	r->len = (unsigned)len;
	memcpy(r->data, buf, (unsigned)len);
	spin_lock_bh(&reply_lock);
	if (reply_count >= NL_MAX_QUEUED) {
		spin_unlock_bh(&reply_lock);
		free(r);
		return -1;
	}
	if (reply_tail)
		reply_tail->next = r;
	else
		reply_head = r;
	reply_tail = r;
	reply_count++;
	spin_unlock_bh(&reply_lock);
	return len;
}

int relayk_netlink_take_reply(unsigned *pid, void *buf, unsigned cap)
{
	struct nl_reply *r;
	int len;

	spin_lock_bh(&reply_lock);
	r = reply_head;
	if (r) {
		reply_head = r->next;
		if (!reply_head)
			reply_tail = NULL;
		reply_count--;
	}
	spin_unlock_bh(&reply_lock);
	if (!r)
		return -1;
	if (pid)
		*pid = r->pid;
	if (buf && cap)
		memcpy(buf, r->data, r->len < cap ? r->len : cap);
	len = (int)r->len;
	free(r);
	return len;
}

void relayk_netlink_reset(void)
{
	unsigned pid;
	unsigned char scratch[1];

	while (relayk_netlink_take_reply(&pid, scratch, 0) >= 0)
		;
}

int relayk_netlink_deliver(int type, const void *msg, unsigned len)
{
	u32 declared;
	void *copy;
	int ret = -1;

	if (type < 0 || type >= NL_TYPES || len < NL_HEADER || !msg)
		return -1;
	memcpy(&declared, (const unsigned char *)msg + 8, sizeof(declared));
	if (declared > len)
		return -1;
	/* The receiver gets its own copy, exactly as long as the message. */
	copy = malloc(len);
	if (!copy)
		return -1;
	memcpy(copy, msg, len);
	read_lock_bh(&nl_lock);
	if (receivers[type])
		ret = receivers[type](copy);
	read_unlock_bh(&nl_lock);
	free(copy);
	return ret;
}
