/*
 * The host side of the kernel runtime: printk, allocation, module parameters and module
 * information, over the C library. Definitions here match the kernel headers' prototypes.
 */
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kstub/kstub.h"

int in_atomic(void);
int printk(const char *fmt, ...);
int vprintk(const char *fmt, va_list args);
void kstub_bug(const char *file, int line, const char *what);
void *__kmalloc(size_t size, unsigned flags);
void kfree(const void *ptr);
unsigned long __get_free_pages(unsigned flags, unsigned int order);
void free_pages(unsigned long addr, unsigned int order);
void kstub_param_register_int(const char *name, int *value, int perm);
void kstub_modinfo_add(const char *tag, const char *value);

#define GFP_WAIT_BIT 0x10u
#define GFP_ZERO_BIT 0x8000u

/* log_lock guards the capture buffer and the printk mode. */
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static int log_mode = KSTUB_PRINTK_STDERR;
static char *log_buf;
static size_t log_len, log_cap;
static int log_at_line_start = 1;

#define LOG_CAPTURE_LIMIT (64u << 20)

static void log_append(const char *text, size_t n)
{
	if (log_len + n + 1 > log_cap) {
		size_t cap = log_cap ? log_cap : 4096;
		char *grown;

		while (cap < log_len + n + 1)
			cap *= 2;
		if (cap > LOG_CAPTURE_LIMIT)
			return;
		grown = realloc(log_buf, cap);
		if (!grown)
			return;
		log_buf = grown;
		log_cap = cap;
	}
	memcpy(log_buf + log_len, text, n);
	log_len += n;
	log_buf[log_len] = '\0';
}

static void log_emit(const char *text, size_t n)
{
	if (log_mode & KSTUB_PRINTK_STDERR)
		fwrite(text, 1, n, stderr);
	if (log_mode & KSTUB_PRINTK_CAPTURE)
		log_append(text, n);
}

int vprintk(const char *fmt, va_list args)
{
	char small[512];
	char *text = small;
	const char *p, *line;
	va_list again;
	int n;

	va_copy(again, args);
	n = vsnprintf(small, sizeof(small), fmt, args);
	if (n < 0) {
		va_end(again);
		return n;
	}
	if ((size_t)n >= sizeof(small)) {
		text = malloc((size_t)n + 1);
		if (!text) {
			va_end(again);
			return 0;
		}
		vsnprintf(text, (size_t)n + 1, fmt, again);
	}
	va_end(again);

	pthread_mutex_lock(&log_lock);
	p = text;
	while (*p) {
		if (log_at_line_start && p[0] == '<' && p[1] >= '0' && p[1] <= '7' && p[2] == '>')
			p += 3;
		line = p;
		while (*p && *p != '\n')
			p++;
		if (*p == '\n')
			p++;
		log_emit(line, (size_t)(p - line));
		log_at_line_start = p > line && p[-1] == '\n';
	}
	pthread_mutex_unlock(&log_lock);
	if (text != small)
		free(text);
	return n;
}

int printk(const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vprintk(fmt, args);
	va_end(args);
	return n;
}

void kstub_printk_mode(int mode)
{
	pthread_mutex_lock(&log_lock);
	log_mode = mode;
	pthread_mutex_unlock(&log_lock);
}

char *kstub_printk_take(void)
{
	char *text;

	pthread_mutex_lock(&log_lock);
	text = malloc(log_len + 1);
	if (text) {
		memcpy(text, log_buf ? log_buf : "", log_len);
		text[log_len] = '\0';
	}
	log_len = 0;
	pthread_mutex_unlock(&log_lock);
	return text;
}

void kstub_printk_clear(void)
{
	pthread_mutex_lock(&log_lock);
	log_len = 0;
	log_at_line_start = 1;
	pthread_mutex_unlock(&log_lock);
}

void kstub_bug(const char *file, int line, const char *what)
{
	fprintf(stderr, "kernel BUG at %s:%d: %s\n", file, line, what);
	abort();
}

/*
 * Allocation. Counters are atomics, not a lock, so that allocating does not order threads
 * for ThreadSanitizer and hide races between them.
 */
struct alloc_head {
	unsigned long magic;
	unsigned long order; /* page order, or ~0 for a slab object */
	unsigned long size;
	unsigned long spare;
};

#define SLAB_MAGIC 0x5ab0b1ecUL
#define PAGES_MAGIC 0x9a6e5b10UL
#define FREED_MAGIC 0xdeadf7eeUL

static long alloc_live, alloc_failures;
static long alloc_seen[2];
static long fail_from[2], fail_until[2];
static int fail_armed[2];

void kstub_alloc_fail(unsigned kinds, long skip, long count)
{
	int k;

	for (k = 0; k < 2; k++) {
		long now;

		if (!(kinds & (1u << k)))
			continue;
		now = __atomic_load_n(&alloc_seen[k], __ATOMIC_RELAXED);
		__atomic_store_n(&fail_from[k], now + skip, __ATOMIC_RELAXED);
		__atomic_store_n(&fail_until[k], count < 0 ? -1 : now + skip + count,
				 __ATOMIC_RELAXED);
		__atomic_store_n(&fail_armed[k], 1, __ATOMIC_RELAXED);
	}
}

void kstub_alloc_fail_reset(void)
{
	__atomic_store_n(&fail_armed[0], 0, __ATOMIC_RELAXED);
	__atomic_store_n(&fail_armed[1], 0, __ATOMIC_RELAXED);
}

long kstub_alloc_live(void)
{
	return __atomic_load_n(&alloc_live, __ATOMIC_RELAXED);
}

long kstub_alloc_failures(void)
{
	return __atomic_load_n(&alloc_failures, __ATOMIC_RELAXED);
}

static int alloc_should_fail(int k)
{
	long n = __atomic_fetch_add(&alloc_seen[k], 1, __ATOMIC_RELAXED);
	long until;

	if (!__atomic_load_n(&fail_armed[k], __ATOMIC_RELAXED))
		return 0;
	if (n < __atomic_load_n(&fail_from[k], __ATOMIC_RELAXED))
		return 0;
	until = __atomic_load_n(&fail_until[k], __ATOMIC_RELAXED);
	return until < 0 || n < until;
}

static void *alloc_block(int k, size_t size, unsigned flags, unsigned long order)
{
	struct alloc_head *h;

	if ((flags & GFP_WAIT_BIT) && in_atomic())
		kstub_bug(__FILE__, __LINE__, "sleeping allocation in atomic context");
	if (alloc_should_fail(k)) {
		__atomic_fetch_add(&alloc_failures, 1, __ATOMIC_RELAXED);
		return NULL;
	}
	h = malloc(sizeof(*h) + (size ? size : 1));
	if (!h) {
		__atomic_fetch_add(&alloc_failures, 1, __ATOMIC_RELAXED);
		return NULL;
	}
	h->magic = k ? PAGES_MAGIC : SLAB_MAGIC;
	h->order = order;
	h->size = size;
	h->spare = 0;
	if (flags & GFP_ZERO_BIT)
		memset(h + 1, 0, size);
	else
		memset(h + 1, 0x6b, size); /* like slab poisoning: no reliance on zeroed memory */
	__atomic_fetch_add(&alloc_live, 1, __ATOMIC_RELAXED);
	return h + 1;
}

static void free_block(const void *ptr, unsigned long magic, unsigned long order)
{
	struct alloc_head *h = (struct alloc_head *)ptr - 1;

	if (h->magic != magic)
		kstub_bug(__FILE__, __LINE__, h->magic == FREED_MAGIC ? "double free" :
			  "freeing memory that this allocator did not hand out");
	if (h->order != order)
		kstub_bug(__FILE__, __LINE__, "free_pages with another order than allocated");
	h->magic = FREED_MAGIC;
	__atomic_fetch_sub(&alloc_live, 1, __ATOMIC_RELAXED);
	free(h);
}

void *__kmalloc(size_t size, unsigned flags)
{
	return alloc_block(0, size, flags, ~0UL);
}

void kfree(const void *ptr)
{
	if (ptr)
		free_block(ptr, SLAB_MAGIC, ~0UL);
}

unsigned long __get_free_pages(unsigned flags, unsigned int order)
{
	return (unsigned long)alloc_block(1, 4096UL << order, flags, order);
}

void free_pages(unsigned long addr, unsigned int order)
{
	if (addr)
		free_block((const void *)addr, PAGES_MAGIC, order);
}

/* Module parameters and information; reg_lock guards both tables. */
static pthread_mutex_t reg_lock = PTHREAD_MUTEX_INITIALIZER;

#define MAX_PARAMS 64
static struct {
	const char *name;
	int *value;
} params[MAX_PARAMS];
static int nparams;

#define MAX_MODINFO 32
static struct {
	const char *tag;
	const char *value;
} modinfo[MAX_MODINFO];
static int nmodinfo;

void kstub_param_register_int(const char *name, int *value, int perm)
{
	(void)perm;
	pthread_mutex_lock(&reg_lock);
	if (nparams < MAX_PARAMS) {
		params[nparams].name = name;
		params[nparams].value = value;
		nparams++;
	}
	pthread_mutex_unlock(&reg_lock);
}

static int *param_find(const char *name)
{
	int *found = NULL;
	int i;

	pthread_mutex_lock(&reg_lock);
	for (i = 0; i < nparams && !found; i++)
		if (strcmp(params[i].name, name) == 0)
			found = params[i].value;
	pthread_mutex_unlock(&reg_lock);
	return found;
}

int kstub_param_set(const char *name, int value)
{
	int *p = param_find(name);

	if (!p)
		return -1;
	__atomic_store_n(p, value, __ATOMIC_RELAXED);
	return 0;
}

int kstub_param_get(const char *name, int *value)
{
	int *p = param_find(name);

	if (!p)
		return -1;
	*value = __atomic_load_n(p, __ATOMIC_RELAXED);
	return 0;
}

void kstub_modinfo_add(const char *tag, const char *value)
{
	pthread_mutex_lock(&reg_lock);
	if (nmodinfo < MAX_MODINFO) {
		modinfo[nmodinfo].tag = tag;
		modinfo[nmodinfo].value = value;
		nmodinfo++;
	}
	pthread_mutex_unlock(&reg_lock);
}

const char *kstub_modinfo(const char *tag)
{
	const char *found = NULL;
	int i;

	pthread_mutex_lock(&reg_lock);
	for (i = 0; i < nmodinfo && !found; i++)
		if (strcmp(modinfo[i].tag, tag) == 0)
			found = modinfo[i].value;
	pthread_mutex_unlock(&reg_lock);
	return found;
}
