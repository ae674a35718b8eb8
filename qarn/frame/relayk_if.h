#ifndef QARN_FRAME_RELAYK_IF_H
#define QARN_FRAME_RELAYK_IF_H
/*
 * Everything qarn uses of relayk: the four hook pointers, the virtual netlink service, and
 * the fields that relayk adds to the packet and to the connection record. The module reads
 * and writes those fields only through the accessors below, so no other file of qarn knows
 * how relayk lays out its records; relayk implements them (a kernel build maps them onto the
 * router kernel's records here).
 */
#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/skbuff.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The connection record (the kernel's connection tracking entry) and its accounting area. */
struct nf_conn;
struct relayk_acct;

/* Directions of the accounting area: the forward block comes first, then the reply block. */
enum { RELAYK_DIR_FORWARD = 0, RELAYK_DIR_REPLY = 1 };

/* Hook pointers, called by relayk only while non-null. */
extern int (*sys_app_recognize)(struct sk_buff *skb);
extern int (*app_dispatch_mark)(struct sk_buff *skb, u32 index);
extern int (*check_email_dispatch)(struct sk_buff *skb);
extern int (*check_p2p_dispatch)(struct sk_buff *skb);

/*
 * Storing a hook. Storing NULL returns only when no call through that pointer is still
 * running on another processor, so the caller may free what the hook used right after.
 */
void relayk_set_sys_app_recognize(int (*fn)(struct sk_buff *skb));
void relayk_set_app_dispatch_mark(int (*fn)(struct sk_buff *skb, u32 index));
void relayk_set_check_email_dispatch(int (*fn)(struct sk_buff *skb));
void relayk_set_check_p2p_dispatch(int (*fn)(struct sk_buff *skb));

/*
 * Virtual netlink. The receiver is called with each message of its type; after unregist
 * returns it is not called again. send copies the message before it returns.
 */
typedef int (*relayk_nl_receiver)(void *msg);
int virtual_netlink_regist(int type, relayk_nl_receiver rcv);
int virtual_netlink_send(u32 pid, void *buf, int len, int size);
int virtual_netlink_unregist(int type);

/*
 * Packet bytes offset..offset+len-1, counted from the IPv4 header (the packet's data at every
 * hook): a pointer into the packet where they lie in its linear part, else a copy in buf
 * (len bytes), as the kernel's skb_header_pointer makes it. NULL when the packet holds fewer
 * bytes, or when buf is NULL and the bytes are not all in the linear part. Every read of
 * packet bytes goes through here: part of a packet may lie outside its linear area.
 */
static inline const unsigned char *relayk_skb_bytes(const struct sk_buff *skb,
						    unsigned int offset, unsigned int len,
						    void *buf)
{
	if (offset > skb->len || len > skb->len - offset)
		return NULL;
	if (len <= skb_headlen(skb) && offset <= skb_headlen(skb) - len)
		return skb->data + offset;
	if (!buf)
		return NULL;
	return (const unsigned char *)skb_header_pointer(skb, (int)offset, (int)len, buf);
}

/* The packet's relayk fields. */
u32 relayk_dir_code(const struct sk_buff *skb);
u32 relayk_lan_host_addr(const struct sk_buff *skb);
u32 relayk_prio_class(const struct sk_buff *skb);
void relayk_set_prio_class(struct sk_buff *skb, u32 prio_class);
u32 relayk_route_mark(const struct sk_buff *skb);
void relayk_set_route_mark(struct sk_buff *skb, u32 route_mark);
struct nf_conn *relayk_conn(const struct sk_buff *skb);

/* The connection record's fields. The forward destination port is in network byte order. */
__be16 relayk_ct_fwd_dport(const struct nf_conn *ct);
u8 relayk_ct_protocol(const struct nf_conn *ct);
u32 relayk_ct_app_mark(const struct nf_conn *ct);
void relayk_set_ct_app_mark(struct nf_conn *ct, u32 mark);
u32 relayk_ct_rate_base(const struct nf_conn *ct);
void relayk_set_ct_rate_base(struct nf_conn *ct, u32 value);
u32 relayk_ct_rate_stamp(const struct nf_conn *ct);
void relayk_set_ct_rate_stamp(struct nf_conn *ct, u32 value);
u32 relayk_ct_recheck_stamp(const struct nf_conn *ct);
void relayk_set_ct_recheck_stamp(struct nf_conn *ct, u32 value);
u32 relayk_ct_p2p_state(const struct nf_conn *ct);
void relayk_set_ct_p2p_state(struct nf_conn *ct, u32 value);
u32 relayk_ct_p2p_count(const struct nf_conn *ct);
void relayk_set_ct_p2p_count(struct nf_conn *ct, u32 value);

/*
 * The accounting area: found through the extension block, whose byte 10 holds its offset.
 * NULL when the connection has no extension block or that offset is 0.
 */
struct relayk_acct *relayk_ct_acct(const struct nf_conn *ct);
u64 relayk_acct_packets(const struct relayk_acct *acct, int dir);
u64 relayk_acct_bytes(const struct relayk_acct *acct, int dir);
/* Low 32 bits of the reply block's fourth counter. */
u32 relayk_acct_reply_aux(const struct relayk_acct *acct);

#ifdef __cplusplus
}
#endif

#endif
