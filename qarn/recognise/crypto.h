#ifndef QARN_RECOGNISE_CRYPTO_H
#define QARN_RECOGNISE_CRYPTO_H
/*
 * The few ciphers that reading a QUIC client's Initial packet needs: SHA-256, HMAC-SHA256,
 * HKDF (extract, and TLS 1.3's expand-label for one output block) and AES-128 encryption of
 * single blocks. Everything works on the caller's small buffers: no allocation, and no state
 * beyond what the caller holds.
 */
#include <linux/types.h>

#define QARN_SHA256_LEN 32
#define QARN_SHA256_BLOCK 64
#define QARN_AES_BLOCK 16

struct qarn_sha256 {
	u32 h[8];
	u64 total;                      /* bytes hashed */
	u8 buf[QARN_SHA256_BLOCK];      /* bytes not yet compressed: total % 64 of them */
};

void qarn_sha256_init(struct qarn_sha256 *s);
void qarn_sha256_update(struct qarn_sha256 *s, const void *data, unsigned int len);
void qarn_sha256_final(struct qarn_sha256 *s, u8 out[QARN_SHA256_LEN]);

/* An HMAC-SHA256 key: the hash states after its inner and its outer padded block. */
struct qarn_hmac_key {
	u32 inner[8];
	u32 outer[8];
};

/* Prepares a key of any length, for as many messages as its user has. */
void qarn_hmac_sha256_key(struct qarn_hmac_key *k, const void *key, unsigned int key_len);
void qarn_hmac_sha256_keyed(const struct qarn_hmac_key *k, const void *msg, unsigned int msg_len,
			    u8 out[QARN_SHA256_LEN]);
void qarn_hmac_sha256(const void *key, unsigned int key_len, const void *msg,
		      unsigned int msg_len, u8 out[QARN_SHA256_LEN]);

/*
 * TLS 1.3's HKDF-Expand-Label(secret, label, "", len) for len at most 32 (one HMAC block),
 * with the secret prepared as an HMAC key; label without its "tls13 " prefix.
 */
void qarn_hkdf_expand_label(const struct qarn_hmac_key *secret, const char *label, u8 *out,
			    unsigned int len);

/* An AES-128 key schedule: 11 round keys as big-endian words. */
struct qarn_aes128 {
	u32 rk[44];
};

void qarn_aes128_init(struct qarn_aes128 *k, const u8 key[16]);
void qarn_aes128_encrypt(const struct qarn_aes128 *k, const u8 in[QARN_AES_BLOCK],
			 u8 out[QARN_AES_BLOCK]);

#endif
