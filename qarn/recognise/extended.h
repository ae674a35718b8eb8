#ifndef QARN_RECOGNISE_EXTENDED_H
#define QARN_RECOGNISE_EXTENDED_H
/*
 * Checks beyond the fixed rules, run only while the parameter qarn_extended is 1: traffic
 * that the fixed rules cannot see (UDP VPNs, TLS and QUIC, SSH, NTP, DNS over TCP, FTP data,
 * BitTorrent) and the evidence that keeps two heuristics from mis-marking (framed messages,
 * game flows). Each reads only what the packet holds, through recognise/pkt.h, and allocates
 * nothing.
 */
#include <linux/types.h>

#include "frame/relayk_if.h"
#include "recognise/apps.h"
#include "recognise/pkt.h"

/*
 * The application a packet of an unsettled connection shows, or QARN_APP_COUNT. acct is the
 * connection's accounting area (the OpenVPN reset counts only as its first packet).
 */
enum qarn_app qarn_ext_recognise(const struct qarn_pkt *p, const struct relayk_acct *acct);

/* 1 when a framed message's first two bytes hold its length (TCP) or its header is whole. */
int qarn_ext_framed_evidence(const struct qarn_pkt *p);

/*
 * 1 when both directions carry small packets on average (check_game_pkt_avg_len bytes at
 * most) and neither has more than four times the other's packets, as a game session does.
 */
int qarn_ext_game_shape(const struct relayk_acct *acct);

/* 1 when the server name ends in a video service's domain (case ignored). */
int qarn_ext_video_name(const unsigned char *name, unsigned int len);

#endif
