#ifndef _KSTUB_LINUX_SPINLOCK_H
#define _KSTUB_LINUX_SPINLOCK_H
/*
 * Spin locks and reader-writer locks. On the host they are real spinning locks built on
 * atomic operations, so threads that race on a table really contend, and ThreadSanitizer
 * sees the ordering that the lock provides. Taking a lock that the same thread already holds
 * is a deadlock on the router; here it stops the program with a message.
 * Bottom halves do not exist on the host: the _bh variants take the lock and count the
 * thread as being in atomic context (a sleeping allocation there is reported).
 */
#include <linux/types.h>
#include <linux/compiler.h>

typedef struct {
	int locked;
	const void *owner;
} spinlock_t;

typedef struct {
	int count; /* readers holding it, -1 while a writer does */
} rwlock_t;

#define __SPIN_LOCK_UNLOCKED(x) { 0, 0 }
#define SPIN_LOCK_UNLOCKED __SPIN_LOCK_UNLOCKED(old_style)
#define DEFINE_SPINLOCK(x) spinlock_t x = __SPIN_LOCK_UNLOCKED(x)
#define __RW_LOCK_UNLOCKED(x) { 0 }
#define DEFINE_RWLOCK(x) rwlock_t x = __RW_LOCK_UNLOCKED(x)

KSTUB_BEGIN_DECLS
void kstub_spin_init(spinlock_t *lock);
void kstub_spin_lock(spinlock_t *lock);
void kstub_spin_unlock(spinlock_t *lock);
int kstub_spin_is_locked(spinlock_t *lock);
void kstub_rwlock_init(rwlock_t *lock);
void kstub_read_lock(rwlock_t *lock);
void kstub_read_unlock(rwlock_t *lock);
void kstub_write_lock(rwlock_t *lock);
void kstub_write_unlock(rwlock_t *lock);
void local_bh_disable(void);
void local_bh_enable(void);
int in_atomic(void);
KSTUB_END_DECLS

#define spin_lock_init(lock) kstub_spin_init(lock)
#define spin_is_locked(lock) kstub_spin_is_locked(lock)
#define spin_lock(lock) kstub_spin_lock(lock)
#define spin_unlock(lock) kstub_spin_unlock(lock)
#define spin_lock_bh(lock) do { local_bh_disable(); kstub_spin_lock(lock); } while (0)
#define spin_unlock_bh(lock) do { kstub_spin_unlock(lock); local_bh_enable(); } while (0)
#define spin_lock_irqsave(lock, flags) do { (flags) = 0; spin_lock_bh(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) do { (void)(flags); spin_unlock_bh(lock); } while (0)

#define rwlock_init(lock) kstub_rwlock_init(lock)
#define read_lock(lock) kstub_read_lock(lock)
#define read_unlock(lock) kstub_read_unlock(lock)
#define write_lock(lock) kstub_write_lock(lock)
#define write_unlock(lock) kstub_write_unlock(lock)
#define read_lock_bh(lock) do { local_bh_disable(); kstub_read_lock(lock); } while (0)
#define read_unlock_bh(lock) do { kstub_read_unlock(lock); local_bh_enable(); } while (0)
#define write_lock_bh(lock) do { local_bh_disable(); kstub_write_lock(lock); } while (0)
#define write_unlock_bh(lock) do { kstub_write_unlock(lock); local_bh_enable(); } while (0)

#endif
