/*
 * The router's nvram store, as a file-backed library. The backing file is NVRAM_FILE
 * (default /etc/nvram.conf): one KEY=VALUE a line; the key runs to the first '=', the value
 * to the end of the line. Lines without '=' and lines beginning with '#' are ignored; a key
 * given on several lines takes the value of the last. Values set in this process and not yet
 * committed are kept in memory over whatever the file says, also when another process
 * changes the file. The store belongs to the backing file: when NVRAM_FILE names another
 * file, the former file's uncommitted values are dropped.
 */
#ifndef PLATFORM_NVRAM_H
#define PLATFORM_NVRAM_H

#ifdef __cplusplus
extern "C" {
#endif

/* The value of name as a NUL-terminated string, or NULL when the key is not set. Changes that
 * another process has committed to the file are seen. The pointer is valid until the next
 * call into this library; the caller never frees it. */
char *nvram_get(const char *name);

/* Stores a value in memory; 0 on success, -1 for a name that is empty, begins with '#' or
 * holds '=' or a line feed, or a value that is NULL or holds a line feed. */
int nvram_set(const char *name, const char *value);

/* Removes a key from memory; 0 (also when it was not set). */
int nvram_unset(const char *name);

/* Writes the stored values to the backing file atomically (temporary file in the same
 * folder and rename; through a symbolic link, its target is replaced), after reading what
 * other processes committed meanwhile, so their keys are kept. Comments and lines without
 * '=' stay. 0 on success; -1 on failure, when the values stay pending. */
int nvram_commit(void);

/* Calls fn for every key that is set (committed or not), in the order of the keys' bytes,
 * with the key, its value and arg; returns the number of keys. The strings are valid only
 * during the call. */
int nvram_foreach(void (*fn)(const char *name, const char *value, void *arg), void *arg);

#ifdef __cplusplus
}
#endif

#endif
