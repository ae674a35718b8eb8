/* Placeholder until P2P detection lands: tracks nothing. */
#include "p2p/p2p.h"

int qarn_p2p_init(void)
{
	relayk_set_check_p2p_dispatch(check_p2p_conn);
	return 0;
}

void qarn_p2p_exit(void)
{
	relayk_set_check_p2p_dispatch(NULL);
}

int qarn_check_p2p(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow)
{
	(void)skb;
	(void)ct;
	(void)flow;
	return 0;
}

int check_p2p_conn(struct sk_buff *skb)
{
	(void)skb;
	return 0;
}
