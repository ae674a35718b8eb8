/*
 * Byte layout of the messages on the Kernel channel (NETLINK protocol 21), shared by portald
 * and the admission component. Every Kernel message and Kernel event is one datagram of
 * KMSG_SIZE bytes: the 16-byte netlink header and 344 bytes of payload. Words are in the
 * host's byte order except the address, which is in network byte order.
 *
 * Plain C so that the stand-ins under platform/ can include it.
 */
#ifndef PORTALD_KERNEL_KMSG_LAYOUT_H
#define PORTALD_KERNEL_KMSG_LAYOUT_H

#define KMSG_SIZE 360         /* bytes sent and received */
#define KMSG_NL_LEN 376       /* value of the netlink length field: 16 + 360 */
#define KMSG_PAYLOAD_LEN 360  /* value of the payload's length word */

/* netlink header */
#define KMSG_OFF_NL_LEN 0     /* u32 */
#define KMSG_OFF_NL_TYPE 4    /* u16, 0 */
#define KMSG_OFF_NL_FLAGS 6   /* u16, 0 */
#define KMSG_OFF_NL_SEQ 8     /* u32, 0 */
#define KMSG_OFF_NL_PID 12    /* u32, the daemon's process id */

/* payload, as offsets from the start of the datagram */
#define KMSG_OFF_LENGTH 16    /* u32, always 360 */
#define KMSG_OFF_COMMAND 20   /* u32, command or event code */
#define KMSG_OFF_ADDR 24      /* u32, IPv4 address in network order; idle time-out for TIMEOUTS */
#define KMSG_OFF_KIND 28      /* u32, kind; total online time for TIMEOUTS */
#define KMSG_OFF_MAC 32       /* 6 bytes, first octet first */
#define KMSG_OFF_QUOTA 40     /* u32, seconds left today */
#define KMSG_OFF_RECHECK 44   /* u32, 600 for a date-limited client */

/* commands, daemon to kernel */
#define KMSG_PERMIT 0
#define KMSG_REVOKE 1
#define KMSG_HELLO 6
#define KMSG_TIMEOUTS 7
#define KMSG_MAC_REVOKE 9

/* events, kernel to daemon */
#define KEV_HOST_UP 0
#define KEV_HOST_DOWN 1
#define KEV_RECHECK 8

/* what the address fields mean */
#define KIND_MAC 0
#define KIND_EXEMPT_IP 1
#define KIND_CLIENT_IP 2

/* Whitelist messages: netlink header (message type WL_NLMSG_TYPE, written by the netlink
 * attribute helpers), a 28-byte family header, then attributes in the standard netlink
 * attribute layout (u16 length, u16 type, data, padded to 4 bytes). */
#define WL_NLMSG_TYPE 28
#define WL_FAMILY_HDR_LEN 28
#define WL_FAMILY_OFF_TYPE 0      /* u32 record type */
#define WL_FAMILY_OFF_SUBTYPE 4   /* u32 record subtype */
#define WL_FAMILY_OFF_MARK 12     /* byte, always 6 */
#define WL_FAMILY_MARK 6
#define WL_NAME_TYPE 1
#define WL_NAME_SUBTYPE 11
#define WL_ADDR_TYPE 4
#define WL_ADDR_SUBTYPE 13
#define WL_ATTR_NAME 8            /* host name in DNS wire form */
#define WL_ATTR_ADDR 1            /* 4 bytes, IPv4 address in network order */

#endif
