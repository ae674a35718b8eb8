#ifndef RELAYK_INT_H
#define RELAYK_INT_H
/* Between the parts of the relayk stand-in. */
#include <linux/skbuff.h>
#include "relayk/relayk.h"

/* Calls the set hooks for one packet, recording their answers in res. */
void relayk_call_hooks(struct sk_buff *skb, const struct relayk_in_opts *opts,
		       struct relayk_result *res);
void relayk_netlink_reset(void);

#endif
