#ifndef _KSTUB_LINUX_MODULEPARAM_H
#define _KSTUB_LINUX_MODULEPARAM_H
/*
 * Module parameters. Each one registers itself with the host runtime before main, so the
 * replay tool and tests can set it by name as insmod and the parameter files would.
 * Only int parameters exist on the host (others fail to link).
 */
#include <linux/types.h>
#include <linux/compiler.h>

KSTUB_BEGIN_DECLS
void kstub_param_register_int(const char *name, int *value, int perm);
KSTUB_END_DECLS

#define module_param_named(name, value, type, perm) \
	static void __attribute__((constructor)) __kstub_param_##name(void) \
	{ kstub_param_register_##type(#name, &(value), (perm)); }
#define module_param(name, type, perm) module_param_named(name, name, type, perm)
#define MODULE_PARM_DESC(name, text)

#endif
