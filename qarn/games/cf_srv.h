#ifndef QARN_GAMES_CF_SRV_H
#define QARN_GAMES_CF_SRV_H
/* The Game server table and the game-traffic check. */
#include <linux/types.h>
#include <linux/skbuff.h>

/* Builds the table; returns 0 (a failed allocation is printed and leaves it absent). */
int cf_srv_init(void);
/* 0 when the packet is game traffic, -1 otherwise. */
int cf_check_pkt(struct sk_buff *skb);
/* Frees the table. */
void cf_srv_exit(void);

#endif
