#ifndef _KSTUB_LINUX_MODULE_H
#define _KSTUB_LINUX_MODULE_H
/*
 * Module entry points and module information. The module's information strings are
 * collected by the host runtime (kstub_modinfo in kstub/kstub.h), as modinfo reads them
 * from the .ko on the router.
 */
#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/moduleparam.h>

struct module;
#define THIS_MODULE ((struct module *)0)

KSTUB_BEGIN_DECLS
int init_module(void);
void cleanup_module(void);
void kstub_modinfo_add(const char *tag, const char *value);
KSTUB_END_DECLS

#define __KSTUB_CAT2(a, b) a##b
#define __KSTUB_CAT(a, b) __KSTUB_CAT2(a, b)
#define MODULE_INFO(tag, info) \
	static void __attribute__((constructor)) __KSTUB_CAT(__kstub_modinfo_, __LINE__)(void) \
	{ kstub_modinfo_add(#tag, info); }
#define MODULE_LICENSE(x) MODULE_INFO(license, x)
#define MODULE_DESCRIPTION(x) MODULE_INFO(description, x)
#define MODULE_ALIAS(x) MODULE_INFO(alias, x)
#define MODULE_AUTHOR(x) MODULE_INFO(author, x)
#define MODULE_VERSION(x) MODULE_INFO(version, x)

#define module_init(fn) int init_module(void) __attribute__((alias(#fn)));
#define module_exit(fn) void cleanup_module(void) __attribute__((alias(#fn)));

#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)

#endif
