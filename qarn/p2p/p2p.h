#ifndef QARN_P2P_P2P_H
#define QARN_P2P_P2P_H
/* P2P detection: UDP endpoint tracking, the P2P peer list and its ageing timer. */
#include <linux/types.h>
#include <linux/skbuff.h>

#include "frame/relayk_if.h"
#include "recognise/flow.h"

/* p2p_state of a connection; the recognition hook maps the verdicts to marks. */
enum qarn_p2p_state {
	P2P_UNTRACKED = 0,
	P2P_COUNTING = 1,	/* counted towards a verdict */
	P2P_DNS = 3,		/* UDP to port 53 */
	P2P_BULK = 4,		/* counted to the limit with replies, or to port 5001 */
	P2P_SIGNATURE = 5,	/* endpoint sent signature lengths, no kind */
	P2P_KIND_34 = 6,	/* ... last a 34-byte payload */
	P2P_KIND_95 = 7,	/* ... last a 95-byte payload */
	P2P_KIND_3 = 8,		/* a verdict no payload length leads to */
	P2P_PORT_8000 = 9,	/* counted to the limit to port 8000: no mark */
	P2P_STREAM = 10,	/* no reply by the limit, or an endpoint of many hits */
};

/* Starts the ageing timer and stores check_p2p_conn in check_p2p_dispatch; returns 0. */
int qarn_p2p_init(void);
/* Stops the timer, clears check_p2p_dispatch and frees both tables. */
void qarn_p2p_exit(void);
/* Always 0; updates the connection's p2p_state and p2p_count and the tables. */
int qarn_check_p2p(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow);
/* check_p2p_dispatch: 1 when the source address and port are on the P2P peer list. */
int check_p2p_conn(struct sk_buff *skb);

#endif
