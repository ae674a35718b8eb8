/*
 * The HTTP content classifier: the first reply packets of a connection from a web server
 * port are taken as the start of a response, and its Content-Type (or, failing a known type,
 * its X-Requester header) decides the connection's application.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/in.h>

#include "frame/params.h"
#include "recognise/apps.h"
#include "recognise/http.h"
#include "recognise/mark.h"
#include "recognise/pkt.h"

#define HTTP_MIN_PAYLOAD 20
#define HTTP_MAX_REPLY_PACKETS 9

/* The four bytes "HTTP" as one word in memory order, compared with a response's first four.
 * Fixed name. */
static const union {
	unsigned char bytes[4];
	u32 word;
} httpResponseHead = { { 'H', 'T', 'T', 'P' } };

static const unsigned char content_type[] = "Content-Type: ";
static const unsigned char x_requester[] = "X-Requester: ";

/* Download types, tested in this order. */
static const char *const download_types[] = {
	"application/zip",
	"application/octet-stream",
	"application/x-iso9660-image",
	"application/x-zip-compressed",
	"application/x-rar-compressed",
	"application/x-msdownload",
	"application/vnd.",
	"application/download",
	"application/multipart-formdata",
	"application/json;charset=utf-8",
};

const unsigned char *pre_bmbc(const unsigned char *pattern, int pattern_len, s32 *table)
{
	int i;

	for (i = 0; i < 256; i++)
		table[i] = pattern_len;
	for (i = 0; i < pattern_len - 1; i++)
		table[pattern[i]] = pattern_len - 1 - i;
	return pattern;
}

/*
 * The line-end counter sees only the byte at each window start, so a blank line that the
 * search jumps over does not end it; it stops the search after CR LF CR LF seen at four
 * successive window starts.
 */
int pattern_match(const unsigned char *text, int text_len, const unsigned char *pattern,
		  int pattern_len, unsigned char stop, int *offset, int *length)
{
	s32 table[256];
	int limit, s, k, j, q, shift;

	pre_bmbc(pattern, pattern_len, table);
	limit = text_len - pattern_len;
	if (limit < 0 || pattern_len <= 0)
		return 0;
	s = 0;
	k = 0;
	for (;;) {
		if (text[s] == '\r')
			k = (k & 1) ? 0 : k + 1;
		else if (text[s] == '\n')
			k = (k & 1) ? k + 1 : 0;
		else
			k = 0;
		if (k > 3)
			return 0;

		for (j = pattern_len - 1; j >= 0 && pattern[j] == text[s + j]; j--)
			;
		if (j < 0) {
			*offset = s + pattern_len;
			for (q = 0; *offset + q < text_len; q++) {
				if (text[*offset + q] == stop) {
					*length = q;
					return 1;
				}
			}
			return -1;
		}
		shift = table[text[s + j]] - (pattern_len - 1 - j);
		s += shift >= 1 ? shift : 1;
		if (s > limit)
			return 0;
	}
}

/*
 * Whether the value of len bytes begins with literal. A literal longer than the value cannot
 * match (the value ends at a carriage return, which no literal holds), so it is not compared
 * with the bytes after the value, which may lie past the packet's end.
 */
static int begins(const unsigned char *value, int len, const char *literal)
{
	unsigned int n = strlen(literal);

	return n <= (unsigned int)len && memcmp(value, literal, n) == 0;
}

static void http_trace_type(int line, int len, const char *what)
{
	if (qarn_debug & QARN_DEBUG_HTTP)
		/* fixed text */
		printk("[%s]:%d checklen:%d, %s\n\n", "qarn_check_http", line, len, what);
}

static void set_mark(struct nf_conn *ct, enum qarn_app app)
{
	relayk_set_ct_app_mark(ct, qarn_mark_app(relayk_ct_app_mark(ct), app));
}

/* Applies the Content-Type rules to the value v of len bytes; 0 when one wrote the mark. */
static int classify_content_type(struct nf_conn *ct, const unsigned char *payload,
				 const unsigned char *v, int len)
{
	unsigned int i;

	if (len > 4 && (begins(v, len, "text") || begins(v, len, "image"))) {
		http_trace_type(706, len, "HTTP_WEB_PAGE");
		set_mark(ct, QARN_APP_WEB_PAGE);
		return 0;
	}
	if (len > 21 && (begins(v, len, "application/javascript") ||
			 begins(v, len, "application/x-ja"))) {
		http_trace_type(713, len, "HTTP_WEB_PAGE");
		set_mark(ct, QARN_APP_WEB_PAGE);
		return 0;
	}
	if (len > 7 && (begins(v, len, "video") || begins(v, len, "audio") ||
			begins(v, len, "application/x-sh"))) {
		http_trace_type(722, len, "HTTP_WEB_VIDEO");
		set_mark(ct, QARN_APP_WEB_VIDEO);
		return 0;
	}
	if (len <= 12)
		return -1;
	for (i = 0; i < ARRAY_SIZE(download_types); i++) {
		if (!begins(v, len, download_types[i]))
			continue;
		/* bytes 9 to 11 of the response line are its status code */
		if (memcmp(payload + 9, "206", 3) == 0) {
			http_trace_type(757, len, "HTTP_WEB_P2P");
			set_mark(ct, QARN_APP_RANGED_DOWNLOAD);
		} else {
			http_trace_type(762, len, "HTTP_WEB_DOWNLOAD");
			if (qarn_debug & QARN_DEBUG_DOWNLOAD)
				/* fixed text */
				printk("%s-%d:web_download test\n", "qarn_check_wan", 1335);
			set_mark(ct, QARN_APP_WEB_DOWNLOAD);
		}
		return 0;
	}
	return -1;
}

static int lower(int c)
{
	return c >= 'A' && c <= 'Z' ? c + 'a' - 'A' : c;
}

/* Whether the value begins with literal, case ignored. */
static int begins_any_case(const unsigned char *v, int len, const char *literal)
{
	int i, n = strlen(literal);

	if (n > len)
		return 0;
	for (i = 0; i < n && lower(v[i]) == literal[i]; i++)
		;
	return i == n;
}

/*
 * The value of the first header line of a response named name (lower case; the line's name
 * in any case), blanks before it skipped: its length, or -1 when no whole line has the name
 * before the blank line that ends the header block.
 */
static int header_value(const unsigned char *t, int n, const char *name,
			const unsigned char **value)
{
	int i = 0, j, k = strlen(name);

	for (;;) {
		/* to the start of the next line */
		while (i < n && t[i] != '\n')
			i++;
		if (++i >= n || t[i] == '\r' || t[i] == '\n')
			return -1;
		if (!begins_any_case(t + i, n - i, name))
			continue;
		for (j = i + k; j < n && (t[j] == ' ' || t[j] == '\t'); j++)
			;
		*value = t + j;
		for (i = j; i < n && t[i] != '\r' && t[i] != '\n'; i++)
			;
		return i < n ? i - j : -1;
	}
}

/* The header checks while qarn_extended is 1: names in any case, JSON and PDF as web pages. */
static int check_headers_any_case(struct nf_conn *ct, const unsigned char *payload, int plen)
{
	const unsigned char *v;
	int len = header_value(payload, plen, "content-type:", &v);

	if (len > 0) {
		if (qarn_debug & QARN_DEBUG_HTTP)
			/* fixed text */
			printk("[%s]:%d match the Content-Type: , checklen:%d, offset: %.*s\n",
			       "qarn_check_http", 694, len, len, (const char *)v);
		if (begins_any_case(v, len, "application/json") ||
		    begins_any_case(v, len, "application/pdf")) {
			set_mark(ct, QARN_APP_WEB_PAGE);
			return 0;
		}
		if (classify_content_type(ct, payload, v, len) == 0)
			return 0;
	}
	len = header_value(payload, plen, "x-requester:", &v);
	if (len > 4 && memcmp(v, "GRPS", 4) == 0) {
		set_mark(ct, QARN_APP_WEB_VIDEO);
		return 0;
	}
	return -1;
}

int qarn_check_wan(struct sk_buff *skb, struct nf_conn *ct, struct qarn_flow *flow,
		   const struct iphdr *iph)
{
	unsigned char window[QARN_TEXT_WINDOW];
	const unsigned char *payload;
	unsigned int held;
	int plen = flow->payload_len;
	int off, len;
	u32 head;

	(void)skb;
	if (iph->protocol != IPPROTO_TCP || !flow->tcp)
		return -1;
	/* extended: every response of a kept-alive connection counts, not only the first */
	if (!flow->acct || (!qarn_extended && relayk_acct_packets(flow->acct, RELAYK_DIR_REPLY) >
					      HTTP_MAX_REPLY_PACKETS))
		return -1;
	if (flow->sport != 80 && flow->sport != 8080)
		return -1;
	if (plen < HTTP_MIN_PAYLOAD) {
		if (qarn_debug & QARN_DEBUG_HTTP)
			/* fixed text */
			printk("[%s]:%d len:%d, little the %d\n", "qarn_check_http", 677, plen,
			       HTTP_MIN_PAYLOAD);
		return -1;
	}
	/* the search covers what the packet holds of the payload */
	held = plen;
	payload = qarn_flow_text(flow, &held, window, sizeof(window));
	plen = held;
	if (!payload || plen < (int)sizeof(head))
		return -1;
	memcpy(&head, payload, sizeof(head));
	if (head != httpResponseHead.word) {
		if (qarn_debug & QARN_DEBUG_HTTP)
			/* fixed text */
			printk("[%s]:%d is not HTTP packet!\n", "qarn_check_http", 684);
		return -1;
	}

	if (qarn_extended)
		return check_headers_any_case(ct, payload, plen);
	if (pattern_match(payload, plen, content_type, sizeof(content_type) - 1, '\r',
			  &off, &len) == 1) {
		/* one call for the whole line: a kernel log record ends with each call */
		if (qarn_debug & QARN_DEBUG_HTTP)
			/* fixed text */
			printk("[%s]:%d match the Content-Type: , checklen:%d, offset: %.*s\n",
			       "qarn_check_http", 694, len, len, (const char *)payload + off);
		if (classify_content_type(ct, payload, payload + off, len) == 0)
			return 0;
	}

	if (pattern_match(payload, plen, x_requester, sizeof(x_requester) - 1, '\r',
			  &off, &len) == 1 &&
	    len > 4 && memcmp(payload + off, "GRPS", 4) == 0) {
		set_mark(ct, QARN_APP_WEB_VIDEO);
		return 0;
	}
	return -1;
}
