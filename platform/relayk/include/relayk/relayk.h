#ifndef RELAYK_RELAYK_H
#define RELAYK_RELAYK_H
/*
 * relayk in user space, as the replay tool and tests drive it: a connection tracker with
 * accounting, the packet path that calls the hooks, the tick driver and the virtual netlink
 * service's user-space end. Plain C types only; the module's side is frame/relayk_if.h.
 * All functions may be called from several threads at once, except relayk_reset.
 */
#ifdef __cplusplus
extern "C" {
#endif

/* Forget every connection and LAN network, queued replies and the clock's base; set the
 * tick rate (0: 100) and jiffies to 300 seconds before wrap-around. No hook may be running. */
void relayk_reset(unsigned hz);

/* LAN networks for dir_code (addresses in host byte order). With none added the LAN is
 * 192.168.0.0/16 and 10.0.0.0/8. */
void relayk_add_lan(unsigned net, unsigned prefix_len);

/* Moves jiffies to follow a capture timestamp (microseconds); the first call only sets the
 * base. Time never runs backwards; timers that fall due run on the way. */
void relayk_clock_follow(unsigned long long ts_usec);

struct relayk_in_opts {
	int no_conn;            /* hand the hook a packet without a connection record */
	int set_dir_code;       /* use dir_code below instead of the LAN networks' answer */
	unsigned dir_code;
	unsigned route_index;   /* non-zero: also call app_dispatch_mark with this index */
	unsigned linear;        /* 1 to len-1: only the first `linear` bytes are the packet's
				   linear part, the rest lies in its paged part */
	int in_place;           /* hand the module ip itself rather than copies exactly as long
				   as the packet's parts: ip must not change during the call, and
				   reads past them are then not caught under AddressSanitizer */
	int no_queries;         /* do not ask check_email_dispatch and check_p2p_dispatch, as a
				   relayk that needs neither answer (email_port and p2p_peer
				   stay -1); both only read, so the marks are the same */
};

struct relayk_result {
	int called;             /* sys_app_recognize was set and called */
	int ret;                /* its result */
	unsigned prio_class;    /* 0: the hook did not write it */
	unsigned mark;          /* the connection's Application mark after the hook */
	unsigned dir_code;
	unsigned conn;          /* connection number, 1 for the first seen; 0 for none */
	int reply;              /* the packet went in the reply direction */
	int email_port;         /* check_email_dispatch's answer, -1 when not set */
	int p2p_peer;           /* check_p2p_dispatch's answer, -1 when not set */
	unsigned route_mark;
};

/*
 * Runs one IPv4 packet (len bytes from its IPv4 header on) through the packet path: the
 * tracker finds or creates its connection, updates that direction's counters, sets
 * prio_class to 0 and calls the hooks. Packets of one connection reach the hooks one at a
 * time. Returns 0, or -1 for a buffer that holds no IPv4 header.
 */
int relayk_packet_in(const unsigned char *ip, unsigned len, const struct relayk_in_opts *opts,
		     struct relayk_result *res);

/* Connections, numbered from 1 in the order first seen. */
unsigned relayk_conn_count(void);

enum relayk_field {
	RELAYK_MARK,
	RELAYK_RATE_BASE,
	RELAYK_RATE_STAMP,
	RELAYK_RECHECK_STAMP,
	RELAYK_P2P_STATE,
	RELAYK_P2P_COUNT,
	RELAYK_FWD_PACKETS,
	RELAYK_FWD_BYTES,
	RELAYK_REPLY_PACKETS,
	RELAYK_REPLY_BYTES,
	RELAYK_REPLY_AUX,
	RELAYK_ACCT_OFFSET,     /* byte 10 of the extension block; 0: no accounting */
	RELAYK_HAS_EXT,         /* 0 after setting it to 0: the record has no extension block */
	RELAYK_PROTO,           /* read only from here on */
	RELAYK_FWD_SADDR,
	RELAYK_FWD_DADDR,
	RELAYK_FWD_SPORT,
	RELAYK_FWD_DPORT
};
/* Reads or writes a field of connection `conn`; -1 / ~0 for an unknown connection. */
unsigned long long relayk_conn_get(unsigned conn, enum relayk_field field);
int relayk_conn_set(unsigned conn, enum relayk_field field, unsigned long long value);

/* Delivers a message of a virtual netlink type to its receiver, as a user-space sender's
 * message arrives. Returns the receiver's result, or -1 when no receiver is registered or
 * the message is shorter than 32 bytes or than the length its header (offset 8) states. */
int relayk_netlink_deliver(int type, const void *msg, unsigned len);
/* Takes the oldest reply that the module sent: copies at most cap bytes, sets *pid and
 * returns the reply's length; -1 when there is none. */
int relayk_netlink_take_reply(unsigned *pid, void *buf, unsigned cap);
/* Whether a receiver is registered for the type. */
int relayk_netlink_registered(int type);

/* Whether each hook pointer is set: bit 0 sys_app_recognize, 1 app_dispatch_mark,
 * 2 check_email_dispatch, 3 check_p2p_dispatch. */
unsigned relayk_hooks_set(void);

#ifdef __cplusplus
}
#endif
#endif
