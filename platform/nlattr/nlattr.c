/*
 * Netlink message building over a bounded buffer; see nlattr.h.
 */
#include "nlattr.h"

#include <stdint.h>
#include <string.h>

#define ALIGN4(n) (((n) + 3u) & ~(size_t)3u)
#define HDR_LEN ((size_t)NLMSG_HDRLEN)
#define ATTR_HDR_LEN ((size_t)NLA_HDRLEN)

/* The offset at which the next piece goes, or 0 when the header is not sound for cap:
 * a length field below the header size or beyond the buffer. Pieces start 4-aligned. */
static size_t message_end(const struct nlmsghdr *hdr, size_t cap)
{
	size_t len;

	if (hdr == NULL)
		return 0;
	len = hdr->nlmsg_len;
	if (len < HDR_LEN || len > cap)
		return 0;
	if (ALIGN4(len) > cap)
		return 0;
	return ALIGN4(len);
}

/* Reserves n bytes (already a multiple of 4) at the end of the message, zeroed, and grows the
 * length field; NULL when they do not fit. */
static unsigned char *reserve(struct nlmsghdr *hdr, size_t cap, size_t n)
{
	size_t end = message_end(hdr, cap);
	unsigned char *at;

	if (end == 0 || n > cap - end || end + n > UINT32_MAX)
		return NULL;
	at = (unsigned char *)hdr + hdr->nlmsg_len;
	/* the gap up to the aligned end, when a caller left the length unaligned */
	memset(at, 0, end + n - hdr->nlmsg_len);
	hdr->nlmsg_len = (uint32_t)(end + n);
	return (unsigned char *)hdr + end;
}

struct nlmsghdr *nlmsg_put_header(void *buf, size_t cap, unsigned short type)
{
	struct nlmsghdr *hdr = (struct nlmsghdr *)buf;

	if (buf == NULL || cap < HDR_LEN)
		return NULL;
	memset(hdr, 0, HDR_LEN);
	hdr->nlmsg_len = (uint32_t)HDR_LEN;
	hdr->nlmsg_type = type;
	return hdr;
}

void *nlmsg_put_extra_header(struct nlmsghdr *hdr, size_t cap, size_t size)
{
	if (size > cap)
		return NULL;
	return reserve(hdr, cap, ALIGN4(size));
}

int nla_attr_put(struct nlmsghdr *hdr, size_t cap, unsigned short type, size_t len,
		 const void *data)
{
	struct nlattr attr;
	unsigned char *at;

	if (len > 0xFFFFu - ATTR_HDR_LEN || (data == NULL && len > 0))
		return -1;
	at = reserve(hdr, cap, ALIGN4(ATTR_HDR_LEN + len));
	if (at == NULL)
		return -1;
	attr.nla_len = (uint16_t)(ATTR_HDR_LEN + len);
	attr.nla_type = type;
	memcpy(at, &attr, sizeof(attr));
	if (len > 0)
		memcpy(at + ATTR_HDR_LEN, data, len);
	return 0;
}
