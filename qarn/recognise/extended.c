#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/in.h>

#include "frame/params.h"
#include "recognise/extended.h"
#include "recognise/ftp.h"
#include "recognise/quic.h"

/* Domains whose servers carry video; a server name that is one or ends in ".<domain>". */
static const char *const video_domains[] = {
	"youtube.com", "googlevideo.com", "ytimg.com", "netflix.com", "nflxvideo.net",
	"twitch.tv", "ttvnw.net", "vimeo.com", "vimeocdn.com", "dailymotion.com",
	"bilibili.com", "bilivideo.com", "iqiyi.com", "youku.com", "v.example.net",
	"video.example",
};

static const unsigned char bittorrent_handshake[20] = {
	19, 'B', 'i', 't', 'T', 'o', 'r', 'r', 'e', 'n', 't', ' ',
	'p', 'r', 'o', 't', 'o', 'c', 'o', 'l'
};

#define PORT_FTP_DATA 20
#define PORT_SSH_BANNER_LEN 4
#define PORT_DNS 53
#define PORT_NTP 123
#define PORT_IKE 500
#define PORT_L2TP 1701
#define PORT_HTTPS 443
#define PORT_IKE_NAT 4500
#define NTP_LEN 48
#define WG_INITIATION_LEN 148
#define WG_RESPONSE_LEN 92
#define IKE_HEADER_LEN 28
#define UTP_HEADER_LEN 20
#define TLS_NAME_MAX 255

static u32 load32(const unsigned char *b)
{
	return (u32)b[0] << 24 | (u32)b[1] << 16 | (u32)b[2] << 8 | b[3];
}

static u16 load16(const unsigned char *b)
{
	return (u16)(b[0] << 8 | b[1]);
}

static int lower(int c)
{
	return c >= 'A' && c <= 'Z' ? c + 'a' - 'A' : c;
}

int qarn_ext_video_name(const unsigned char *name, unsigned int len)
{
	unsigned int i, j, n;

	for (i = 0; i < ARRAY_SIZE(video_domains); i++) {
		n = strlen(video_domains[i]);
		if (n > len || (n < len && name[len - n - 1] != '.'))
			continue;
		for (j = 0; j < n && lower(name[len - n + j]) == video_domains[i][j]; j++)
			;
		if (j == n)
			return 1;
	}
	return 0;
}

/* Whether both ports of the packet's flow include port. */
static int either_port(u16 sport, u16 dport, u16 port)
{
	return sport == port || dport == port;
}

/*
 * The server name of a TLS client hello at the payload's start, or 0 when the payload is no
 * client hello or its name cannot be read; *name points into text.
 */
static unsigned int tls_server_name(const unsigned char *t, unsigned int n,
				    const unsigned char **name)
{
	unsigned int at, end, ext_end, type, len;

	/* record: handshake, version 3.x; handshake: client hello */
	if (n < 43 || t[0] != 0x16 || t[1] != 3 || t[5] != 1)
		return 0;
	at = 9 + 2 + 32;			/* handshake header, version, random */
	at += 1 + t[at];			/* session id */
	if (at + 2 > n)
		return 0;
	at += 2 + load16(t + at);		/* cipher suites */
	if (at + 1 > n)
		return 0;
	at += 1 + t[at];			/* compression methods */
	if (at + 2 > n)
		return 0;
	ext_end = at + 2 + load16(t + at);
	at += 2;
	end = ext_end < n ? ext_end : n;
	while (at + 4 <= end) {
		type = load16(t + at);
		len = load16(t + at + 2);
		at += 4;
		if (type == 0) {
			/* list length, name type 0, name length, name */
			if (len < 5 || at + 5 > end || t[at + 2] != 0)
				return 0;
			len = load16(t + at + 3);
			if (len == 0 || len > TLS_NAME_MAX || at + 5 + len > end)
				return 0;
			*name = t + at + 5;
			return len;
		}
		at += len;
	}
	return 0;
}

/* TLS client hello or server hello at the start of a TCP payload. */
static enum qarn_app check_tls(const struct qarn_pkt *p)
{
	unsigned char window[QARN_TEXT_WINDOW];
	const unsigned char *t, *name = NULL;
	unsigned int n = p->data_len, len;

	t = qarn_pkt_text(p, &n, window, sizeof(window));
	if (!t || n < 6 || t[0] != 0x16 || t[1] != 3 || (t[5] != 1 && t[5] != 2))
		return QARN_APP_COUNT;
	len = tls_server_name(t, n, &name);
	if (len && qarn_ext_video_name(name, len))
		return QARN_APP_TLS_VIDEO;
	return QARN_APP_TLS;
}

static enum qarn_app check_tcp(const struct qarn_pkt *p)
{
	unsigned char copy[sizeof(bittorrent_handshake)];
	const unsigned char *b;
	u16 sport = ntohs(p->tcp->source), dport = ntohs(p->tcp->dest);

	if (either_port(sport, dport, PORT_DNS))
		return QARN_APP_DNS;
	if (sport == PORT_FTP_DATA || qarn_ftp_passive_data(p))
		return QARN_APP_FTP_DATA;
	if (p->data_len == 0)
		return QARN_APP_COUNT;
	b = qarn_pkt_bytes(p, 0, PORT_SSH_BANNER_LEN, copy);
	if (b && memcmp(b, "SSH-", PORT_SSH_BANNER_LEN) == 0)
		return QARN_APP_SSH;
	b = qarn_pkt_bytes(p, 0, sizeof(bittorrent_handshake), copy);
	if (b && memcmp(b, bittorrent_handshake, sizeof(bittorrent_handshake)) == 0)
		return QARN_APP_BITTORRENT;
	return check_tls(p);
}

/* IKE header at offset at of the payload, its length field covering the rest. */
static int ike_header(const struct qarn_pkt *p, unsigned int at)
{
	unsigned char copy[IKE_HEADER_LEN];
	const unsigned char *h = qarn_pkt_bytes(p, at, IKE_HEADER_LEN, copy);
	unsigned int major;

	if (!h)
		return 0;
	major = h[17] >> 4;
	return (major == 1 || major == 2) && load32(h + 24) == p->payload_len - at;
}

static enum qarn_app check_udp(const struct qarn_pkt *p, const struct relayk_acct *acct)
{
	unsigned char copy[UTP_HEADER_LEN];
	const unsigned char *b;
	u16 sport = ntohs(p->udp->source), dport = ntohs(p->udp->dest);
	unsigned int n = p->payload_len;

	if (n == 0 || n > p->data_len)
		return QARN_APP_COUNT;
	/* DNS first: a query's random id may begin like another protocol's header */
	if (either_port(sport, dport, PORT_DNS))
		return QARN_APP_DNS;
	if (either_port(sport, dport, PORT_L2TP)) {
		b = qarn_pkt_bytes(p, 0, 2, copy);
		if (b && (b[1] & 0x0f) == 2)
			return QARN_APP_L2TP;
	}
	if (either_port(sport, dport, PORT_IKE) && ike_header(p, 0))
		return QARN_APP_IKE;
	if (either_port(sport, dport, PORT_IKE_NAT)) {
		b = qarn_pkt_bytes(p, 0, 4, copy);
		/* a non-ESP marker before an IKE header, or ESP with its non-zero SPI */
		if (b && ((load32(b) == 0 && ike_header(p, 4)) || (load32(b) != 0 && n >= 16)))
			return QARN_APP_IKE;
	}
	if (either_port(sport, dport, PORT_NTP) && n == NTP_LEN) {
		b = qarn_pkt_bytes(p, 0, 1, copy);
		if (b && ((b[0] >> 3) & 7) >= 3 && ((b[0] >> 3) & 7) <= 4 &&
		    ((b[0] & 7) == 3 || (b[0] & 7) == 4))
			return QARN_APP_NTP;
	}
	b = qarn_pkt_bytes(p, 0, 4, copy);
	if (!b)
		return QARN_APP_COUNT;
	/* WireGuard handshake initiation and response: type, three zero bytes, fixed size */
	if (b[1] == 0 && b[2] == 0 && b[3] == 0 &&
	    ((b[0] == 1 && n == WG_INITIATION_LEN) || (b[0] == 2 && n == WG_RESPONSE_LEN)))
		return QARN_APP_WIREGUARD;
	/* OpenVPN hard reset from the client (key id 0), a session id and a packet id */
	if ((b[0] == 0x38 || b[0] == 0x50) && n >= 14 && n <= 1500 &&
	    relayk_acct_packets(acct, RELAYK_DIR_FORWARD) == 1 &&
	    relayk_acct_packets(acct, RELAYK_DIR_REPLY) == 0)
		return QARN_APP_OPENVPN;
	if (b[0] == 'd' && n >= 12) {
		b = qarn_pkt_bytes(p, 0, 12, copy);
		if (b && (memcmp(b, "d1:ad2:id20:", 12) == 0 || memcmp(b, "d1:rd2:id20:", 12) == 0))
			return QARN_APP_BITTORRENT_DHT;
		return QARN_APP_COUNT;
	}
	/*
	 * uTP: the connection opens with a SYN (type 4, version 1), its header alone or with
	 * extensions, a non-zero window
	 */
	if (b[0] == 0x41 && b[1] <= 2 && (n == UTP_HEADER_LEN || (b[1] && n > UTP_HEADER_LEN)) &&
	    relayk_acct_packets(acct, RELAYK_DIR_FORWARD) == 1) {
		b = qarn_pkt_bytes(p, 0, UTP_HEADER_LEN, copy);
		if (b && load32(b + 12) != 0)
			return QARN_APP_UTP;
	}
	/* QUIC long header: form and fixed bits, version 1 or a draft */
	if ((b[0] & 0xc0) == 0xc0 && either_port(sport, dport, PORT_HTTPS) && n >= 1200) {
		b = qarn_pkt_bytes(p, 1, 4, copy);
		if (b && (load32(b) == 1 || (load32(b) & 0xffffff00u) == 0xff000000u))
			return qarn_quic_recognise(p, acct);
	}
	return QARN_APP_COUNT;
}

enum qarn_app qarn_ext_recognise(const struct qarn_pkt *p, const struct relayk_acct *acct)
{
	if (p->tcp)
		return check_tcp(p);
	if (p->udp)
		return check_udp(p, acct);
	return QARN_APP_COUNT;
}

int qarn_ext_framed_evidence(const struct qarn_pkt *p)
{
	unsigned char copy[2];
	const unsigned char *b;

	if (p->udp)
		return p->data_len >= 8;
	b = qarn_pkt_bytes(p, 0, 2, copy);
	return b && load16(b) == p->data_len;
}

int qarn_ext_game_shape(const struct relayk_acct *acct)
{
	u32 fwd = (u32)relayk_acct_packets(acct, RELAYK_DIR_FORWARD);
	u32 rep = (u32)relayk_acct_packets(acct, RELAYK_DIR_REPLY);
	u32 limit = check_game_pkt_avg_len > 0 ? (u32)check_game_pkt_avg_len : 0;

	/* a game server answers about as often as it is written to */
	if (!fwd || !rep || (u64)rep * 4 < fwd || (u64)fwd * 4 < rep)
		return 0;
	return (u32)relayk_acct_bytes(acct, RELAYK_DIR_FORWARD) / fwd <= limit &&
	       (u32)relayk_acct_bytes(acct, RELAYK_DIR_REPLY) / rep <= limit;
}
