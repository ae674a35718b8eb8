#ifndef _KSTUB_LINUX_STRING_H
#define _KSTUB_LINUX_STRING_H
/* The kernel's own string routines; on the host the compiler's built-ins stand for them. */
#include <linux/types.h>
#include <linux/compiler.h>

#ifdef __cplusplus
#include <string.h>
#else
void *memcpy(void *dest, const void *src, __SIZE_TYPE__ n);
void *memmove(void *dest, const void *src, __SIZE_TYPE__ n);
void *memset(void *s, int c, __SIZE_TYPE__ n);
int memcmp(const void *a, const void *b, __SIZE_TYPE__ n);
__SIZE_TYPE__ strlen(const char *s);
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, __SIZE_TYPE__ n);
char *strchr(const char *s, int c);
char *strstr(const char *haystack, const char *needle);
#endif

#endif
