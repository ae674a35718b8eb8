#ifndef RELAYK_STANDIN_H
#define RELAYK_STANDIN_H
/*
 * relayk_standin: a test stand-in for relayk in a current Linux kernel. It owns no traffic
 * classes and no policy routing; it only gives qarn what relayk gives it (the hook pointers,
 * virtual netlink and the packet's and connection's relayk fields), calls the hooks from a
 * netfilter hook for every IPv4 packet, and shows the results under /proc/relayk_standin/.
 */
#include <linux/types.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/skbuff.h>
#include <net/netfilter/nf_conntrack.h>

struct rs_conn;

/*
 * relayk's fields of the packet whose hooks run on this processor, kept beside the socket
 * buffer for the length of the calls (the router's kernel has them inside it).
 */
struct rs_pkt {
	struct sk_buff *skb;
	struct nf_conn *ct;	/* NULL: the hooks see no connection record */
	struct rs_conn *conn;	/* relayk's fields of ct */
	u32 dir_code;
	u32 lan_host_addr;	/* host byte order */
	u32 prio_class;
	u32 route_mark;
};

/* The packet of this processor's running hook call, or NULL. */
struct rs_pkt *rs_pkt_current(void);

/* The packet path: the netfilter hook and the packet log (file "packets"). */
int rs_path_init(struct proc_dir_entry *dir);
void rs_path_exit(void);
/* One line: which hook pointers are set, and the packet path's counters. */
void rs_path_show(struct seq_file *m);

/*
 * relayk's fields of each connection (file "conns"). rs_conn_get finds or makes the record
 * of a connection; NULL when no memory could be had. Runs in the packet path.
 */
int rs_conn_init(struct proc_dir_entry *dir);
void rs_conn_exit(void);
struct rs_conn *rs_conn_get(struct nf_conn *ct);

/* Virtual netlink and its user-space end (file "netlink"). */
int rs_vnl_init(struct proc_dir_entry *dir);
void rs_vnl_exit(void);
/* One line: the message types that have a receiver. */
void rs_vnl_show(struct seq_file *m);

#endif
