#ifndef QARN_RECOGNISE_HTTP_H
#define QARN_RECOGNISE_HTTP_H
/* The HTTP content classifier of WAN-side responses. */
#include <linux/types.h>
#include <linux/skbuff.h>
#include <linux/ip.h>

#include "frame/relayk_if.h"
#include "recognise/flow.h"

/* 0 when it has written the connection's mark, -1 otherwise. */
int qarn_check_wan(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow,
		   const struct iphdr *iph);

/*
 * Searches text[0..text_len) for pattern. 1: found, *offset is the index after the pattern
 * and *length the bytes from there to the first stop byte; 0: not found, the header block
 * ended first, or the text is shorter than the pattern; -1: found, but no stop byte follows.
 */
int pattern_match(const unsigned char *text, int text_len, const unsigned char *pattern,
		  int pattern_len, unsigned char stop, int *offset, int *length);

/* Fills the 256-entry bad-character table of pattern; returns pattern. */
const unsigned char *pre_bmbc(const unsigned char *pattern, int pattern_len, s32 *table);

#endif
