/*
 * The expected passive FTP data connections (recognise/ftp.h). The table has a fixed number
 * of slots and never allocates; a reply split across packets is not put together, so a 227 or
 * 229 whose numbers the packet does not hold whole makes nothing expected.
 */
#include <linux/kernel.h>
#include <linux/in.h>
#include <linux/jiffies.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <asm/atomic.h>

#include "frame/relayk_if.h"
#include "recognise/ftp.h"

#define PORT_FTP 21

struct ftp_expect {
	u32 client; /* the LAN host, host byte order */
	u32 server;
	u32 stamp;  /* jiffies when the reply passed */
	u16 port;   /* 0: the slot is free */
};

/*
 * ftp_lock guards ftp_expects. ftp_live counts the slots in use; it changes only under the
 * lock and is read without it, so that a SYN passes over an empty table without the lock.
 */
static DEFINE_SPINLOCK(ftp_lock);
static struct ftp_expect ftp_expects[QARN_FTP_EXPECT_SLOTS];
static atomic_t ftp_live = ATOMIC_INIT(0);

void qarn_ftp_init(void)
{
	spin_lock_init(&ftp_lock);
	spin_lock_bh(&ftp_lock);
	memset(ftp_expects, 0, sizeof(ftp_expects));
	atomic_set(&ftp_live, 0);
	spin_unlock_bh(&ftp_lock);
}

static int expired(const struct ftp_expect *e, u32 now)
{
	return now - e->stamp >= QARN_FTP_EXPECT_TICKS;
}

/* Caller holds ftp_lock. */
static void drop(struct ftp_expect *e)
{
	e->port = 0;
	atomic_set(&ftp_live, atomic_read(&ftp_live) - 1);
}

static void expect(u32 client, u32 server, u16 port, u32 now)
{
	struct ftp_expect *e, *same = NULL, *idle = NULL, *oldest = &ftp_expects[0];
	unsigned int i;

	spin_lock_bh(&ftp_lock);
	for (i = 0; i < QARN_FTP_EXPECT_SLOTS; i++) {
		e = &ftp_expects[i];
		if (!e->port || expired(e, now)) {
			if (!idle)
				idle = e;
			continue;
		}
		if (e->client == client && e->server == server && e->port == port)
			same = e;
		if (now - e->stamp > now - oldest->stamp)
			oldest = e;
	}
	/* a repeated reply renews its entry; with every slot live the oldest gives way */
	e = same ? same : idle ? idle : oldest;
	if (!e->port)
		atomic_set(&ftp_live, atomic_read(&ftp_live) + 1);
	e->client = client;
	e->server = server;
	e->port = port;
	e->stamp = now;
	spin_unlock_bh(&ftp_lock);
}

int qarn_ftp_passive_data(const struct qarn_pkt *p)
{
	struct ftp_expect *e;
	u32 client, server, now;
	u16 port;
	unsigned int i;
	int found = 0;

	if (!p->tcp->syn || p->tcp->ack || !atomic_read(&ftp_live) || relayk_dir_code(p->skb))
		return 0;
	client = relayk_lan_host_addr(p->skb);
	server = ntohl(p->ip->daddr);
	port = ntohs(p->tcp->dest);
	now = (u32)jiffies;
	spin_lock_bh(&ftp_lock);
	for (i = 0; i < QARN_FTP_EXPECT_SLOTS && !found; i++) {
		e = &ftp_expects[i];
		if (!e->port)
			continue;
		if (expired(e, now)) {
			drop(e);
			continue;
		}
		if (e->client == client && e->server == server && e->port == port) {
			drop(e);
			found = 1;
		}
	}
	spin_unlock_bh(&ftp_lock);
	return found;
}

static int digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

/*
 * The decimal number of at most max_digits at t[*at], which a byte other than a digit must
 * follow inside the text (a number at the packet's end may go on in the next one); -1 when
 * there is none. *at moves past it.
 */
static int number(const unsigned char *t, unsigned int n, unsigned int *at,
		  unsigned int max_digits)
{
	unsigned int i = *at;
	int v = 0;

	while (i < n && digit(t[i]) && i - *at < max_digits)
		v = v * 10 + (t[i++] - '0');
	if (i == *at || i >= n || digit(t[i]))
		return -1;
	*at = i;
	return v;
}

/*
 * Addresses that a server behind NAT gives for itself: private, shared, loopback, link-local,
 * this network. Clients that reach it take the control connection's address instead.
 */
static int inner_addr(u32 a)
{
	return (a >> 24) == 0 || (a >> 24) == 10 || (a >> 24) == 127 ||
	       (a >> 20) == (172 << 4 | 1) || (a >> 16) == (192 << 8 | 168) ||
	       (a >> 22) == (100 << 2 | 1) || (a >> 16) == (169 << 8 | 254);
}

/*
 * The port of a 227 reply's text (after "227 "): six numbers h1,h2,h3,h4,p1,p2 from the
 * line's first digit on, as clients read it. The address must be the server's own or one it
 * gives from behind NAT: a server that names another public host would otherwise have that
 * host's connections from the client marked. -1 when there is no port.
 */
static int pasv_port(const unsigned char *t, unsigned int n, u32 server)
{
	unsigned int at = 0, i;
	int v[6];
	u32 addr;

	while (at < n && !digit(t[at])) {
		if (t[at] == '\r' || t[at] == '\n')
			return -1;
		at++;
	}
	for (i = 0; i < 6; i++) {
		if (i && (at >= n || t[at++] != ','))
			return -1;
		v[i] = number(t, n, &at, 3);
		if (v[i] < 0 || v[i] > 255)
			return -1;
	}
	addr = (u32)v[0] << 24 | (u32)v[1] << 16 | (u32)v[2] << 8 | (u32)v[3];
	if (addr != server && !inner_addr(addr))
		return -1;
	return v[4] << 8 | v[5];
}

/* The port of a 229 reply's text (after "229 "): "(" d d d port d ")", d one printable byte. */
static int epsv_port(const unsigned char *t, unsigned int n)
{
	unsigned int at = 0;
	unsigned char d;
	int port;

	while (at < n && t[at] != '(') {
		if (t[at] == '\r' || t[at] == '\n')
			return -1;
		at++;
	}
	if (n - at < 4)
		return -1;
	d = t[at + 1];
	if (d < 33 || d > 126 || digit(d) || t[at + 2] != d || t[at + 3] != d)
		return -1;
	at += 4;
	port = number(t, n, &at, 5);
	if (port < 0 || port > 65535 || n - at < 2 || t[at] != d || t[at + 1] != ')')
		return -1;
	return port;
}

void qarn_ftp_control(const struct sk_buff *skb)
{
	unsigned char window[QARN_TEXT_WINDOW];
	const unsigned char *t;
	struct qarn_pkt p;
	unsigned int n, at = 0;
	u32 server;
	int port;

	if (qarn_pkt_parse(skb, &p) || !p.tcp || ntohs(p.tcp->source) != PORT_FTP ||
	    p.data_len < 4)
		return;
	n = p.data_len;
	t = qarn_pkt_text(&p, &n, window, sizeof(window));
	if (!t)
		return;
	server = ntohl(p.ip->saddr);
	/* each line of the packet: a reply may follow others that the server sent with it */
	while (n - at >= 4) {
		if (t[at] == '2' && t[at + 1] == '2' && t[at + 3] == ' ' &&
		    (t[at + 2] == '7' || t[at + 2] == '9')) {
			port = t[at + 2] == '7' ? pasv_port(t + at + 4, n - at - 4, server)
						: epsv_port(t + at + 4, n - at - 4);
			if (port > 0)
				expect(relayk_lan_host_addr(skb), server, (u16)port, (u32)jiffies);
			return;
		}
		while (at < n && t[at] != '\n')
			at++;
		at++;
		if (at > n)
			return;
	}
}
