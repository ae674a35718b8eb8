/*
 * The recognition hook: reads the connection's Application mark, runs the checks in their
 * fixed order and writes the mark and the packet's priority class.
 *
 * The hook keeps no state of its own; everything lives in the mark and the connection's
 * fields, which relayk hands over together with the packet, and in the tables of the other
 * files, each under its own lock (with qarn_extended, the expected FTP data connections of
 * recognise/ftp.h). It takes no lock of its own and allocates nothing. Payload is read only
 * through the bounded reader of recognise/pkt.h: a check that needs bytes the packet does not
 * hold does not recognise it, while the checks that need only its headers still do.
 */
#include <linux/kernel.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/jiffies.h>
#include <linux/string.h>

#include "frame/list.h"
#include "frame/params.h"
#include "frame/relayk_if.h"
#include "games/cf_srv.h"
#include "p2p/p2p.h"
#include "recognise/hook.h"
#include "recognise/apps.h"
#include "recognise/extended.h"
#include "recognise/ftp.h"
#include "recognise/http.h"
#include "recognise/mark.h"
#include "recognise/pkt.h"
#include "recognise/ports.h"

#define QARN_FACEMEETING_LEN 16

/* The conference service's signature; no terminating zero. */
static const unsigned char facemeeting[QARN_FACEMEETING_LEN] = {
	'f', 'a', 'c', 'e', 'm', 'e', 'e', 't', 'i', 'n', 'g', 'v', '2', '.', '1', '#'
};

#define QARN_RECHECK_TICKS 100
#define QARN_RATE_TICKS 300

/* Writes prio_class from the current mark's prio_group. */
static int qarn_finish(struct sk_buff *skb, const struct nf_conn *ct)
{
	relayk_set_prio_class(skb, qarn_prio_of_group(QARN_PRIO_GROUP(relayk_ct_app_mark(ct))));
	return 0;
}

/*
 * The periodic re-check of a settled connection. Returns 1 when the connection goes back to
 * full classification, 0 when the hook is done with the packet (without writing
 * prio_class). With qarn_extended, a server's packet on an FTP control connection is read
 * for a passive-mode reply on the way out.
 */
static int qarn_recheck(struct sk_buff *skb, struct nf_conn *ct, const struct relayk_acct *acct,
			u32 now, u32 dir_code)
{
	u32 mark = relayk_ct_app_mark(ct);
	u64 reply = relayk_acct_packets(acct, RELAYK_DIR_REPLY);

	if ((s32)(relayk_ct_recheck_stamp(ct) - now + QARN_RECHECK_TICKS) < 0) {
		u32 app_class = QARN_APP_CLASS(mark);

		if (app_class == QARN_CLASS_P2P || app_class == QARN_CLASS_BULK) {
			/* averages over the low words, so a zero low word is no count to divide by */
			u32 fwd_pkts = (u32)relayk_acct_packets(acct, RELAYK_DIR_FORWARD);
			u32 rep_pkts = (u32)reply;

			if (fwd_pkts && rep_pkts) {
				u32 a = (u32)relayk_acct_bytes(acct, RELAYK_DIR_FORWARD) / fwd_pkts;
				u32 b = (u32)relayk_acct_bytes(acct, RELAYK_DIR_REPLY) / rep_pkts;

				if ((u64)a > 2 * (u64)b)
					mark = qarn_mark_app(mark, QARN_APP_UPLOAD);
			}
		} else if (app_class == QARN_CLASS_WEB) {
			if ((QARN_APP_ID(mark) == qarn_apps[QARN_APP_WEB_PAGE].id && reply > 500) ||
			    (QARN_APP_ID(mark) == QARN_WEB_ID_PENDING && reply > 20))
				mark = qarn_mark_app(mark, QARN_APP_WEB_DOWNLOAD);
		}
		relayk_set_ct_app_mark(ct, mark);
		relayk_set_ct_recheck_stamp(ct, now);
	}
	if (QARN_APP_CLASS(mark) != QARN_CLASS_WEB)
		return 0;
	if (QARN_APP_ID(mark) == QARN_WEB_ID_PENDING)
		return reply <= 19;
	/* the one compare that other class-4 connections pay */
	if (unlikely(QARN_APP_ID(mark) == QARN_WEB_ID_FTP) && qarn_extended && dir_code &&
	    qarn_mark_is(mark, QARN_APP_FTP))
		qarn_ftp_control(skb);
	return 0;
}

/* Whether the payload holds n bytes and begins with the conference signature. */
static int qarn_facemeeting_at_start(const struct qarn_pkt *p, unsigned int n)
{
	unsigned char buf[QARN_FACEMEETING_LEN];
	const unsigned char *b;

	if (n < QARN_FACEMEETING_LEN)
		return 0;
	b = qarn_pkt_bytes(p, 0, QARN_FACEMEETING_LEN, buf);
	return b && memcmp(b, facemeeting, QARN_FACEMEETING_LEN) == 0;
}

static int qarn_check_facemeeting(const struct qarn_pkt *p)
{
	if (!p->ip || p->tot_len <= p->ihl)
		return -1;
	if (p->tcp) {
		if (!qarn_facemeeting_at_start(p, p->data_len))
			return -1;
		if (qarn_debug & QARN_DEBUG_FACEMEETING)
			/* fixed text */
			printk("%s,%d,checked %s, ct is %s\n", "qarn_check_facemeeting", 1172,
			       "facemeetingv2.1#", "TCP");
		return 0;
	}
	if (p->udp) {
		if (!qarn_facemeeting_at_start(p, p->payload_len))
			return -1;
		if (qarn_debug & QARN_DEBUG_FACEMEETING)
			/* fixed text */
			printk("%s,%d,checked %s, ct is %s\n", "qarn_check_facemeeting", 1185,
			       "facemeetingv2.1#", "UDP");
		return 0;
	}
	return -1;
}

/*
 * A message framed by 0x02 ... 0x03 on the ports of a known messaging service. The payload's
 * length is the IP total length's; its last byte must be held.
 */
static int qarn_check_framed(const struct qarn_pkt *p)
{
	const unsigned char *first, *last;
	unsigned char first_copy, last_copy;
	unsigned int at;
	u16 sport, dport;

	if (!p->ip || p->tot_len <= p->ihl || p->data_len <= 3)
		return -1;
	if (p->udp) {
		sport = ntohs(p->udp->source);
		dport = ntohs(p->udp->dest);
		if (sport != 8000 && dport != 8000)
			return -1;
		at = 0;
	} else if (p->tcp) {
		sport = ntohs(p->tcp->source);
		dport = ntohs(p->tcp->dest);
		if (sport != 80 && dport != 80 && sport != 443 && dport != 443)
			return -1;
		at = 2;
	} else {
		return -1;
	}
	first = qarn_pkt_bytes(p, at, 1, &first_copy);
	last = qarn_pkt_bytes(p, p->data_len - 1, 1, &last_copy);
	return first && last && *first == 0x02 && *last == 0x03 ? 0 : -1;
}

/* The reply-rate check; 0 when it has replaced the mark. */
static int qarn_check_reply_rate(struct nf_conn *ct, const struct relayk_acct *acct, u32 now)
{
	u64 reply = relayk_acct_packets(acct, RELAYK_DIR_REPLY);
	u32 rise;

	if (reply < (u64)(s64)check_pkt_st_num)
		return -1;
	if (relayk_acct_packets(acct, RELAYK_DIR_FORWARD) == 0 || reply == 0) {
		relayk_set_ct_rate_stamp(ct, now);
		relayk_set_ct_rate_base(ct, relayk_acct_reply_aux(acct));
	}
	if ((u32)(now - relayk_ct_rate_stamp(ct)) < QARN_RATE_TICKS)
		return -1;
	relayk_set_ct_rate_stamp(ct, now);
	rise = relayk_acct_reply_aux(acct) - relayk_ct_rate_base(ct);
	if (rise / 3 <= (u32)check_pkt)
		return -1;
	relayk_set_ct_app_mark(ct, qarn_mark_word(QARN_APP_REPLY_RATE));
	return 0;
}

int qarn_check_lan(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow)
{
	u32 mark = relayk_ct_app_mark(ct);

	enum qarn_app app;

	if (flow->dport == 21) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(mark, QARN_APP_FTP));
		return 0;
	}
	qarn_check_p2p(skb, ct, flow);
	switch ((enum qarn_p2p_state)relayk_ct_p2p_state(ct)) {
	case P2P_DNS: app = QARN_APP_DNS; break;
	case P2P_BULK: app = QARN_APP_P2P_BULK; break;
	case P2P_SIGNATURE: app = QARN_APP_P2P_SIGNATURE; break;
	case P2P_KIND_34: app = QARN_APP_P2P_KIND_34; break;
	case P2P_KIND_95: app = QARN_APP_P2P_KIND_95; break;
	case P2P_KIND_3: app = QARN_APP_P2P_KIND_3; break;
	case P2P_STREAM: app = QARN_APP_P2P_STREAM; break;
	case P2P_PORT_8000:
		/* a verdict that sets no mark on purpose: the connection keeps what it has */
		return 0;
	case P2P_UNTRACKED:
	case P2P_COUNTING:
	default:
		return 0;
	}
	/* a counted flow of small packets both ways is a game session, not P2P */
	if (qarn_extended && (app == QARN_APP_P2P_BULK || app == QARN_APP_P2P_STREAM) &&
	    flow->acct && qarn_ext_game_shape(flow->acct))
		app = QARN_APP_GAME_FLOW;
	relayk_set_ct_app_mark(ct, qarn_mark_app(mark, app));
	return 0;
}

int func_match_hook(struct sk_buff *skb)
{
	struct nf_conn *ct;
	struct relayk_acct *acct;
	const struct iphdr *iph;
	struct iphdr iph_copy;
	struct qarn_pkt pkt;
	struct qarn_flow flow;
	u32 mark, now, dir_code;
	u64 reply;
	int parsed;

	if (!skb || skb->len < sizeof(struct iphdr))
		return 0;
	ct = relayk_conn(skb);
	if (!ct)
		return 0;
	acct = relayk_ct_acct(ct);
	if (!acct)
		return 0;
	iph = (const struct iphdr *)relayk_skb_bytes(skb, 0, sizeof(*iph), &iph_copy);
	if (!iph)
		return 0;
	mark = relayk_ct_app_mark(ct);
	now = (u32)jiffies;
	dir_code = relayk_dir_code(skb);

	if (mark && QARN_APP_CLASS(mark) == QARN_CLASS_OUTSIDE)
		return qarn_finish(skb, ct);
	if (dir_code - 100 <= 3) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(mark, QARN_APP_OUTSIDE));
		return qarn_finish(skb, ct);
	}
	if (mark && QARN_APP_CLASS(mark) != QARN_CLASS_UNSETTLED &&
	    !qarn_recheck(skb, ct, acct, now, dir_code))
		return 0;

	/* full classification */
	if (atomic_read(&check_stat_rule) == 1 &&
	    qarn_list_get_ip(dir_code ? ntohl(iph->daddr) : relayk_lan_host_addr(skb)) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct), QARN_APP_EXEMPT));
		return 0;
	}
	if (qarn_vpn_check_port(skb) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct), QARN_APP_VPN));
		return qarn_finish(skb, ct);
	}
	parsed = qarn_pkt_parse(skb, &pkt) == 0;
	if (parsed && qarn_check_facemeeting(&pkt) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct),
							 QARN_APP_CONFERENCE));
		return qarn_finish(skb, ct);
	}
	if (qarn_check_lol(skb) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct),
							 QARN_APP_GAME_UDP));
		return qarn_finish(skb, ct);
	}
	if (cf_check_pkt(skb) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct),
							 QARN_APP_GAME_SERVER));
		return qarn_finish(skb, ct);
	}
	if (qarn_check_pps(skb) == 0) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct),
							 QARN_APP_VIDEO_SERVICE));
		return qarn_finish(skb, ct);
	}

	if (qarn_extended && parsed) {
		enum qarn_app app = qarn_ext_recognise(&pkt, acct);

		if (app != QARN_APP_COUNT) {
			relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct), app));
			return qarn_finish(skb, ct);
		}
	}

	/* the first packets of a web connection go first */
	reply = relayk_acct_packets(acct, RELAYK_DIR_REPLY);
	if (relayk_ct_protocol(ct) == IPPROTO_TCP &&
	    (ntohs(relayk_ct_fwd_dport(ct)) == 80 || ntohs(relayk_ct_fwd_dport(ct)) == 8080) &&
	    relayk_acct_packets(acct, RELAYK_DIR_FORWARD) + reply <= (u64)(s64)high_prio_per_ct) {
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct),
							 QARN_APP_WEB_FIRST));
		return qarn_finish(skb, ct);
	}

	if (qarn_check_reply_rate(ct, acct, now) == 0) {
		relayk_set_prio_class(skb, 5);
		return 0;
	}
	if (parsed && qarn_check_framed(&pkt) == 0 &&
	    (!qarn_extended || qarn_ext_framed_evidence(&pkt))) {
		relayk_set_ct_app_mark(ct, qarn_mark_word(QARN_APP_FRAMED));
		relayk_set_prio_class(skb, 6);
		return 0;
	}

	/* per-direction stage */
	if (iph->protocol != IPPROTO_TCP && iph->protocol != IPPROTO_UDP)
		return -1;
	if (!parsed)
		return qarn_finish(skb, ct);
	qarn_flow_fill(&flow, &pkt, acct);
	mark = relayk_ct_app_mark(ct);
	if (dir_code) {
		if (QARN_APP_CLASS(mark) == QARN_CLASS_UNSETTLED && (pkt.udp || reply > 1))
			relayk_set_ct_app_mark(ct, 0);
		if (qarn_check_wan(skb, ct, &flow, iph) == 0)
			return qarn_finish(skb, ct);
	} else {
		if (QARN_APP_CLASS(mark) == QARN_CLASS_UNSETTLED && (pkt.udp || reply > 3))
			relayk_set_ct_app_mark(ct, 0);
		qarn_check_lan(skb, ct, &flow);
		return qarn_finish(skb, ct);
	}
	if (qarn_check_email(skb, &flow) == 0)
		relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct), QARN_APP_EMAIL));
	return qarn_finish(skb, ct);
}
