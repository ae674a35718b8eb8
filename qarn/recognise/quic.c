/*
 * Reading a QUIC version 1 client Initial: the Initial secret is HKDF-Extract of the
 * version's salt and the client's Destination Connection ID; the client's key, IV and
 * header-protection key come from it by HKDF-Expand-Label. Header protection is AES-128 of
 * the 16 bytes four past the packet number's start; the payload is AES-128-GCM, of which only
 * the counter mode is applied, one block at a time as the frames are read, so that reading
 * stops where the name is found. The payload is read only through the bounded reader.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/in.h>

#include "recognise/crypto.h"
#include "recognise/extended.h"
#include "recognise/quic.h"

#define QUIC_VERSION_1 1
#define QUIC_CID_MAX 20
/* first byte, version, both connection IDs with their lengths, token length, length */
#define QUIC_HEADER_MAX (1 + 4 + 1 + QUIC_CID_MAX + 1 + QUIC_CID_MAX + 8 + 8)
#define QUIC_SAMPLE_AT 4
#define QUIC_TAG_LEN 16
#define QUIC_IV_LEN 12
#define QUIC_FRAME_PADDING 0x00
#define QUIC_FRAME_PING 0x01
#define QUIC_FRAME_CRYPTO 0x06
#define TLS_CLIENT_HELLO 1
#define PORT_HTTPS 443
/* client packets whose Initial may leave the connection unmarked, waiting for the next */
#define QUIC_NAME_LOOKS 4
/* server_name extension: type, length, list length, name type, name length */
#define SNI_HEAD 9

static const u8 initial_salt_v1[20] = {
	0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
	0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a,
};

static unsigned int least(unsigned int a, unsigned int b)
{
	return a < b ? a : b;
}

/* The decrypted payload of one packet, read a byte at a time, a block decrypted at a time. */
struct quic_reader {
	const struct qarn_pkt *p;
	struct qarn_aes128 key;
	u8 nonce[QUIC_IV_LEN];
	unsigned int start;  /* payload offset of the first encrypted byte */
	unsigned int len;    /* encrypted bytes, the tag left out */
	unsigned int pos;    /* next byte to read */
	unsigned int block;  /* the block plain holds, or ~0 */
	u8 plain[QARN_AES_BLOCK];
};

/* Decrypts the block that holds r->pos into r->plain. */
static int next_block(struct quic_reader *r)
{
	unsigned int b = r->pos / QARN_AES_BLOCK, n, i;
	u8 ctr[QARN_AES_BLOCK], copy[QARN_AES_BLOCK];
	const u8 *c;

	n = least(QARN_AES_BLOCK, r->len - b * QARN_AES_BLOCK);
	c = qarn_pkt_bytes(r->p, r->start + b * QARN_AES_BLOCK, n, copy);
	if (!c)
		return -1;
	/* GCM's first payload block is counter 2: counter 1 masks the tag */
	memcpy(ctr, r->nonce, QUIC_IV_LEN);
	ctr[12] = (u8)((b + 2) >> 24);
	ctr[13] = (u8)((b + 2) >> 16);
	ctr[14] = (u8)((b + 2) >> 8);
	ctr[15] = (u8)(b + 2);
	qarn_aes128_encrypt(&r->key, ctr, r->plain);
	for (i = 0; i < n; i++)
		r->plain[i] ^= c[i];
	r->block = b;
	return 0;
}

static inline int read_byte(struct quic_reader *r, u8 *out)
{
	if (r->pos >= r->len ||
	    (r->pos / QARN_AES_BLOCK != r->block && next_block(r)))
		return -1;
	*out = r->plain[r->pos++ % QARN_AES_BLOCK];
	return 0;
}

/* A variable-length integer: two bits of length, then 6, 14, 30 or 62 bits of value. */
static int read_varint(struct quic_reader *r, u64 *v)
{
	unsigned int n, i;
	u8 c;

	if (read_byte(r, &c))
		return -1;
	n = 1u << (c >> 6);
	*v = c & 0x3f;
	for (i = 1; i < n; i++) {
		if (read_byte(r, &c))
			return -1;
		*v = *v << 8 | c;
	}
	return 0;
}

/* The same from a header held in memory; advances *at, -1 past end. */
static int header_varint(const u8 *h, unsigned int end, unsigned int *at, u64 *v)
{
	unsigned int n, i;

	if (*at >= end)
		return -1;
	n = 1u << (h[*at] >> 6);
	if (*at + n > end)
		return -1;
	*v = h[*at] & 0x3f;
	for (i = 1; i < n; i++)
		*v = *v << 8 | h[*at + i];
	*at += n;
	return 0;
}

/*
 * A search for a server_name extension in a stream of bytes: the last eight bytes while
 * scanning (with the byte fed, the extension's head), then the name's bytes once a head's
 * lengths agree with each other.
 */
struct sni_search {
	u64 last;          /* the bytes before the one fed, the latest lowest */
	unsigned int seen; /* bytes scanned since the search (re)started, up to SNI_HEAD - 1 */
	unsigned int want; /* the name's length, 0 while scanning */
	unsigned int got;
	u8 *name;
};

static int name_char(u8 c, unsigned int at)
{
	if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
		return 1;
	return at > 0 && (c == '-' || c == '.' || c == '_');
}

/* Feeds one byte; 1 when it completes a name. */
static inline int sni_feed(struct sni_search *s, u8 c)
{
	u64 h = s->last;
	unsigned int n;

	if (s->want) {
		if (name_char(c, s->got)) {
			s->name[s->got++] = c;
			return s->got == s->want;
		}
		s->want = 0;
		s->seen = 0;
	}
	s->last = h << 8 | c;
	if (s->seen < SNI_HEAD - 1) {
		s->seen++;
		return 0;
	}
	/* type 0, extension length, list length, name type 0, then c ends the name's length */
	if ((h >> 48) || ((h >> 8) & 0xff))
		return 0;
	n = (unsigned int)(h & 0xff) << 8 | c;
	if (n == 0 || n > QARN_QUIC_NAME_MAX || ((h >> 32) & 0xffff) != n + 5 ||
	    ((h >> 16) & 0xffff) != n + 3)
		return 0;
	s->want = n;
	s->got = 0;
	return 0;
}

/*
 * Derives the client's Initial keys from the Destination Connection ID: the payload key
 * into r, the nonce's IV into r->nonce, the header-protection key into hp.
 */
static void initial_keys(const u8 *dcid, unsigned int dcid_len, struct quic_reader *r,
			 struct qarn_aes128 *hp)
{
	struct qarn_hmac_key prk;
	u8 secret[QARN_SHA256_LEN], key[16];

	qarn_hmac_sha256(initial_salt_v1, sizeof(initial_salt_v1), dcid, dcid_len, secret);
	qarn_hmac_sha256_key(&prk, secret, sizeof(secret));
	qarn_hkdf_expand_label(&prk, "client in", secret, QARN_SHA256_LEN);
	/* the client's secret keys three expansions */
	qarn_hmac_sha256_key(&prk, secret, sizeof(secret));
	qarn_hkdf_expand_label(&prk, "quic key", key, sizeof(key));
	qarn_aes128_init(&r->key, key);
	qarn_hkdf_expand_label(&prk, "quic iv", r->nonce, QUIC_IV_LEN);
	qarn_hkdf_expand_label(&prk, "quic hp", key, sizeof(key));
	qarn_aes128_init(hp, key);
}

/*
 * Reads the header up to the packet number: sets the packet number's offset and the length
 * of what follows it (packet number and payload), copies the Destination Connection ID.
 * 0 when it is a version 1 Initial packet whose length the packet holds.
 */
static int initial_header(const struct qarn_pkt *p, u8 *first, u8 *dcid, unsigned int *dcid_len,
			  unsigned int *pn_off, unsigned int *rest)
{
	unsigned int n = p->payload_len, end = least(n, QUIC_HEADER_MAX), at;
	u8 copy[QUIC_HEADER_MAX];
	const u8 *h = qarn_pkt_bytes(p, 0, end, copy);
	u64 token, length;

	/* long header, fixed bit, type Initial */
	if (!h || end < 7 || (h[0] & 0xf0) != 0xc0 ||
	    ((u32)h[1] << 24 | (u32)h[2] << 16 | (u32)h[3] << 8 | h[4]) != QUIC_VERSION_1)
		return -1;
	*first = h[0];
	*dcid_len = h[5];
	at = 6 + *dcid_len;
	if (*dcid_len > QUIC_CID_MAX || at >= end || h[at] > QUIC_CID_MAX)
		return -1;
	memcpy(dcid, h + 6, *dcid_len);
	at += 1 + h[at];
	if (header_varint(h, end, &at, &token) || token > n - at)
		return -1;
	at += (unsigned int)token;
	/* the length field follows the token, which may be longer than the copy */
	end = least(n - at, 8);
	h = qarn_pkt_bytes(p, at, end, copy);
	*pn_off = 0;
	if (!h || header_varint(h, end, pn_off, &length))
		return -1;
	*pn_off += at;
	/* the sample and a byte of payload besides the tag lie within the packet */
	if (length > n - *pn_off || length < QUIC_SAMPLE_AT + QARN_AES_BLOCK ||
	    length < 4 + 1 + QUIC_TAG_LEN)
		return -1;
	*rest = (unsigned int)length;
	return 0;
}

/* Removes header protection: the packet number's length and value, or -1. */
static int unprotect(const struct qarn_pkt *p, const struct qarn_aes128 *hp, u8 first,
		     unsigned int pn_off, unsigned int *pn_len, u32 *pn)
{
	u8 copy[QARN_AES_BLOCK], mask[QARN_AES_BLOCK];
	const u8 *b = qarn_pkt_bytes(p, pn_off + QUIC_SAMPLE_AT, QARN_AES_BLOCK, copy);
	unsigned int i;

	if (!b)
		return -1;
	qarn_aes128_encrypt(hp, b, mask);
	first ^= mask[0] & 0x0f;
	/* the reserved bits are zero in a packet read with the right keys */
	if (first & 0x0c)
		return -1;
	*pn_len = (first & 3) + 1;
	b = qarn_pkt_bytes(p, pn_off, *pn_len, copy);
	if (!b)
		return -1;
	*pn = 0;
	for (i = 0; i < *pn_len; i++)
		*pn = *pn << 8 | (u8)(b[i] ^ mask[1 + i]);
	return 0;
}

enum qarn_quic_look qarn_quic_client_name(const struct qarn_pkt *p, u8 *name, unsigned int *len)
{
	struct quic_reader r;
	struct qarn_aes128 hp;
	struct sni_search s;
	u8 first, dcid[QUIC_CID_MAX], hello[4], c;
	unsigned int dcid_len, pn_off, rest, pn_len, i;
	u64 type, off, flen, held = 0, hello_len = 0;
	u32 pn;
	int crypto = 0;

	if (initial_header(p, &first, dcid, &dcid_len, &pn_off, &rest))
		return QARN_QUIC_NOT_READ;
	initial_keys(dcid, dcid_len, &r, &hp);
	if (unprotect(p, &hp, first, pn_off, &pn_len, &pn) || rest < pn_len + 1 + QUIC_TAG_LEN)
		return QARN_QUIC_NOT_READ;
	/* the nonce: the IV with the packet number in its last bytes */
	for (i = 0; i < 4; i++)
		r.nonce[QUIC_IV_LEN - 1 - i] ^= (u8)(pn >> (8 * i));
	r.p = p;
	r.start = pn_off + pn_len;
	r.len = rest - pn_len - QUIC_TAG_LEN;
	r.pos = 0;
	r.block = ~0u;
	s.name = name;
	while (r.pos < r.len) {
		if (read_varint(&r, &type))
			return QARN_QUIC_NOT_READ;
		if (type == QUIC_FRAME_PADDING || type == QUIC_FRAME_PING)
			continue;
		if (type != QUIC_FRAME_CRYPTO)
			break;
		if (read_varint(&r, &off) || read_varint(&r, &flen) || flen > r.len - r.pos)
			return QARN_QUIC_NOT_READ;
		crypto = 1;
		held += flen;
		s.last = 0;
		s.seen = 0;
		s.want = 0;
		for (i = 0; i < flen; i++) {
			if (read_byte(&r, &c))
				return QARN_QUIC_NOT_READ;
			if (off == 0 && i < sizeof(hello))
				hello[i] = c;
			if (sni_feed(&s, c)) {
				*len = s.got;
				return QARN_QUIC_NAMED;
			}
		}
		if (off == 0 && flen >= sizeof(hello) && hello[0] == TLS_CLIENT_HELLO)
			hello_len = sizeof(hello) +
				    ((u32)hello[1] << 16 | (u32)hello[2] << 8 | hello[3]);
	}
	if (!crypto)
		return QARN_QUIC_NOT_READ;
	/* the frames of one packet do not overlap: all of the hello is here, or some elsewhere */
	return hello_len && held >= hello_len ? QARN_QUIC_NO_NAME : QARN_QUIC_NAME_LATER;
}

enum qarn_app qarn_quic_recognise(const struct qarn_pkt *p, const struct relayk_acct *acct)
{
	u8 name[QARN_QUIC_NAME_MAX];
	unsigned int len = 0;

	if (ntohs(p->udp->dest) != PORT_HTTPS)
		return QARN_APP_QUIC;
	switch (qarn_quic_client_name(p, name, &len)) {
	case QARN_QUIC_NAMED:
		return qarn_ext_video_name(name, len) ? QARN_APP_QUIC_VIDEO : QARN_APP_QUIC;
	case QARN_QUIC_NAME_LATER:
		if (relayk_acct_packets(acct, RELAYK_DIR_REPLY) == 0 &&
		    relayk_acct_packets(acct, RELAYK_DIR_FORWARD) <= QUIC_NAME_LOOKS)
			return QARN_APP_COUNT;
		return QARN_APP_QUIC;
	case QARN_QUIC_NOT_READ:
	case QARN_QUIC_NO_NAME:
	default:
		return QARN_APP_QUIC;
	}
}
