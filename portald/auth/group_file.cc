#include "auth/group_file.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/files.h"
#include "core/paths.h"
#include "nvram.h"

namespace auth {
namespace {

constexpr size_t kNotFound = std::string::npos;
// A group line is a few kilobytes at most; a larger file is not one of ours to rewrite.
constexpr off_t kMaxFileSize = 1 << 20;

// Where the address list starts: right after the second blank.
size_t list_start(const std::string& c) {
  const size_t first = c.find(' ');
  if (first == kNotFound) return kNotFound;
  const size_t second = c.find(' ', first + 1);
  return second == kNotFound ? kNotFound : second + 1;
}

// The position of addr as an element of the list: preceded by the list's opening blank or a
// comma, followed by a comma, a blank or the end of the text. kNotFound when absent.
size_t find_element(const std::string& c, const std::string& addr) {
  const size_t start = list_start(c);
  if (start == kNotFound || addr.empty()) return kNotFound;
  for (size_t at = c.find(addr, start); at != kNotFound; at = c.find(addr, at + 1)) {
    const bool opens = at == start || c[at - 1] == ',';
    const size_t after = at + addr.size();
    const bool closes = after == c.size() || c[after] == ',' || c[after] == ' ';
    if (opens && closes) return at;
  }
  return kNotFound;
}

size_t nth_blank(const std::string& c, int n) {
  size_t at = kNotFound;
  for (int i = 0; i < n; ++i) {
    at = c.find(' ', at == kNotFound ? 0 : at + 1);
    if (at == kNotFound) return kNotFound;
  }
  return at;
}

// Only the daemon's user may read or change the file, as when it was first created.
constexpr mode_t kGroupFileMode = 0700;

// A failure between the write and the rename never loses the file.
void replace_group_file(const std::string& path, const std::string& content) {
  core::replace_file(path, content.data(), content.size(), kGroupFileMode, true);
}

std::string new_group_content(const std::string& addr) {
  const char* max = nvram_get("GROUPIP_NUM_MAX");
  const bool missing = max == nullptr;
  const int group = (missing ? 0 : std::atoi(max)) + 1;
  char number[16];
  std::snprintf(number, sizeof(number), "%d", group);
  if (missing || std::string(max) != number) nvram_set("GROUPIP_NUM_MAX", number);
  nvram_commit();
  char line[100];
  std::snprintf(line, sizeof(line), "%s%d %s %s  \n", "group", group, "Email_Auth",
                addr.c_str());
  return line;
}

}  // namespace

bool group_content_update(int op, const std::string& addr, std::string& c) {
  if (op == GROUP_ADD) {
    if (find_element(c, addr) != kNotFound) return false;
    const size_t third = nth_blank(c, 3);
    if (third == kNotFound) return false;
    c.replace(third, kNotFound, "," + addr + " \n");
    return true;
  }
  if (op != GROUP_REMOVE) return false;
  const size_t at = find_element(c, addr);
  if (at == kNotFound) return false;
  const size_t after = at + addr.size();
  const bool comma_follows = after < c.size() && c[after] == ',';
  if (comma_follows) {
    c.erase(at, addr.size() + 1);
    return true;
  }
  if (at == list_start(c)) return false;  // the only address stays
  // The last of several: the comma before it becomes the blank that ends the line.
  c.replace(at - 1, kNotFound, " \n");
  return true;
}

int group_file_update(int op, uint32_t addr) {
  const std::string path = core::fixed_path(core::kEmailGroupFile);
  in_addr a{};
  a.s_addr = addr;
  const std::string text = inet_ntoa(a);

  const int fd = core::open_fixed_file(path);
  if (fd < 0 && errno != ENOENT) return -1;
  struct stat st{};
  if (fd >= 0 && fstat(fd, &st) != 0) {
    close(fd);
    return -1;
  }
  // A missing file is started empty, as an empty one.
  if (fd < 0 || st.st_size == 0) {
    if (fd >= 0) close(fd);
    if (op == GROUP_ADD) {
      replace_group_file(path, new_group_content(text));
    } else if (fd < 0) {
      replace_group_file(path, "");
    }
    return 0;
  }
  if (st.st_size < 0 || st.st_size > kMaxFileSize) {
    close(fd);
    return -1;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  std::vector<char> buf(size + 50);
  const ssize_t got = read(fd, buf.data(), size);
  close(fd);
  if (got < 0 || static_cast<size_t>(got) != size) return -1;
  // The text ends at its first NUL, as a C string of the content would.
  std::string content(buf.data(), strnlen(buf.data(), static_cast<size_t>(got)));
  if (group_content_update(op, text, content)) replace_group_file(path, content);
  return 0;
}

}  // namespace auth
