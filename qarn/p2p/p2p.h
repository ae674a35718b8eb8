#ifndef QARN_P2P_P2P_H
#define QARN_P2P_P2P_H
/* P2P detection: UDP endpoint tracking, the P2P peer list and its ageing timer. */
#include <linux/types.h>
#include <linux/skbuff.h>

#include "frame/relayk_if.h"
#include "recognise/flow.h"

/* Starts the ageing timer and stores check_p2p_conn in check_p2p_dispatch; returns 0. */
int qarn_p2p_init(void);
/* Stops the timer, clears check_p2p_dispatch and frees both tables. */
void qarn_p2p_exit(void);
/* Always 0; updates the connection's p2p_state and p2p_count and the tables. */
int qarn_check_p2p(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow);
/* check_p2p_dispatch: 1 when the source address and port are on the P2P peer list. */
int check_p2p_conn(struct sk_buff *skb);

#endif
