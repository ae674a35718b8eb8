/*
 * SHA-256 and HMAC-SHA256 as FIPS 180-4 and RFC 2104 define them, HKDF-Expand-Label as
 * TLS 1.3 uses it, and AES-128 encryption with one 1 KiB table (the other three columns are
 * its rotations) and the S-box for the last round and the key schedule.
 */
#include <linux/kernel.h>
#include <linux/string.h>

#include "recognise/crypto.h"

static u32 get_be32(const u8 *b)
{
	return (u32)b[0] << 24 | (u32)b[1] << 16 | (u32)b[2] << 8 | b[3];
}

static void put_be32(u8 *b, u32 v)
{
	b[0] = (u8)(v >> 24);
	b[1] = (u8)(v >> 16);
	b[2] = (u8)(v >> 8);
	b[3] = (u8)v;
}

static u32 ror32_(u32 v, unsigned int n)
{
	return v >> n | v << ((32 - n) & 31);
}

/* --- SHA-256 */

static const u32 sha256_k[64] = {
	0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
	0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
	0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
	0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
	0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
	0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
	0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
	0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
	0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
	0xc67178f2,
};

#define S0(x) (ror32_(x, 7) ^ ror32_(x, 18) ^ ((x) >> 3))
#define S1(x) (ror32_(x, 17) ^ ror32_(x, 19) ^ ((x) >> 10))
#define E0(x) (ror32_(x, 2) ^ ror32_(x, 13) ^ ror32_(x, 22))
#define E1(x) (ror32_(x, 6) ^ ror32_(x, 11) ^ ror32_(x, 25))

static void sha256_block(u32 h[8], const u8 *p)
{
	u32 w[64], a, b, c, d, e, f, g, hh, t1, t2;
	unsigned int i;

	for (i = 0; i < 16; i++)
		w[i] = get_be32(p + 4 * i);
	for (i = 16; i < 64; i++)
		w[i] = S1(w[i - 2]) + w[i - 7] + S0(w[i - 15]) + w[i - 16];
	a = h[0]; b = h[1]; c = h[2]; d = h[3];
	e = h[4]; f = h[5]; g = h[6]; hh = h[7];
	for (i = 0; i < 64; i++) {
		t1 = hh + E1(e) + ((e & f) ^ (~e & g)) + sha256_k[i] + w[i];
		t2 = E0(a) + ((a & b) ^ (a & c) ^ (b & c));
		hh = g; g = f; f = e; e = d + t1;
		d = c; c = b; b = a; a = t1 + t2;
	}
	h[0] += a; h[1] += b; h[2] += c; h[3] += d;
	h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
}

void qarn_sha256_init(struct qarn_sha256 *s)
{
	static const u32 iv[8] = {
		0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
		0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
	};

	memcpy(s->h, iv, sizeof(iv));
	s->total = 0;
}

void qarn_sha256_update(struct qarn_sha256 *s, const void *data, unsigned int len)
{
	const u8 *p = data;
	unsigned int have = ((unsigned int)s->total & (QARN_SHA256_BLOCK - 1)), take;

	s->total += len;
	if (have) {
		take = QARN_SHA256_BLOCK - have < len ? QARN_SHA256_BLOCK - have : (unsigned int)len;
		memcpy(s->buf + have, p, take);
		p += take;
		len -= take;
		if (have + take < QARN_SHA256_BLOCK)
			return;
		sha256_block(s->h, s->buf);
	}
	for (; len >= QARN_SHA256_BLOCK; p += QARN_SHA256_BLOCK, len -= QARN_SHA256_BLOCK)
		sha256_block(s->h, p);
	if (len)
		memcpy(s->buf, p, len);
}

void qarn_sha256_final(struct qarn_sha256 *s, u8 out[QARN_SHA256_LEN])
{
	unsigned int have = ((unsigned int)s->total & (QARN_SHA256_BLOCK - 1)), i;
	u64 bits = s->total * 8;

	s->buf[have++] = 0x80;
	if (have > QARN_SHA256_BLOCK - 8) {
		memset(s->buf + have, 0, QARN_SHA256_BLOCK - have);
		sha256_block(s->h, s->buf);
		have = 0;
	}
	memset(s->buf + have, 0, QARN_SHA256_BLOCK - 8 - have);
	put_be32(s->buf + 56, (u32)(bits >> 32));
	put_be32(s->buf + 60, (u32)bits);
	sha256_block(s->h, s->buf);
	for (i = 0; i < 8; i++)
		put_be32(out + 4 * i, s->h[i]);
}

/* --- HMAC and HKDF */

void qarn_hmac_sha256_key(struct qarn_hmac_key *k, const void *key, unsigned int key_len)
{
	struct qarn_sha256 s;
	u8 pad[QARN_SHA256_BLOCK];
	unsigned int i;

	memset(pad, 0, sizeof(pad));
	if (key_len > QARN_SHA256_BLOCK) {
		qarn_sha256_init(&s);
		qarn_sha256_update(&s, key, key_len);
		qarn_sha256_final(&s, pad);
	} else if (key_len) {
		memcpy(pad, key, key_len);
	}
	for (i = 0; i < QARN_SHA256_BLOCK; i++)
		pad[i] ^= 0x36;
	qarn_sha256_init(&s);
	sha256_block(s.h, pad);
	memcpy(k->inner, s.h, sizeof(k->inner));
	for (i = 0; i < QARN_SHA256_BLOCK; i++)
		pad[i] ^= 0x36 ^ 0x5c;
	qarn_sha256_init(&s);
	sha256_block(s.h, pad);
	memcpy(k->outer, s.h, sizeof(k->outer));
}

void qarn_hmac_sha256_keyed(const struct qarn_hmac_key *k, const void *msg, unsigned int msg_len,
			    u8 out[QARN_SHA256_LEN])
{
	struct qarn_sha256 s;
	u8 inner[QARN_SHA256_LEN];

	memcpy(s.h, k->inner, sizeof(s.h));
	s.total = QARN_SHA256_BLOCK;
	qarn_sha256_update(&s, msg, msg_len);
	qarn_sha256_final(&s, inner);
	memcpy(s.h, k->outer, sizeof(s.h));
	s.total = QARN_SHA256_BLOCK;
	qarn_sha256_update(&s, inner, sizeof(inner));
	qarn_sha256_final(&s, out);
}

void qarn_hmac_sha256(const void *key, unsigned int key_len, const void *msg,
		      unsigned int msg_len, u8 out[QARN_SHA256_LEN])
{
	struct qarn_hmac_key k;

	qarn_hmac_sha256_key(&k, key, key_len);
	qarn_hmac_sha256_keyed(&k, msg, msg_len, out);
}

#define LABEL_PREFIX "tls13 "
#define LABEL_MAX 32

void qarn_hkdf_expand_label(const struct qarn_hmac_key *secret, const char *label, u8 *out,
			    unsigned int len)
{
	/* HkdfLabel: length, the prefixed label, an empty context; then the block counter 1 */
	u8 info[2 + 1 + sizeof(LABEL_PREFIX) - 1 + LABEL_MAX + 1 + 1];
	u8 block[QARN_SHA256_LEN];
	unsigned int n = strlen(label), at = 0;

	if (n > LABEL_MAX)
		n = LABEL_MAX;
	if (len > QARN_SHA256_LEN)
		len = QARN_SHA256_LEN;
	info[at++] = 0;
	info[at++] = (u8)len;
	info[at++] = (u8)(sizeof(LABEL_PREFIX) - 1 + n);
	memcpy(info + at, LABEL_PREFIX, sizeof(LABEL_PREFIX) - 1);
	at += sizeof(LABEL_PREFIX) - 1;
	memcpy(info + at, label, n);
	at += n;
	info[at++] = 0;
	info[at++] = 1;
	qarn_hmac_sha256_keyed(secret, info, at, block);
	memcpy(out, block, len);
}

/* --- AES-128 */

static const u8 sbox[256] = {
	0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b,
	0xfe, 0xd7, 0xab, 0x76, 0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0,
	0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0, 0xb7, 0xfd, 0x93, 0x26,
	0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
	0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2,
	0xeb, 0x27, 0xb2, 0x75, 0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0,
	0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84, 0x53, 0xd1, 0x00, 0xed,
	0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
	0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f,
	0x50, 0x3c, 0x9f, 0xa8, 0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5,
	0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2, 0xcd, 0x0c, 0x13, 0xec,
	0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
	0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14,
	0xde, 0x5e, 0x0b, 0xdb, 0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c,
	0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79, 0xe7, 0xc8, 0x37, 0x6d,
	0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
	0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f,
	0x4b, 0xbd, 0x8b, 0x8a, 0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e,
	0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e, 0xe1, 0xf8, 0x98, 0x11,
	0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
	0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f,
	0xb0, 0x54, 0xbb, 0x16,
};

/* sbox[x] times the MixColumns column (2, 1, 1, 3), as a big-endian word */
static const u32 te0[256] = {
	0xc66363a5, 0xf87c7c84, 0xee777799, 0xf67b7b8d, 0xfff2f20d, 0xd66b6bbd,
	0xde6f6fb1, 0x91c5c554, 0x60303050, 0x02010103, 0xce6767a9, 0x562b2b7d,
	0xe7fefe19, 0xb5d7d762, 0x4dababe6, 0xec76769a, 0x8fcaca45, 0x1f82829d,
	0x89c9c940, 0xfa7d7d87, 0xeffafa15, 0xb25959eb, 0x8e4747c9, 0xfbf0f00b,
	0x41adadec, 0xb3d4d467, 0x5fa2a2fd, 0x45afafea, 0x239c9cbf, 0x53a4a4f7,
	0xe4727296, 0x9bc0c05b, 0x75b7b7c2, 0xe1fdfd1c, 0x3d9393ae, 0x4c26266a,
	0x6c36365a, 0x7e3f3f41, 0xf5f7f702, 0x83cccc4f, 0x6834345c, 0x51a5a5f4,
	0xd1e5e534, 0xf9f1f108, 0xe2717193, 0xabd8d873, 0x62313153, 0x2a15153f,
	0x0804040c, 0x95c7c752, 0x46232365, 0x9dc3c35e, 0x30181828, 0x379696a1,
	0x0a05050f, 0x2f9a9ab5, 0x0e070709, 0x24121236, 0x1b80809b, 0xdfe2e23d,
	0xcdebeb26, 0x4e272769, 0x7fb2b2cd, 0xea75759f, 0x1209091b, 0x1d83839e,
	0x582c2c74, 0x341a1a2e, 0x361b1b2d, 0xdc6e6eb2, 0xb45a5aee, 0x5ba0a0fb,
	0xa45252f6, 0x763b3b4d, 0xb7d6d661, 0x7db3b3ce, 0x5229297b, 0xdde3e33e,
	0x5e2f2f71, 0x13848497, 0xa65353f5, 0xb9d1d168, 0x00000000, 0xc1eded2c,
	0x40202060, 0xe3fcfc1f, 0x79b1b1c8, 0xb65b5bed, 0xd46a6abe, 0x8dcbcb46,
	0x67bebed9, 0x7239394b, 0x944a4ade, 0x984c4cd4, 0xb05858e8, 0x85cfcf4a,
	0xbbd0d06b, 0xc5efef2a, 0x4faaaae5, 0xedfbfb16, 0x864343c5, 0x9a4d4dd7,
	0x66333355, 0x11858594, 0x8a4545cf, 0xe9f9f910, 0x04020206, 0xfe7f7f81,
	0xa05050f0, 0x783c3c44, 0x259f9fba, 0x4ba8a8e3, 0xa25151f3, 0x5da3a3fe,
	0x804040c0, 0x058f8f8a, 0x3f9292ad, 0x219d9dbc, 0x70383848, 0xf1f5f504,
	0x63bcbcdf, 0x77b6b6c1, 0xafdada75, 0x42212163, 0x20101030, 0xe5ffff1a,
	0xfdf3f30e, 0xbfd2d26d, 0x81cdcd4c, 0x180c0c14, 0x26131335, 0xc3ecec2f,
	0xbe5f5fe1, 0x359797a2, 0x884444cc, 0x2e171739, 0x93c4c457, 0x55a7a7f2,
	0xfc7e7e82, 0x7a3d3d47, 0xc86464ac, 0xba5d5de7, 0x3219192b, 0xe6737395,
	0xc06060a0, 0x19818198, 0x9e4f4fd1, 0xa3dcdc7f, 0x44222266, 0x542a2a7e,
	0x3b9090ab, 0x0b888883, 0x8c4646ca, 0xc7eeee29, 0x6bb8b8d3, 0x2814143c,
	0xa7dede79, 0xbc5e5ee2, 0x160b0b1d, 0xaddbdb76, 0xdbe0e03b, 0x64323256,
	0x743a3a4e, 0x140a0a1e, 0x924949db, 0x0c06060a, 0x4824246c, 0xb85c5ce4,
	0x9fc2c25d, 0xbdd3d36e, 0x43acacef, 0xc46262a6, 0x399191a8, 0x319595a4,
	0xd3e4e437, 0xf279798b, 0xd5e7e732, 0x8bc8c843, 0x6e373759, 0xda6d6db7,
	0x018d8d8c, 0xb1d5d564, 0x9c4e4ed2, 0x49a9a9e0, 0xd86c6cb4, 0xac5656fa,
	0xf3f4f407, 0xcfeaea25, 0xca6565af, 0xf47a7a8e, 0x47aeaee9, 0x10080818,
	0x6fbabad5, 0xf0787888, 0x4a25256f, 0x5c2e2e72, 0x381c1c24, 0x57a6a6f1,
	0x73b4b4c7, 0x97c6c651, 0xcbe8e823, 0xa1dddd7c, 0xe874749c, 0x3e1f1f21,
	0x964b4bdd, 0x61bdbddc, 0x0d8b8b86, 0x0f8a8a85, 0xe0707090, 0x7c3e3e42,
	0x71b5b5c4, 0xcc6666aa, 0x904848d8, 0x06030305, 0xf7f6f601, 0x1c0e0e12,
	0xc26161a3, 0x6a35355f, 0xae5757f9, 0x69b9b9d0, 0x17868691, 0x99c1c158,
	0x3a1d1d27, 0x279e9eb9, 0xd9e1e138, 0xebf8f813, 0x2b9898b3, 0x22111133,
	0xd26969bb, 0xa9d9d970, 0x078e8e89, 0x339494a7, 0x2d9b9bb6, 0x3c1e1e22,
	0x15878792, 0xc9e9e920, 0x87cece49, 0xaa5555ff, 0x50282878, 0xa5dfdf7a,
	0x038c8c8f, 0x59a1a1f8, 0x09898980, 0x1a0d0d17, 0x65bfbfda, 0xd7e6e631,
	0x844242c6, 0xd06868b8, 0x824141c3, 0x299999b0, 0x5a2d2d77, 0x1e0f0f11,
	0x7bb0b0cb, 0xa85454fc, 0x6dbbbbd6, 0x2c16163a,
};

#define TE(x, n) ror32_(te0[(x) & 0xff], (n))

void qarn_aes128_init(struct qarn_aes128 *k, const u8 key[16])
{
	static const u8 rcon[10] = { 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36 };
	unsigned int i;
	u32 t;

	for (i = 0; i < 4; i++)
		k->rk[i] = get_be32(key + 4 * i);
	for (i = 4; i < 44; i++) {
		t = k->rk[i - 1];
		if (i % 4 == 0)
			t = ((u32)sbox[(t >> 16) & 0xff] << 24 | (u32)sbox[(t >> 8) & 0xff] << 16 |
			     (u32)sbox[t & 0xff] << 8 | sbox[t >> 24]) ^ (u32)rcon[i / 4 - 1] << 24;
		k->rk[i] = k->rk[i - 4] ^ t;
	}
}

void qarn_aes128_encrypt(const struct qarn_aes128 *k, const u8 in[QARN_AES_BLOCK],
			 u8 out[QARN_AES_BLOCK])
{
	const u32 *rk = k->rk;
	u32 s0, s1, s2, s3, t0, t1, t2, t3;
	unsigned int r;

	s0 = get_be32(in) ^ rk[0];
	s1 = get_be32(in + 4) ^ rk[1];
	s2 = get_be32(in + 8) ^ rk[2];
	s3 = get_be32(in + 12) ^ rk[3];
	for (r = 1; r < 10; r++) {
		rk += 4;
		t0 = TE(s0 >> 24, 0) ^ TE(s1 >> 16, 8) ^ TE(s2 >> 8, 16) ^ TE(s3, 24) ^ rk[0];
		t1 = TE(s1 >> 24, 0) ^ TE(s2 >> 16, 8) ^ TE(s3 >> 8, 16) ^ TE(s0, 24) ^ rk[1];
		t2 = TE(s2 >> 24, 0) ^ TE(s3 >> 16, 8) ^ TE(s0 >> 8, 16) ^ TE(s1, 24) ^ rk[2];
		t3 = TE(s3 >> 24, 0) ^ TE(s0 >> 16, 8) ^ TE(s1 >> 8, 16) ^ TE(s2, 24) ^ rk[3];
		s0 = t0; s1 = t1; s2 = t2; s3 = t3;
	}
	rk += 4;
#define LAST(a, b, c, d) ((u32)sbox[(a) >> 24] << 24 | (u32)sbox[((b) >> 16) & 0xff] << 16 | \
			  (u32)sbox[((c) >> 8) & 0xff] << 8 | sbox[(d) & 0xff])
	put_be32(out, LAST(s0, s1, s2, s3) ^ rk[0]);
	put_be32(out + 4, LAST(s1, s2, s3, s0) ^ rk[1]);
	put_be32(out + 8, LAST(s2, s3, s0, s1) ^ rk[2]);
	put_be32(out + 12, LAST(s3, s0, s1, s2) ^ rk[3]);
#undef LAST
}
