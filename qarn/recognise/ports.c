/* Placeholders until the port and signature checks land: they recognise nothing. */
#include "recognise/ports.h"

int qarn_vpn_check_port(struct sk_buff *skb)
{
	(void)skb;
	return -1;
}

int qarn_check_lol(struct sk_buff *skb)
{
	(void)skb;
	return -1;
}

int qarn_check_pps(struct sk_buff *skb)
{
	(void)skb;
	return -1;
}

int qarn_check_email(struct sk_buff *skb, struct qarn_flow *flow)
{
	(void)skb;
	(void)flow;
	return 1;
}

int qarn_dispatch_check_email(struct sk_buff *skb)
{
	(void)skb;
	return 0;
}

int app_policy_route_mark(struct sk_buff *skb, u32 index)
{
	(void)skb;
	(void)index;
	return 0;
}
