#include "pcapwriter.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct pcapw {
	FILE *f;
	int linktype;
	uint32_t snaplen;
};

static void put16(uint8_t *p, uint16_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

static void put32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

/* pcap's own fields are in the writer's byte order; the magic number tells readers which. */
static int write_native32(FILE *f, uint32_t v)
{
	return fwrite(&v, 4, 1, f) == 1 ? 0 : -1;
}

struct pcapw *pcapw_open(const char *path, int linktype, uint32_t snaplen)
{
	struct pcapw *w = calloc(1, sizeof(*w));
	uint16_t version[2] = { 2, 4 };

	if (!w)
		return NULL;
	w->f = fopen(path, "wb");
	if (!w->f) {
		free(w);
		return NULL;
	}
	w->linktype = linktype;
	w->snaplen = snaplen ? snaplen : 65535;
	if (write_native32(w->f, 0xa1b2c3d4u) || fwrite(version, 2, 2, w->f) != 2 ||
	    write_native32(w->f, 0) || write_native32(w->f, 0) ||
	    write_native32(w->f, w->snaplen) || write_native32(w->f, (uint32_t)linktype)) {
		fclose(w->f);
		free(w);
		return NULL;
	}
	return w;
}

int pcapw_write_frame(struct pcapw *w, uint64_t ts_usec, const uint8_t *frame, size_t len)
{
	uint32_t caplen = len > w->snaplen ? w->snaplen : (uint32_t)len;

	if (write_native32(w->f, (uint32_t)(ts_usec / 1000000u)) ||
	    write_native32(w->f, (uint32_t)(ts_usec % 1000000u)) ||
	    write_native32(w->f, caplen) || write_native32(w->f, (uint32_t)len))
		return -1;
	return fwrite(frame, 1, caplen, w->f) == caplen ? 0 : -1;
}

int pcapw_write_ip(struct pcapw *w, uint64_t ts_usec, const uint8_t *ip, size_t len)
{
	static const uint8_t eth[14] = {
		0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x08, 0x00
	};
	uint8_t *frame;
	int ret;

	if (w->linktype != PCAPW_LINK_ETHERNET)
		return pcapw_write_frame(w, ts_usec, ip, len);
	frame = malloc(len + sizeof(eth));
	if (!frame)
		return -1;
	memcpy(frame, eth, sizeof(eth));
	memcpy(frame + sizeof(eth), ip, len);
	ret = pcapw_write_frame(w, ts_usec, frame, len + sizeof(eth));
	free(frame);
	return ret;
}

int pcapw_close(struct pcapw *w)
{
	int ret;

	if (!w)
		return -1;
	ret = fclose(w->f) == 0 ? 0 : -1;
	free(w);
	return ret;
}

static uint32_t sum16(const uint8_t *data, size_t len, uint32_t sum)
{
	size_t i;

	for (i = 0; i + 1 < len; i += 2)
		sum += (uint32_t)data[i] << 8 | data[i + 1];
	if (len & 1)
		sum += (uint32_t)data[len - 1] << 8;
	return sum;
}

static uint16_t fold(uint32_t sum)
{
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return (uint16_t)~sum;
}

uint16_t pcapw_checksum(const uint8_t *data, size_t len)
{
	return fold(sum16(data, len, 0));
}

static uint16_t next_id;

static size_t build_ip(uint8_t *buf, size_t cap, uint8_t proto, uint32_t saddr,
		       uint32_t daddr, size_t l4len)
{
	size_t total = 20 + l4len;

	if (total > cap || total > 65535)
		return 0;
	memset(buf, 0, 20);
	buf[0] = 0x45;
	put16(buf + 2, (uint16_t)total);
	put16(buf + 4, (uint16_t)__atomic_add_fetch(&next_id, 1, __ATOMIC_RELAXED));
	buf[8] = 64;
	buf[9] = proto;
	put32(buf + 12, saddr);
	put32(buf + 16, daddr);
	put16(buf + 10, pcapw_checksum(buf, 20));
	return total;
}

/* The TCP or UDP checksum over the pseudo-header and the segment. */
static uint16_t l4_checksum(const uint8_t *ip, uint8_t proto, const uint8_t *seg, size_t len)
{
	uint8_t pseudo[12];

	memcpy(pseudo, ip + 12, 8);
	pseudo[8] = 0;
	pseudo[9] = proto;
	put16(pseudo + 10, (uint16_t)len);
	return fold(sum16(seg, len, sum16(pseudo, sizeof(pseudo), 0)));
}

size_t pcapw_build_tcp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
		       uint16_t sport, uint16_t dport, uint8_t flags, uint32_t seq, uint32_t ack,
		       const void *payload, size_t plen)
{
	size_t total = build_ip(buf, cap, 6, saddr, daddr, 20 + plen);
	uint8_t *tcp = buf + 20;

	if (!total)
		return 0;
	memset(tcp, 0, 20);
	put16(tcp, sport);
	put16(tcp + 2, dport);
	put32(tcp + 4, seq);
	put32(tcp + 8, ack);
	tcp[12] = 5 << 4;
	tcp[13] = flags;
	put16(tcp + 14, 65535);
	if (plen)
		memcpy(tcp + 20, payload, plen);
	put16(tcp + 16, l4_checksum(buf, 6, tcp, 20 + plen));
	return total;
}

size_t pcapw_build_udp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
		       uint16_t sport, uint16_t dport, const void *payload, size_t plen)
{
	size_t total = build_ip(buf, cap, 17, saddr, daddr, 8 + plen);
	uint8_t *udp = buf + 20;
	uint16_t sum;

	if (!total)
		return 0;
	put16(udp, sport);
	put16(udp + 2, dport);
	put16(udp + 4, (uint16_t)(8 + plen));
	put16(udp + 6, 0);
	if (plen)
		memcpy(udp + 8, payload, plen);
	sum = l4_checksum(buf, 17, udp, 8 + plen);
	put16(udp + 6, sum ? sum : 0xffff);
	return total;
}

size_t pcapw_build_icmp(uint8_t *buf, size_t cap, uint32_t saddr, uint32_t daddr,
			uint8_t type, uint8_t code, const void *payload, size_t plen)
{
	size_t total = build_ip(buf, cap, 1, saddr, daddr, 8 + plen);
	uint8_t *icmp = buf + 20;

	if (!total)
		return 0;
	memset(icmp, 0, 8);
	icmp[0] = type;
	icmp[1] = code;
	if (plen)
		memcpy(icmp + 8, payload, plen);
	put16(icmp + 2, pcapw_checksum(icmp, 8 + plen));
	return total;
}
