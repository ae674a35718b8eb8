#ifndef _KSTUB_LINUX_SKBUFF_H
#define _KSTUB_LINUX_SKBUFF_H
/*
 * The socket buffer, with the fields of 2.6.36 that the router's modules use. Its first
 * len - data_len bytes (the linear part) start at data; the other data_len bytes, which a
 * kernel keeps in page fragments, lie in one piece at paged here (NULL when data_len is 0).
 * Where relayk keeps its per-packet fields is relayk's business (the module reaches them
 * through relayk's accessors).
 */
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/string.h>

struct sk_buff {
	struct sk_buff *next;
	struct sk_buff *prev;
	unsigned int len;
	unsigned int data_len;
	__be16 protocol;
	__u32 mark;
	unsigned char *head;
	unsigned char *data;
	unsigned char *tail;
	unsigned char *end;
	unsigned char *network_header;
	unsigned char *transport_header;
	unsigned char *paged;
	char cb[48];
};

static inline unsigned char *skb_network_header(const struct sk_buff *skb)
{
	return skb->network_header;
}

static inline unsigned char *skb_transport_header(const struct sk_buff *skb)
{
	return skb->transport_header;
}

static inline void skb_reset_network_header(struct sk_buff *skb)
{
	skb->network_header = skb->data;
}

static inline void skb_set_transport_header(struct sk_buff *skb, int offset)
{
	skb->transport_header = skb->data + offset;
}

static inline unsigned int skb_headlen(const struct sk_buff *skb)
{
	return skb->len - skb->data_len;
}

/*
 * Bytes offset..offset+len-1 of the packet data: a pointer into the linear part where they
 * lie there, else copied into buffer; NULL when the packet is shorter.
 */
static inline void *skb_header_pointer(const struct sk_buff *skb, int offset, int len,
				       void *buffer)
{
	unsigned int off = (unsigned int)offset, n = (unsigned int)len, head = skb_headlen(skb);
	unsigned int from_head;

	if (offset < 0 || len < 0 || off > skb->len || n > skb->len - off)
		return NULL;
	if (off <= head && n <= head - off)
		return skb->data + off;
	from_head = off < head ? head - off : 0;
	if (from_head)
		memcpy(buffer, skb->data + off, from_head);
	memcpy((unsigned char *)buffer + from_head, skb->paged + (off + from_head - head),
	       n - from_head);
	return buffer;
}

#endif
