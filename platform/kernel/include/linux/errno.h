#ifndef _KSTUB_LINUX_ERRNO_H
#define _KSTUB_LINUX_ERRNO_H
/* The host's errno values, which are the kernel's. */
#include <asm/errno.h>
#endif
