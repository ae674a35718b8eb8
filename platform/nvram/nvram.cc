// The file-backed nvram store.
//
// The library keeps a view of the backing file (its lines, in file order, and the values they
// give) and, over it, the values set or unset in this process and not yet committed. Every
// call first compares the file's identity (device, inode, size, modification and change
// times) with the one last read and re-reads the file when it differs, so commits of other
// processes are seen; pending changes are laid over the new contents, never dropped.
//
// A commit holds an exclusive flock on the file's folder while it re-reads the file, writes
// the merged contents to a temporary file in the same folder and renames it over the old
// one, so two processes committing at once cannot lose each other's keys. Comments and lines
// without '=' stay where they were; a key keeps the place of its first line.
#include "nvram.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kDefaultFile[] = "/etc/nvram.conf";

struct FileId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};

  bool operator==(const FileId& o) const {
    if (exists != o.exists) return false;
    if (!exists) return true;
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct Line {
  std::string text;  // the whole line without its line feed
  std::string key;   // empty for comments and lines without '='
};

struct Store {
  std::mutex mu;
  std::string path;        // backing file the view below belongs to
  bool loaded = false;
  FileId id;
  std::vector<Line> lines;                                  // file contents, in order
  std::map<std::string, std::string> file_values;           // what the file says
  std::map<std::string, std::optional<std::string>> pending;  // set (value) or unset (none)
  std::map<std::string, std::string> values;                // file_values with pending over it
};

Store& store() {
  static Store s;
  return s;
}

std::string backing_path() {
  const char* p = std::getenv("NVRAM_FILE");
  return (p && *p) ? p : kDefaultFile;
}

FileId stat_id(const std::string& path) {
  FileId id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
  }
  return id;
}

// Splits a line into key and value; false for lines the store ignores.
bool split_line(const std::string& text, std::string* key, std::string* value) {
  if (text.empty() || text[0] == '#') return false;
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *key = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

// Recomputes the merged values, touching only entries that change so that pointers handed
// out for unchanged keys stay good.
void merge(Store& s) {
  std::map<std::string, std::string> want = s.file_values;
  for (const auto& p : s.pending) {
    if (p.second)
      want[p.first] = *p.second;
    else
      want.erase(p.first);
  }
  for (auto it = s.values.begin(); it != s.values.end();) {
    if (want.count(it->first))
      ++it;
    else
      it = s.values.erase(it);
  }
  for (auto& w : want) {
    auto it = s.values.find(w.first);
    if (it == s.values.end())
      s.values.emplace(w.first, std::move(w.second));
    else if (it->second != w.second)
      it->second = std::move(w.second);
  }
}

// Reads the file into the view. A missing file is an empty store.
void read_file(Store& s) {
  s.lines.clear();
  s.file_values.clear();
  // The identity is taken before reading: a change during the read shows at the next call.
  s.id = stat_id(s.path);
  FILE* f = std::fopen(s.path.c_str(), "r");
  if (f) {
    std::string cur;
    int c;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
      any = true;
      if (c == '\n') {
        s.lines.push_back(Line{cur, ""});
        cur.clear();
        any = false;
      } else {
        cur.push_back(static_cast<char>(c));
      }
    }
    if (any) s.lines.push_back(Line{cur, ""});
    std::fclose(f);
  } else {
    s.id = FileId();
  }
  for (auto& l : s.lines) {
    std::string key, value;
    if (split_line(l.text, &key, &value)) {
      l.key = key;
      s.file_values[key] = value;  // a later line for the same key wins
    }
  }
  s.loaded = true;
  merge(s);
}

// Brings the view up to date with the file; called with the lock held.
void refresh(Store& s) {
  std::string path = backing_path();
  if (!s.loaded || path != s.path) {
    // Another backing file is another store: nothing pending carries over.
    if (path != s.path) {
      s.pending.clear();
      s.values.clear();
    }
    s.path = path;
    read_file(s);
    return;
  }
  if (!(stat_id(s.path) == s.id)) read_file(s);
}

std::string render(const Store& s) {
  std::string out;
  std::map<std::string, bool> written;
  for (const auto& l : s.lines) {
    if (l.key.empty()) {
      out += l.text;
      out += '\n';
      continue;
    }
    if (written.count(l.key)) continue;  // a repeated key keeps its first place only
    written[l.key] = true;
    auto it = s.values.find(l.key);
    if (it == s.values.end()) continue;
    out += l.key + "=" + it->second + "\n";
  }
  for (const auto& v : s.values) {
    if (written.count(v.first)) continue;
    out += v.first + "=" + v.second + "\n";
  }
  return out;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The file a commit replaces: the target of a symbolic link, so that the link stays.
std::string commit_target(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out = real;
  std::free(real);
  return out;
}

// Writes the merged values to a temporary file in the target's folder and renames it over
// the target.
int replace_file(Store& s, const std::string& target) {
  std::string dir = folder_of(target);
  std::string tmpl = target + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return -1;
  mode_t mode = 0644;
  struct stat st;
  if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  bool ok = fchmod(fd, mode) == 0 && write_all(fd, render(s)) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(name.data(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(name.data());
    return -1;
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

bool valid_name(const char* name) {
  if (!name || !*name || name[0] == '#') return false;
  return std::strpbrk(name, "=\n") == nullptr;
}

}  // namespace

extern "C" char* nvram_get(const char* name) {
  if (!name) return nullptr;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  refresh(s);
  auto it = s.values.find(name);
  if (it == s.values.end()) return nullptr;
  return &it->second[0];
}

extern "C" int nvram_set(const char* name, const char* value) {
  if (!valid_name(name) || !value || std::strchr(value, '\n')) return -1;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  refresh(s);
  s.pending[name] = std::string(value);
  merge(s);
  return 0;
}

extern "C" int nvram_unset(const char* name) {
  if (!valid_name(name)) return 0;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  refresh(s);
  s.pending[name] = std::nullopt;
  merge(s);
  return 0;
}

extern "C" int nvram_commit(void) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  refresh(s);
  const std::string target = commit_target(s.path);
  int dfd = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return -1;
  while (flock(dfd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(dfd);
      return -1;
    }
  }
  read_file(s);  // what other processes committed up to now, under the lock
  int rc = replace_file(s, target);
  if (rc == 0) {
    s.pending.clear();
    read_file(s);
  }
  flock(dfd, LOCK_UN);
  close(dfd);
  return rc;
}

extern "C" int nvram_foreach(void (*fn)(const char* name, const char* value, void* arg),
                             void* arg) {
  if (!fn) return 0;
  Store& s = store();
  std::map<std::string, std::string> copy;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    refresh(s);
    copy = s.values;
  }
  int n = 0;
  for (const auto& v : copy) {
    fn(v.first.c_str(), v.second.c_str(), arg);
    ++n;
  }
  return n;
}
