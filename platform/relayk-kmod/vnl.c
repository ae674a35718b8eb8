/*
 * Virtual netlink: messages from user space, multiplexed by a message type number to the
 * receiver registered for it, and the replies that receivers send back.
 *
 * User space writes one message per write() to /proc/relayk_standin/netlink: a u32 message
 * type, then the message itself, whose 32-byte header holds its total length at offset 8
 * (all in the processor's byte order). A message shorter than its header or than the length
 * it states is refused with EINVAL, a type without a receiver with ENOENT. Each read()
 * takes the oldest reply: a u32 port id, a u32 length and the u32 size value the receiver
 * passed, then the reply's bytes; it reads 0 bytes when there is none and fails with
 * EMSGSIZE, keeping the reply, when the buffer cannot hold it whole.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>

#include "frame/relayk_if.h"
#include "relayk_standin.h"

#define RS_VNL_TYPES 8
#define RS_VNL_HEADER 32
#define RS_VNL_MAX_MSG 65536
#define RS_VNL_MAX_REPLIES 64

struct rs_vnl_reg {
	int type;
	relayk_nl_receiver rcv; /* NULL: free slot */
};

struct rs_vnl_reply {
	struct list_head list;
	u32 pid;
	u32 len;
	u32 size;
	u8 data[];
};

/* rs_vnl_mutex guards the receivers and is held while one runs, so unregist waits for it. */
static DEFINE_MUTEX(rs_vnl_mutex);
static struct rs_vnl_reg rs_vnl_regs[RS_VNL_TYPES];

/* rs_reply_lock guards the reply queue; receivers send under spin locks of their own. */
static DEFINE_SPINLOCK(rs_reply_lock);
static LIST_HEAD(rs_replies);
static unsigned int rs_nreplies;

static struct rs_vnl_reg *rs_vnl_find(int type)
{
	int i;

	for (i = 0; i < RS_VNL_TYPES; i++) {
		if (rs_vnl_regs[i].rcv && rs_vnl_regs[i].type == type)
			return &rs_vnl_regs[i];
	}
	return NULL;
}

int virtual_netlink_regist(int type, relayk_nl_receiver rcv)
{
	struct rs_vnl_reg *reg;
	int i, err = -ENOSPC;

	if (!rcv)
		return -EINVAL;
	mutex_lock(&rs_vnl_mutex);
	reg = rs_vnl_find(type);
	if (reg) {
		err = -EBUSY;
		goto out;
	}
	for (i = 0; i < RS_VNL_TYPES; i++) {
		if (!rs_vnl_regs[i].rcv) {
			rs_vnl_regs[i].type = type;
			rs_vnl_regs[i].rcv = rcv;
			err = 0;
			break;
		}
	}
out:
	mutex_unlock(&rs_vnl_mutex);
	return err;
}
EXPORT_SYMBOL(virtual_netlink_regist);

int virtual_netlink_unregist(int type)
{
	struct rs_vnl_reg *reg;
	int err = -ENOENT;

	mutex_lock(&rs_vnl_mutex);
	reg = rs_vnl_find(type);
	if (reg) {
		reg->rcv = NULL;
		err = 0;
	}
	mutex_unlock(&rs_vnl_mutex);
	return err;
}
EXPORT_SYMBOL(virtual_netlink_unregist);

/* Copies the reply before it returns; may be called with spin locks held. */
int virtual_netlink_send(u32 pid, void *buf, int len, int size)
{
	struct rs_vnl_reply *r;

	if (len < 0 || len > RS_VNL_MAX_MSG)
		return -EINVAL;
	r = kmalloc(sizeof(*r) + len, GFP_ATOMIC);
	if (!r)
		return -ENOMEM;
	r->pid = pid;
	r->len = len;
	r->size = size;
	memcpy(r->data, buf, len);
	spin_lock_bh(&rs_reply_lock);
	if (rs_nreplies == RS_VNL_MAX_REPLIES) {
		spin_unlock_bh(&rs_reply_lock);
		kfree(r);
		return -ENOBUFS;
	}
	list_add_tail(&r->list, &rs_replies);
	rs_nreplies++;
	spin_unlock_bh(&rs_reply_lock);
	return 0;
}
EXPORT_SYMBOL(virtual_netlink_send);

static ssize_t rs_vnl_write(struct file *file, const char __user *ubuf, size_t count,
			    loff_t *ppos)
{
	struct rs_vnl_reg *reg;
	u32 type, stated;
	size_t size;
	void *msg;
	ssize_t ret;

	if (count < sizeof(type) + RS_VNL_HEADER || count > sizeof(type) + RS_VNL_MAX_MSG)
		return -EINVAL;
	size = count - sizeof(type);
	if (copy_from_user(&type, ubuf, sizeof(type)))
		return -EFAULT;
	msg = kmalloc(size, GFP_KERNEL);
	if (!msg)
		return -ENOMEM;
	if (copy_from_user(msg, ubuf + sizeof(type), size)) {
		ret = -EFAULT;
		goto out;
	}
	/* the receiver may read as far as the length its header states */
	memcpy(&stated, (u8 *)msg + 8, sizeof(stated));
	if (stated > size) {
		ret = -EINVAL;
		goto out;
	}
	mutex_lock(&rs_vnl_mutex);
	reg = rs_vnl_find((int)type);
	if (reg) {
		reg->rcv(msg);
		ret = count;
	} else {
		ret = -ENOENT;
	}
	mutex_unlock(&rs_vnl_mutex);
out:
	kfree(msg);
	return ret;
}

static ssize_t rs_vnl_read(struct file *file, char __user *ubuf, size_t count, loff_t *ppos)
{
	struct rs_vnl_reply *r;
	u32 head[3];
	size_t need;

	spin_lock_bh(&rs_reply_lock);
	r = list_first_entry_or_null(&rs_replies, struct rs_vnl_reply, list);
	if (r) {
		need = sizeof(head) + r->len;
		if (count < need) {
			spin_unlock_bh(&rs_reply_lock);
			return -EMSGSIZE;
		}
		list_del(&r->list);
		rs_nreplies--;
	}
	spin_unlock_bh(&rs_reply_lock);
	if (!r)
		return 0;
	head[0] = r->pid;
	head[1] = r->len;
	head[2] = r->size;
	if (copy_to_user(ubuf, head, sizeof(head)) ||
	    copy_to_user(ubuf + sizeof(head), r->data, r->len)) {
		kfree(r);
		return -EFAULT;
	}
	kfree(r);
	return need;
}

static const struct proc_ops rs_vnl_ops = {
	.proc_read = rs_vnl_read,
	.proc_write = rs_vnl_write,
	.proc_lseek = noop_llseek,
};

void rs_vnl_show(struct seq_file *m)
{
	int i, n = 0;

	mutex_lock(&rs_vnl_mutex);
	seq_puts(m, "netlink");
	for (i = 0; i < RS_VNL_TYPES; i++) {
		if (rs_vnl_regs[i].rcv) {
			seq_printf(m, " %d", rs_vnl_regs[i].type);
			n++;
		}
	}
	if (!n)
		seq_puts(m, " none");
	mutex_unlock(&rs_vnl_mutex);
	spin_lock_bh(&rs_reply_lock);
	seq_printf(m, "\nreplies %u\n", rs_nreplies);
	spin_unlock_bh(&rs_reply_lock);
}

int rs_vnl_init(struct proc_dir_entry *dir)
{
	return proc_create("netlink", 0600, dir, &rs_vnl_ops) ? 0 : -ENOMEM;
}

void rs_vnl_exit(void)
{
	struct rs_vnl_reply *r, *next;

	list_for_each_entry_safe(r, next, &rs_replies, list) {
		list_del(&r->list);
		kfree(r);
	}
	rs_nreplies = 0;
}
