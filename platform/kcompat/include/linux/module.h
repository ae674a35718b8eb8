/*
 * Module information. A kernel build writes a module's vermagic and depends itself, from
 * the tree it builds against and from the symbols the module takes from other modules. A
 * module whose own source also names them for its router target would carry two of each,
 * its own first, and the loader reads the first vermagic: it would refuse the module. Here
 * those two tags of a source's MODULE_INFO are kept as target_vermagic and target_depends,
 * so modinfo still shows what the source was written for; every other tag is unchanged.
 */
#include_next <linux/module.h>

#ifndef _KCOMPAT_LINUX_MODULE_H
#define _KCOMPAT_LINUX_MODULE_H

/* A tag with a probe below expands to "0, new name"; any other leaves its probe unexpanded. */
#define __kcompat_modinfo_vermagic 0, target_vermagic
#define __kcompat_modinfo_depends 0, target_depends
#define __kcompat_second(first, second, ...) second
#define __kcompat_pick(args...) __kcompat_second(args)
#define __kcompat_tag_of(probe, tag) __kcompat_pick(probe, tag, ~)
#define __kcompat_tag(tag) __kcompat_tag_of(__kcompat_modinfo_##tag, tag)

#undef MODULE_INFO
#define MODULE_INFO(tag, info) __MODULE_INFO(__kcompat_tag(tag), tag, info)

#endif
