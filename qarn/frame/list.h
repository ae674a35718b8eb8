#ifndef QARN_FRAME_LIST_H
#define QARN_FRAME_LIST_H
/*
 * The address list: ranges of IPv4 addresses that a controller loads through virtual
 * netlink type 120, and the rule flag that makes the hook exempt their hosts.
 */
#include <linux/types.h>
#include <asm/atomic.h>

#define QARN_NL_TYPE 120

/* The rule flag (an int value): 1 while listed hosts are exempt. Set by command 16. */
extern atomic_t check_stat_rule;

/* Builds the table and registers type 120; returns 0 (a failed table is only printed). */
int qarn_nl_init(void);
/* Unregisters type 120 and frees the table. */
void qarn_nl_exit(void);
/* Handles one List command; returns 0. */
int qarn_nl_rcv_msg(void *msg);
/* 0 when the address (host byte order) is on the list, -1 when not or without a table. */
int qarn_list_get_ip(u32 addr);

#endif
