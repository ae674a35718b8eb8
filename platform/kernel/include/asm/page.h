#ifndef _KSTUB_ASM_PAGE_H
#define _KSTUB_ASM_PAGE_H
#define PAGE_SHIFT 12
#define PAGE_SIZE (1UL << PAGE_SHIFT)
#define PAGE_MASK (~(PAGE_SIZE - 1))

/* The page order of an allocation of size bytes. */
static inline int get_order(unsigned long size)
{
	int order = 0;

	size = (size - 1) >> (PAGE_SHIFT - 1);
	do {
		size >>= 1;
		order++;
	} while (size);
	return order - 1;
}
#endif
