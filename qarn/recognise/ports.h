#ifndef QARN_RECOGNISE_PORTS_H
#define QARN_RECOGNISE_PORTS_H
/* Port and signature checks, and the two entry points relayk calls directly. */
#include <linux/types.h>
#include <linux/skbuff.h>

#include "recognise/flow.h"

/* 0 = recognised, -1 = not. */
int qarn_vpn_check_port(struct sk_buff *skb);
int qarn_check_lol(struct sk_buff *skb);
int qarn_check_pps(struct sk_buff *skb);
/* 0 = e-mail, 1 = not. */
int qarn_check_email(struct sk_buff *skb, struct qarn_flow *flow);
/* check_email_dispatch: 1 = TCP with an e-mail port on either side, 0 = not. */
int qarn_dispatch_check_email(struct sk_buff *skb);
/* app_dispatch_mark: always 0; may write route_mark. */
int app_policy_route_mark(struct sk_buff *skb, u32 index);

#endif
