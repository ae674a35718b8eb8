/*
 * relayk_standin: loads before qarn and gives it relayk's interface in a current kernel, for
 * tests only. Its files under /proc/relayk_standin/:
 *
 *   status   which hook pointers are set, the virtual netlink types that have a receiver,
 *            the packet path's counters and the queued replies
 *   packets  one line for each of the last packets: tuple, dir_code, the recognition hook's
 *            result, prio_class (0: not written) and the connection's mark after the hooks
 *   conns    one line for each connection the packet path has seen: tuple, packet counts,
 *            mark and relayk's counters
 *   netlink  List commands and other virtual netlink messages in, replies out (vnl.c)
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>

#include "relayk_standin.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Test stand-in for relayk: hook pointers, virtual netlink and the packet path");

static struct proc_dir_entry *rs_dir;

static int rs_status_show(struct seq_file *m, void *v)
{
	rs_path_show(m);
	rs_vnl_show(m);
	return 0;
}

static int __init rs_init(void)
{
	int err;

	rs_dir = proc_mkdir("relayk_standin", NULL);
	if (!rs_dir)
		return -ENOMEM;
	if (!proc_create_single("status", 0444, rs_dir, rs_status_show)) {
		err = -ENOMEM;
		goto undo_dir;
	}
	err = rs_vnl_init(rs_dir);
	if (err)
		goto undo_dir;
	err = rs_conn_init(rs_dir);
	if (err)
		goto undo_vnl;
	err = rs_path_init(rs_dir);
	if (err)
		goto undo_conn;
	pr_info("relayk_standin: loaded\n");
	return 0;

undo_conn:
	rs_conn_exit();
undo_vnl:
	rs_vnl_exit();
undo_dir:
	proc_remove(rs_dir);
	return err;
}

static void __exit rs_exit(void)
{
	proc_remove(rs_dir);
	rs_path_exit();
	rs_conn_exit();
	rs_vnl_exit();
}

module_init(rs_init);
module_exit(rs_exit);
