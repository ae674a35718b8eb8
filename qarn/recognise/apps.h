#ifndef QARN_RECOGNISE_APPS_H
#define QARN_RECOGNISE_APPS_H
/*
 * The applications qarn names: each one's class, group and id in the Application mark and a
 * short readable name. The checks set marks only through this table, and tools read names
 * and the mark's layout from it, so a class, group or id is written down once.
 */
#include <linux/types.h>

#include "recognise/mark.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Classes that checks test besides those of mark.h. */
#define QARN_CLASS_GAME 1
#define QARN_CLASS_WEB 4
#define QARN_CLASS_BULK 5      /* fast replies, two-way P2P; the conference shares it */
#define QARN_CLASS_P2P 8
#define QARN_CLASS_BACKGROUND 10

/* A group or id that the check keeps from the mark it finds. */
#define QARN_KEPT 0xffffu

/* Class 4, id 3: set outside this module; classified again while its reply is short. */
#define QARN_WEB_ID_PENDING 3
/* Class 4, id 5: a LAN client's FTP control connection. */
#define QARN_WEB_ID_FTP 5

/*
 * Every application, in the order in which a mark is named: a row whose group or id is kept
 * matches any value there, and the first matching row names the mark.
 */
enum qarn_app {
	QARN_APP_NONE,            /* 0/0/0: nothing recognised yet */
	QARN_APP_GAME_SERVER,     /* listed game server */
	QARN_APP_GAME_UDP,        /* the game's UDP signature */
	QARN_APP_DNS,             /* UDP to port 53 */
	QARN_APP_WEB_FIRST,       /* first packets of a web connection: class unsettled */
	QARN_APP_WEB_PAGE,
	QARN_APP_FTP,             /* LAN-side TCP to port 21 */
	QARN_APP_CONFERENCE,
	QARN_APP_REPLY_RATE,      /* whole word */
	QARN_APP_P2P_BULK,        /* P2P state 4 */
	QARN_APP_FRAMED,          /* framed messages; whole word */
	QARN_APP_WEB_VIDEO,
	QARN_APP_P2P_SIGNATURE,   /* P2P state 5 */
	QARN_APP_P2P_KIND_34,     /* P2P state 6 */
	QARN_APP_P2P_KIND_95,     /* P2P state 7 */
	QARN_APP_P2P_KIND_3,      /* P2P state 8 */
	QARN_APP_WEB_DOWNLOAD,
	QARN_APP_P2P_STREAM,      /* P2P state 10 */
	QARN_APP_UPLOAD,          /* re-check of classes 5 and 8 */
	QARN_APP_RANGED_DOWNLOAD, /* 206 response with a download type */
	QARN_APP_VIDEO_SERVICE,
	QARN_APP_EMAIL,
	QARN_APP_OUTSIDE,         /* dir_code 100 to 103 */
	/* set only while qarn_extended is 1 */
	QARN_APP_GAME_FLOW,       /* a game's packet shape, not P2P */
	QARN_APP_NTP,
	QARN_APP_TLS,             /* TLS to a server name that is not a video service's */
	QARN_APP_QUIC,
	QARN_APP_SSH,
	QARN_APP_TLS_VIDEO,       /* TLS to a video service's server name */
	QARN_APP_QUIC_VIDEO,      /* QUIC to a video service's server name */
	QARN_APP_FTP_DATA,        /* from port 20, or expected after a passive reply */
	QARN_APP_BITTORRENT,
	QARN_APP_BITTORRENT_DHT,
	QARN_APP_UTP,
	QARN_APP_OPENVPN,
	QARN_APP_WIREGUARD,
	QARN_APP_L2TP,
	QARN_APP_IKE,
	/* every mode */
	QARN_APP_VPN,
	QARN_APP_EXEMPT,          /* host on the address list */
	QARN_APP_COUNT
};

struct qarn_app_info {
	u8 app_class;
	u16 group; /* or QARN_KEPT */
	u16 id;    /* or QARN_KEPT */
	const char *name;
	const char *check; /* the check that sets it */
};

extern const struct qarn_app_info qarn_apps[QARN_APP_COUNT];

/* The mark with app's class, and its group and id unless the app keeps them. */
static inline u32 qarn_mark_app(u32 mark, enum qarn_app app)
{
	const struct qarn_app_info *a = &qarn_apps[app];

	return qarn_mark_set(mark, a->app_class,
			     a->group == QARN_KEPT ? QARN_PRIO_GROUP(mark) : a->group,
			     a->id == QARN_KEPT ? QARN_APP_ID(mark) : a->id);
}

/* The whole word of an app that replaces the mark (bits 22-31 zero). */
static inline u32 qarn_mark_word(enum qarn_app app)
{
	return qarn_mark_app(0, app);
}

/* Whether the mark's class, group and id are those app sets (kept fields match any). */
static inline int qarn_mark_is(u32 mark, enum qarn_app app)
{
	const struct qarn_app_info *a = &qarn_apps[app];

	return QARN_APP_CLASS(mark) == a->app_class &&
	       (a->group == QARN_KEPT || QARN_PRIO_GROUP(mark) == a->group) &&
	       (a->id == QARN_KEPT || QARN_APP_ID(mark) == a->id);
}

/* The first application whose row matches the mark, or QARN_APP_COUNT when none does. */
enum qarn_app qarn_app_of_mark(u32 mark);

#ifdef __cplusplus
}
#endif

#endif
