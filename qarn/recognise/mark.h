#ifndef QARN_RECOGNISE_MARK_H
#define QARN_RECOGNISE_MARK_H
/*
 * The Application mark: bits 0-9 app_id, 10-15 prio_group, 16-21 app_class; bits 22-31
 * belong to others and are kept by every change except those that replace the whole word.
 */
#include <linux/types.h>

#define QARN_MARK_KEPT 0xffc00000u
#define QARN_APP_ID(mark) ((mark) & 0x3ffu)
#define QARN_PRIO_GROUP(mark) (((mark) >> 10) & 0x3fu)
#define QARN_APP_CLASS(mark) (((mark) >> 16) & 0x3fu)

/* Classes with a meaning of their own. */
#define QARN_CLASS_UNSETTLED 3 /* classify again on the next packet */
#define QARN_CLASS_OUTSIDE 12  /* settled outside recognition */
#define QARN_CLASS_VPN 13
#define QARN_CLASS_EXEMPT 63   /* host on the address list */

/* Sets class, group and id; bits 22-31 keep their value. */
static inline u32 qarn_mark_set(u32 mark, u32 app_class, u32 group, u32 id)
{
	return (mark & QARN_MARK_KEPT) | (app_class & 0x3fu) << 16 | (group & 0x3fu) << 10 |
	       (id & 0x3ffu);
}

/* Sets class and group; id and bits 22-31 keep their value. */
static inline u32 qarn_mark_set_class_group(u32 mark, u32 app_class, u32 group)
{
	return qarn_mark_set(mark, app_class, group, QARN_APP_ID(mark));
}

/* Sets the class alone. */
static inline u32 qarn_mark_set_class(u32 mark, u32 app_class)
{
	return qarn_mark_set(mark, app_class, QARN_PRIO_GROUP(mark), QARN_APP_ID(mark));
}

/* The Priority table: prio_class of a prio_group (65 for a group it does not name). */
u32 qarn_prio_of_group(u32 prio_group);

#endif
