#ifndef QARN_RECOGNISE_HOOK_H
#define QARN_RECOGNISE_HOOK_H
/* The recognition hook that relayk calls for every packet (sys_app_recognize). */
#include <linux/types.h>
#include <linux/skbuff.h>

#include "frame/relayk_if.h"
#include "recognise/flow.h"

/*
 * Classifies the packet's connection: writes its Application mark and, on most paths, the
 * packet's prio_class. Returns 0, or -1 for a packet that reaches the per-direction stage
 * and is neither TCP nor UDP.
 */
int func_match_hook(struct sk_buff *skb);

/* The LAN-side check: FTP control port, then P2P tracking. Always 0. */
int qarn_check_lan(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow);

#endif
