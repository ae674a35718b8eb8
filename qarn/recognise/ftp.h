#ifndef QARN_RECOGNISE_FTP_H
#define QARN_RECOGNISE_FTP_H
/*
 * Passive FTP data connections, recognised while qarn_extended is 1. A LAN client's control
 * connection to a server's port 21 carries the data connection's port only in the server's
 * reply to PASV or EPSV; the reply makes that connection expected, in a small table of fixed
 * size, until the client opens it or the expectation runs out.
 */
#include <linux/types.h>
#include <linux/jiffies.h>
#include <linux/skbuff.h>

#include "recognise/pkt.h"

/* Slots of the table; when all hold live expectations the oldest one gives way. */
#define QARN_FTP_EXPECT_SLOTS 32
/* Ticks an expectation lives: clients open the data connection right after the reply. */
#define QARN_FTP_EXPECT_TICKS (30 * HZ)

/* Forgets every expectation; called at load. */
void qarn_ftp_init(void);

/*
 * Reads a WAN-side packet of an FTP control connection. A reply "227 " whose
 * (h1,h2,h3,h4,p1,p2) the packet holds whole, or "229 " with (|||port|), makes a TCP
 * connection from the packet's LAN host to its source address at that port expected. A 227
 * naming another public address than the packet's source makes nothing expected.
 */
void qarn_ftp_control(const struct sk_buff *skb);

/*
 * 1 when the packet is the SYN of a LAN host's new TCP connection that a reply made expected;
 * the expectation is used up.
 */
int qarn_ftp_passive_data(const struct qarn_pkt *p);

#endif
