#ifndef _KSTUB_LINUX_INIT_H
#define _KSTUB_LINUX_INIT_H
#define __init
#define __exit
#define __initdata
#define __exitdata
#endif
