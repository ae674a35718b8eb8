#include "core/instance_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/fatal.h"
#include "core/paths.h"

namespace core {
namespace {

flock whole_file(short type) {
  flock l{};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = 0;
  l.l_len = 0;
  return l;
}

// The holder as the kernel sees it; where that process lies outside our process-id namespace
// the kernel gives 0, and the id it wrote into the file is taken instead.
long holder_of(int fd) {
  flock l = whole_file(F_WRLCK);
  if (fcntl(fd, F_GETLK, &l) != 0 || l.l_type == F_UNLCK) return 0;
  if (l.l_pid > 0) return l.l_pid;
  char text[32] = {};
  if (pread(fd, text, sizeof(text) - 1, 0) <= 0) return 0;
  return std::atol(text);
}

}  // namespace

long lock_holder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EACCES ? -1 : 0;
  const long pid = holder_of(fd);
  close(fd);
  return pid;
}

void hold_instance_lock() {
  const std::string path = fixed_path(kLockFile);
  // Never through a link, never blocking on a FIFO planted in a shared folder.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) fatal("cannot open the lock file %s: %s", path.c_str(), std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    fatal("the lock file %s is not a regular file of user %u; remove it", path.c_str(),
          static_cast<unsigned>(geteuid()));
  }
  // Nobody else may open it: a read lock that any reader could take would keep every later
  // portald from starting.
  if (fchmod(fd, 0600) != 0) {
    fatal("cannot make the lock file %s private: %s", path.c_str(), std::strerror(errno));
  }
  flock l = whole_file(F_WRLCK);
  if (fcntl(fd, F_SETLK, &l) != 0) {
    if (errno != EACCES && errno != EAGAIN) {
      fatal("cannot lock %s: %s", path.c_str(), std::strerror(errno));
    }
    const long holder = holder_of(fd);
    if (holder > 0) {
      fatal("another portald (process %ld) holds %s and serves this root's sockets; not starting",
            holder, path.c_str());
    }
    fatal("another portald holds %s and serves this root's sockets; not starting", path.c_str());
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.c_str(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    fatal("cannot write the process id into the lock file %s: %s", path.c_str(), std::strerror(errno));
  }
  // The descriptor stays open, and so the lock held, until the process ends.
}

}  // namespace core
