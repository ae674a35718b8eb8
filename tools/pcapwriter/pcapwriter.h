#ifndef PCAPWRITER_H
#define PCAPWRITER_H
/*
 * Writes classic pcap capture files and builds IPv4 packets (TCP, UDP, ICMP) with correct
 * lengths and checksums, for tests and sample captures. Addresses and ports are given in
 * host byte order.
 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { PCAPW_LINK_ETHERNET = 1, PCAPW_LINK_RAW = 101 };

struct pcapw;

/* Creates the file; NULL on failure (errno tells why). snaplen 0 means 65535. */
struct pcapw *pcapw_open(const char *path, int linktype, uint32_t snaplen);
/* Writes one IPv4 packet at a time stamp in microseconds; with an Ethernet link type an
 * Ethernet header is put before it. A packet longer than snaplen is cut to snaplen, its
 * original length recorded as pcap does. 0 on success, -1 on a write error. */
int pcapw_write_ip(struct pcapw *w, uint64_t ts_usec, const uint8_t *ip, size_t len);
/* Writes one frame exactly as given (no header added). */
int pcapw_write_frame(struct pcapw *w, uint64_t ts_usec, const uint8_t *frame, size_t len);
/* Flushes and closes; 0 on success. */
int pcapw_close(struct pcapw *w);

/* The Internet checksum of a buffer (folded, complemented), in host byte order. */
uint16_t pcapw_checksum(const uint8_t *data, size_t len);

enum { PCAPW_FIN = 0x01, PCAPW_SYN = 0x02, PCAPW_RST = 0x04, PCAPW_PSH = 0x08,
       PCAPW_ACK = 0x10 };

/* Each builder writes an IPv4 packet into buf and returns its length, or 0 when it does
 * not fit in cap. */
size_t pcapw_build_tcp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
		       uint16_t sport, uint16_t dport, uint8_t flags, uint32_t seq, uint32_t ack,
		       const void *payload, size_t plen);
size_t pcapw_build_udp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
		       uint16_t sport, uint16_t dport, const void *payload, size_t plen);
size_t pcapw_build_icmp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
			uint8_t type, uint8_t code, const void *payload, size_t plen);

#ifdef __cplusplus
}
#endif
#endif
