/*
 * The module's identity, start-up and shut-down. The recognition hook is stored last and
 * cleared first, so packets reach it only while every table exists; clearing a hook
 * pointer waits for calls still running through it.
 *
 * Throughout the module, a comment "fixed text" above a trace line and "fixed name" at a
 * definition mark what must stay exactly as it is: the line's words, blanks, function names
 * and line numbers, and the names, are what the router's tools and its maintainers look for.
 * They are kept on purpose; do not correct them.
 */
#include <linux/module.h>
#include <linux/kernel.h>

#include "frame/list.h"
#include "frame/relayk_if.h"
#include "games/cf_srv.h"
#include "p2p/p2p.h"
#include "recognise/ftp.h"
#include "recognise/hook.h"
#include "recognise/ports.h"

#define QARN_VERSION "2.0.02(2015-03-26)"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("QARN");
MODULE_ALIAS("QARN");
MODULE_INFO(depends, "relayk");
MODULE_INFO(vermagic, "2.6.36.4 SMP mod_unload modversions ARMv7 ");

int init_module(void)
{
	/* fixed text */
	printk("QARN VR Version: %s(%s,%s), SVN Ver: r130[2015-07-22,19:32:33] \n",
	       QARN_VERSION, __DATE__, __TIME__);
	qarn_p2p_init();
	cf_srv_init();
	qarn_ftp_init();
	qarn_nl_init();
	relayk_set_check_email_dispatch(qarn_dispatch_check_email);
	relayk_set_app_dispatch_mark(app_policy_route_mark);
	relayk_set_sys_app_recognize(func_match_hook);
	return 0;
}

void cleanup_module(void)
{
	relayk_set_sys_app_recognize(NULL);
	relayk_set_app_dispatch_mark(NULL);
	relayk_set_check_email_dispatch(NULL);
	qarn_nl_exit();
	cf_srv_exit();
	qarn_p2p_exit();
}
