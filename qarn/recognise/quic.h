#ifndef QARN_RECOGNISE_QUIC_H
#define QARN_RECOGNISE_QUIC_H
/*
 * The server name of a QUIC version 1 client's Initial packet, read with the Initial keys
 * that anyone can derive from the packet's Destination Connection ID. Only the counter-mode
 * part of AES-128-GCM is applied: the tag is not checked, as a reader needs only the bytes.
 */
#include <linux/types.h>

#include "frame/relayk_if.h"
#include "recognise/apps.h"
#include "recognise/pkt.h"

#define QARN_QUIC_NAME_MAX 255

enum qarn_quic_look {
	QARN_QUIC_NOT_READ,  /* no client Initial of version 1, or it cannot be read */
	QARN_QUIC_NAMED,     /* the name is in one of its CRYPTO frames */
	QARN_QUIC_NO_NAME,   /* read, and no name found in it */
	QARN_QUIC_NAME_LATER /* read, no name, and not all of the client hello in it */
};

/*
 * Reads the Initial packet at the start of a UDP payload: decrypts it block by block, walks
 * its PADDING, PING and CRYPTO frames up to the first other frame, and searches each CRYPTO
 * frame's data for a server_name extension. A name split between two frames or packets is
 * not found. On QARN_QUIC_NAMED, name (QARN_QUIC_NAME_MAX bytes) holds *len bytes of it.
 */
enum qarn_quic_look qarn_quic_client_name(const struct qarn_pkt *p, u8 *name, unsigned int *len);

/*
 * The application of a QUIC long-header packet to or from port 443: a client's Initial
 * naming a video service is quic-video, any other is quic. A client Initial without a name
 * that does not hold all of the client hello leaves the connection unmarked (QARN_APP_COUNT)
 * while the server has not answered and the client has sent at most four packets, so that
 * its next Initials are read too; after that the connection is quic.
 */
enum qarn_app qarn_quic_recognise(const struct qarn_pkt *p, const struct relayk_acct *acct);

#endif
