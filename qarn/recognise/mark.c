#include <linux/types.h>

#include "recognise/mark.h"

/* prio_group to prio_class; a group not named here gives 65. */
static const u8 qarn_prio_table[64] = {
	[1] = 1, [5] = 4, [10] = 3, [11] = 4, [12] = 2,
	[50] = 5, [51] = 6, [53] = 8, [55] = 7, [57] = 9,
};

u32 qarn_prio_of_group(u32 prio_group)
{
	if (prio_group >= 64 || !qarn_prio_table[prio_group])
		return 65;
	return qarn_prio_table[prio_group];
}
