/* Placeholder until the classifier lands: recognises nothing. */
#include "recognise/http.h"

int qarn_check_wan(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow,
		   struct iphdr *iph)
{
	(void)skb;
	(void)ct;
	(void)flow;
	(void)iph;
	return -1;
}

int pattern_match(const unsigned char *text, int text_len, const unsigned char *pattern,
		  int pattern_len, unsigned char stop, int *offset, int *length)
{
	(void)text;
	(void)text_len;
	(void)pattern;
	(void)pattern_len;
	(void)stop;
	(void)offset;
	(void)length;
	return 0;
}

const unsigned char *pre_bmbc(const unsigned char *pattern, int pattern_len, s32 *table)
{
	(void)pattern_len;
	(void)table;
	return pattern;
}
