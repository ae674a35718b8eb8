#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/fatal.h"

namespace core {
namespace {

void refuse(const std::string& path, const std::string& why) {
  warn("refusing %s: %s", path.c_str(), why.c_str());
}

// Whether someone other than the daemon's user (or root) may put a link at path: its folder
// is writable by group or others, or belongs to another user. When the folder cannot be
// looked at, the answer is yes.
bool folder_open_to_others(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string folder = ".";
  if (slash == 0) folder = "/";
  if (slash != std::string::npos && slash > 0) folder = path.substr(0, slash);
  struct stat st{};
  if (stat(folder.c_str(), &st) != 0) return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != geteuid());
}

// Writes the size bytes at data from the start of the file behind fd.
bool write_from_start(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  off_t at = 0;
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Whether no one but the caller holds the file behind fd open, counting mappings: the kernel
// grants a write lease only then. The lease is given back at once, so no one's open waits.
bool held_by_caller_alone(int fd) {
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return false;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  return true;
}

// The file at spare, open for writing, when it may be written again: a regular file of the
// daemon's user with the given mode and no other name, that no one else holds open (a reader of
// the version it was still sees that version whole). -1 otherwise. Never follows a link, and a
// FIFO or anything else that is not a regular file is closed unread.
int open_spare(const std::string& spare, mode_t mode) {
  const int fd = open(spare.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 &&
      (st.st_mode & 07777) == mode && held_by_caller_alone(fd)) {
    return fd;
  }
  close(fd);
  return -1;
}

// Puts the file at from in the place of the one at to, and the one at to at from, in one step;
// where there is no file at to, or the file system cannot swap names, from is renamed over to
// and leaves no file at its name. Returns 1 when swapped, 0 when renamed, -1 when neither.
int swap_into_place(const std::string& from, const std::string& to) {
  static bool can_swap = true;
  if (can_swap) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) return 1;
    if (errno == EINVAL || errno == ENOSYS) can_swap = false;
  }
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

}  // namespace

std::string spare_beside(const std::string& path) { return path + ".spare"; }

int open_fixed_file(const std::string& path) {
  // Non-blocking, so that a FIFO cannot hold the daemon in open; the descriptor is used only
  // once fstat has shown a regular file, where the flag changes nothing.
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const bool shared = folder_open_to_others(path);
  if (shared) flags |= O_NOFOLLOW;
  const int fd = open(path.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP && shared) refuse(path, "a link in a folder that other users can write");
    return -1;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    refuse(path, "not a regular file");
  } else if (st.st_uid != geteuid()) {
    refuse(path, "owned by user " + std::to_string(st.st_uid) + ", not by the daemon's user " +
                     std::to_string(geteuid()));
  } else {
    return fd;
  }
  close(fd);
  errno = EPERM;
  return -1;
}

std::FILE* open_fixed_stream(const std::string& path) {
  const int fd = open_fixed_file(path);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "r");
  if (f == nullptr) close(fd);
  return f;
}

int create_temp_beside(const std::string& path, mode_t mode, std::string& temp) {
  std::string name = path + ".XXXXXX";
  // mkostemp creates with O_EXCL: a link, FIFO or file already at the chosen name makes it
  // choose another, never open what is there.
  const int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return -1;
  if (fchmod(fd, mode) != 0) {
    close(fd);
    unlink(name.c_str());
    return -1;
  }
  temp = name;
  return fd;
}

bool replace_file(const std::string& path, const void* data, size_t size, mode_t mode,
                  bool sync) {
  std::string temp;
  const int fd = create_temp_beside(path, mode, temp);
  if (fd < 0) return false;
  bool ok = write_from_start(fd, data, size);
  if (sync) ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

bool rewrite_file(const std::string& path, const void* data, size_t size, mode_t mode) {
  const std::string spare = spare_beside(path);
  std::string temp;
  int fd = open_spare(spare, mode);
  const bool reused = fd >= 0;
  if (!reused) fd = create_temp_beside(path, mode, temp);
  if (fd < 0) return false;
  // A reused file may be longer than the new text.
  bool ok = write_from_start(fd, data, size) &&
            (!reused || ftruncate(fd, static_cast<off_t>(size)) == 0);
  ok = close(fd) == 0 && ok;
  const std::string& written = reused ? spare : temp;
  const int placed = ok ? swap_into_place(written, path) : -1;
  if (placed < 0 && reused) return false;  // a spare of unpublished bytes is written again
  if (placed < 0) {
    unlink(temp.c_str());
    return false;
  }
  // The version before now lies at the temporary's name: it becomes the spare, in place of a
  // spare that someone still reads.
  if (placed == 1 && !reused && rename(temp.c_str(), spare.c_str()) != 0) unlink(temp.c_str());
  return true;
}

}  // namespace core
