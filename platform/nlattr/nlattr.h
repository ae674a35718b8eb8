/*
 * The router's netlink attribute helpers: build one netlink message in a caller's buffer, a
 * standard netlink header, an optional family header and attributes in the standard netlink
 * attribute layout (u16 length = 4 + data length, u16 type, the data, zero padding to 4 bytes).
 *
 * Every call is told the capacity of the buffer that holds the message and refuses what would
 * not fit, so nothing is written past the buffer. Pass the same capacity to every call on one
 * message. The header's length field always covers exactly the bytes placed so far and is
 * the number of bytes to send.
 */
#ifndef PLATFORM_NLATTR_H
#define PLATFORM_NLATTR_H

#include <stddef.h>

#include <linux/netlink.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Places a netlink header at the start of buf (cap bytes): length 16, the given message
 * type, flags, sequence number and port id 0. Returns the header (that is, buf), or NULL
 * when buf is NULL or cap cannot hold the header. */
struct nlmsghdr *nlmsg_put_header(void *buf, size_t cap, unsigned short type);

/* Appends size bytes, rounded up to a multiple of 4, of zeroed family header after what the
 * message holds and grows its length field. Returns a pointer to the family header, or NULL
 * (message unchanged) when it would not fit in cap bytes. */
void *nlmsg_put_extra_header(struct nlmsghdr *hdr, size_t cap, size_t size);

/* Appends one attribute of the given type holding len bytes of data, padded with zeros to a
 * multiple of 4, and grows the length field. Returns 0, or -1 (message unchanged) when the
 * attribute would not fit in cap bytes, when len is too large for the attribute's length
 * field, or when data is NULL with a non-zero len. */
int nla_attr_put(struct nlmsghdr *hdr, size_t cap, unsigned short type, size_t len,
                 const void *data);

#ifdef __cplusplus
}
#endif

#endif
