// One daemon per root: a write lock on the lock file, held from start-up until the process
// ends (the kernel drops it with the process, however it ends). A second daemon on the same
// root would unlink and take over the first one's sockets; it refuses to start instead.
#pragma once

#include <string>

namespace core {

// Takes the lock on the fixed lock file and writes the process id into it. When another
// process holds it, or the file cannot be opened as a regular file of the daemon's own user,
// ends the process with status 1, naming the file and the holder's process id.
void hold_instance_lock();

// The process id recorded in the lock file at path while a process holds its lock; 0 when
// the file is not locked or is missing; -1 when this process may not open it (the file is
// private to the daemon's user, so only that user can tell).
long lock_holder(const std::string& path);

}  // namespace core
