/*
 * The boot test's program inside the guest (linked statically, run by init). It sends List
 * commands through relayk_standin's virtual netlink file and the traffic of each scenario
 * over loopback between a LAN address and a WAN address, then prints what it read back,
 * one "BOOT ..." line each, for the host to check:
 *
 *   guest traffic   List commands, the scenarios, then status, packet log and connections
 *   guest flood     datagrams from the LAN host for three seconds, while qarn is unloaded
 *   guest after     (after qarn is unloaded) one more datagram, then status and packet log
 *
 * It judges nothing itself beyond its own system calls: a failing call prints
 * "BOOT error ..." and ends it with status 1.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define LAN_HOST "192.168.1.2"
#define LISTED_HOST "192.168.1.50"
#define WAN_HOST "198.51.100.7"
#define PROC_DIR "/proc/relayk_standin/"
#define LIST_TYPE 120

static void die(const char *what)
{
	printf("BOOT error %s: %s\n", what, strerror(errno));
	exit(1);
}

static struct sockaddr_in addr_of(const char *ip, int port)
{
	struct sockaddr_in a;

	memset(&a, 0, sizeof(a));
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
		errno = EINVAL;
		die(ip);
	}
	return a;
}

static int bound_socket(int type, const char *ip, int port)
{
	struct sockaddr_in a = addr_of(ip, port);
	int one = 1;
	int fd = socket(AF_INET, type, 0);

	if (fd < 0)
		die("socket");
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	if (bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0)
		die("bind");
	return fd;
}

static void write_all(int fd, const void *buf, size_t len)
{
	const char *p = buf;

	while (len > 0) {
		ssize_t n = write(fd, p, len);

		if (n < 0)
			die("write");
		p += n;
		len -= (size_t)n;
	}
}

static void read_exactly(int fd, void *buf, size_t len)
{
	char *p = buf;

	while (len > 0) {
		ssize_t n = read(fd, p, len);

		if (n <= 0) {
			if (n == 0)
				errno = ECONNRESET;
			die("read");
		}
		p += n;
		len -= (size_t)n;
	}
}

/* Reads and drops len bytes. */
static void drain(int fd, size_t len)
{
	char buf[4096];

	while (len > 0) {
		size_t n = len < sizeof(buf) ? len : sizeof(buf);

		read_exactly(fd, buf, n);
		len -= n;
	}
}

/*
 * A text of about size bytes that begins with head and goes on with filler: written in one
 * call, it leaves the sender as one segment that the kernel keeps in page fragments.
 */
static char *large_text(const char *head, size_t size)
{
	size_t n = strlen(head);
	char *t = malloc(size + n + 1);

	if (!t)
		die("malloc");
	memcpy(t, head, n);
	memset(t + n, 'z', size);
	t[n + size] = 0;
	return t;
}

/*
 * One TCP connection from client_ip:client_port to the WAN host's port: the client sends
 * request (if any), the server reads it and answers with response (if any), the client
 * reads the answer whole; then both ends close.
 */
static void tcp_exchange(const char *client_ip, int client_port, int server_port,
			 const char *request, const char *response)
{
	struct sockaddr_in server = addr_of(WAN_HOST, server_port);
	int lfd = bound_socket(SOCK_STREAM, WAN_HOST, server_port);
	int cfd, sfd;

	if (listen(lfd, 4) < 0)
		die("listen");
	cfd = bound_socket(SOCK_STREAM, client_ip, client_port);
	if (connect(cfd, (struct sockaddr *)&server, sizeof(server)) < 0)
		die("connect");
	sfd = accept(lfd, NULL, NULL);
	if (sfd < 0)
		die("accept");
	if (request) {
		write_all(cfd, request, strlen(request));
		drain(sfd, strlen(request));
	}
	if (response) {
		write_all(sfd, response, strlen(response));
		drain(cfd, strlen(response));
	}
	close(cfd);
	close(sfd);
	close(lfd);
}

/* One datagram from client_ip:client_port to the WAN host's port and, if given, an answer. */
static void udp_exchange(int client_port, int server_port, const void *query, size_t qlen,
			 const void *answer, size_t alen)
{
	struct sockaddr_in server = addr_of(WAN_HOST, server_port);
	struct sockaddr_in client = addr_of(LAN_HOST, client_port);
	int sfd = bound_socket(SOCK_DGRAM, WAN_HOST, server_port);
	int cfd = bound_socket(SOCK_DGRAM, LAN_HOST, client_port);
	char buf[512];

	if (sendto(cfd, query, qlen, 0, (struct sockaddr *)&server, sizeof(server)) < 0)
		die("sendto");
	if (recv(sfd, buf, sizeof(buf), 0) < 0)
		die("recv");
	if (answer) {
		if (sendto(sfd, answer, alen, 0, (struct sockaddr *)&client, sizeof(client)) < 0)
			die("sendto");
		if (recv(cfd, buf, sizeof(buf), 0) < 0)
			die("recv");
	}
	close(cfd);
	close(sfd);
}

/* A List command: the eight header words and up to four ranges, processor byte order. */
struct list_cmd {
	uint32_t type;
	uint32_t word[8 + 4 * 3];
};

/*
 * Sends a List command of `size` message bytes (header and ranges) and prints the reply
 * that it brought, "BOOT nl NAME none" or "BOOT nl NAME <hex>" (port id, length, size
 * value, then the reply's bytes).
 */
static void list_command(const char *name, struct list_cmd *cmd, size_t size)
{
	unsigned char buf[2048];
	ssize_t n, i;
	int fd = open(PROC_DIR "netlink", O_RDWR);

	if (fd < 0)
		die("open netlink");
	cmd->type = LIST_TYPE;
	if (write(fd, cmd, sizeof(cmd->type) + size) != (ssize_t)(sizeof(cmd->type) + size))
		die("write List command");
	n = read(fd, buf, sizeof(buf));
	if (n < 0)
		die("read reply");
	printf("BOOT nl %s ", name);
	if (n == 0)
		printf("none");
	for (i = 0; i < n; i++)
		printf("%02x", buf[i]);
	printf("\n");
	if (read(fd, buf, sizeof(buf)) != 0)
		printf("BOOT nl %s more-than-one-reply\n", name);
	close(fd);
}

static uint32_t host_addr(const char *ip)
{
	return ntohl(addr_of(ip, 0).sin_addr.s_addr);
}

/* Clears the command and sets its eight header words. */
static void list_header(struct list_cmd *c, uint32_t cmd, uint32_t arg, uint32_t len,
			uint32_t num, uint32_t aux1, uint32_t aux2, uint32_t aux3, uint32_t pid)
{
	const uint32_t word[8] = { cmd, arg, len, num, aux1, aux2, aux3, pid };

	memset(c, 0, sizeof(*c));
	memcpy(c->word, word, sizeof(word));
}

/* Range i of a command: word 0 (not read), first and last address in host byte order. */
static void list_range(struct list_cmd *c, int i, uint32_t unused, const char *first,
		       const char *last)
{
	c->word[8 + 3 * i] = unused;
	c->word[9 + 3 * i] = host_addr(first);
	c->word[10 + 3 * i] = host_addr(last);
}

static void list_commands(void)
{
	struct list_cmd cmd;

	/* rule flag on; num, aux1 and aux3 are not read and come back as 0, 0 and 4 */
	list_header(&cmd, 16, 1, 32, 5, 7, 0xa5a5a5a5, 9, 4242);
	list_command("rule", &cmd, 32);
	/* one range of one address: the listed LAN host */
	list_header(&cmd, 17, 0x55, 32 + 12, 1, 0xffffffff, 0x11223344, 0xffffffff, 4243);
	list_range(&cmd, 0, 0xdeadbeef, LISTED_HOST, LISTED_HOST);
	list_command("add", &cmd, 32 + 12);
	/* two ranges announced, three held: refused without a reply */
	list_header(&cmd, 17, 0, 32 + 3 * 12, 2, 0, 0, 0, 4244);
	list_range(&cmd, 0, 0, "192.168.1.60", "192.168.1.60");
	list_range(&cmd, 1, 0, "192.168.1.61", "192.168.1.61");
	list_range(&cmd, 2, 0, "192.168.1.62", "192.168.1.62");
	list_command("mismatch", &cmd, 32 + 3 * 12);
	/* an unknown command: ignored */
	list_header(&cmd, 18, 0, 32, 0, 0, 0, 0, 4245);
	list_command("unknown", &cmd, 32);
}

static void dump(const char *file, const char *tag)
{
	char line[512];
	FILE *f = fopen(file, "r");

	if (!f)
		die(file);
	while (fgets(line, sizeof(line), f))
		printf("BOOT %s %s", tag, line);
	fclose(f);
}

/* A DNS query for example.com, type A. */
static const unsigned char dns_query[] = {
	0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
	7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0x00, 0x01, 0x00, 0x01
};

static void traffic(void)
{
	unsigned char dns_answer[sizeof(dns_query)];
	char *big_response, *big_request;

	list_commands();

	/* a web video: the server's response names a video type */
	tcp_exchange(LAN_HOST, 40080, 80,
		     "GET /clip.mp4 HTTP/1.1\r\nHost: media.example\r\n\r\n",
		     "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 16\r\n\r\n"
		     "0123456789abcdef");
	/* a DNS query from the LAN host and its answer */
	memcpy(dns_answer, dns_query, sizeof(dns_query));
	dns_answer[2] |= 0x80;
	udp_exchange(40053, 53, dns_query, sizeof(dns_query), dns_answer, sizeof(dns_answer));
	/* a PPTP tunnel opened from the LAN side */
	tcp_exchange(LAN_HOST, 40723, 1723, NULL, NULL);
	/* a mail server's greeting */
	tcp_exchange(LAN_HOST, 40025, 25, NULL, "220 mail.example ESMTP ready\r\n");
	/* a host on the address list while the rule flag is 1 */
	tcp_exchange(LISTED_HOST, 40081, 8081, "hello\n", "hello\n");

	/* large segments, held in page fragments: a web video response and a conference */
	big_response = large_text("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n\r\n", 30000);
	tcp_exchange(LAN_HOST, 40082, 80, "GET /big.mp4 HTTP/1.1\r\nHost: media.example\r\n\r\n",
		     big_response);
	big_request = large_text("facemeetingv2.1#", 30000);
	tcp_exchange(LAN_HOST, 40083, 9000, big_request, NULL);
	free(big_response);
	free(big_request);

	dump(PROC_DIR "status", "status");
	dump(PROC_DIR "packets", "pkt");
	dump(PROC_DIR "conns", "conn");
	printf("BOOT traffic done\n");
}

/* Keeps the packet path busy on every processor while the hooks are cleared. */
static void flood(void)
{
	struct sockaddr_in server = addr_of(WAN_HOST, 9998);
	int sfd = bound_socket(SOCK_DGRAM, WAN_HOST, 9998);
	int cfd = bound_socket(SOCK_DGRAM, LAN_HOST, 40998);
	struct timespec start, now;
	long sent = 0;

	clock_gettime(CLOCK_MONOTONIC, &start);
	do {
		if (sendto(cfd, "flood", 5, 0, (struct sockaddr *)&server, sizeof(server)) < 0 &&
		    errno != ENOBUFS && errno != EAGAIN)
			die("sendto");
		sent++;
		clock_gettime(CLOCK_MONOTONIC, &now);
	} while (now.tv_sec - start.tv_sec < 3 && sent < 200000);
	close(cfd);
	close(sfd);
	printf("BOOT flood sent %ld\n", sent);
}

static void after(void)
{
	udp_exchange(40999, 9999, "after", 5, NULL, 0);
	dump(PROC_DIR "status", "after-status");
	dump(PROC_DIR "packets", "after-pkt");
	printf("BOOT after done\n");
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc == 2 && strcmp(argv[1], "traffic") == 0)
		traffic();
	else if (argc == 2 && strcmp(argv[1], "flood") == 0)
		flood();
	else if (argc == 2 && strcmp(argv[1], "after") == 0)
		after();
	else {
		fprintf(stderr, "usage: guest traffic|flood|after\n");
		return 2;
	}
	return 0;
}
