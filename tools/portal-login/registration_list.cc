#include "registration_list.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/paths.h"

namespace client {
namespace {

bool read_integer(const std::string& s, int64_t* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *v = n;
  return true;
}

}  // namespace

std::vector<OnlineClient> parse_online_list(const std::string& text) {
  std::vector<OnlineClient> list;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // Every field is followed by one blank; the last four never hold one.
    if (line.empty() || line.back() != ' ') continue;
    line.pop_back();
    std::string fields[4];
    bool ok = true;
    for (int i = 3; i >= 0 && ok; --i) {
      const size_t blank = line.rfind(' ');
      if (blank == std::string::npos) {
        ok = false;
        break;
      }
      fields[i] = line.substr(blank + 1);
      line.erase(blank);
    }
    OnlineClient c;
    if (!ok || fields[0].empty() || !read_integer(fields[2], &c.login_time) ||
        !read_integer(fields[3], &c.auth_type)) {
      continue;
    }
    c.name = line;
    c.ip = fields[0];
    c.mac = fields[1];
    list.push_back(c);
  }
  return list;
}

std::vector<OnlineClient> read_online_list() {
  std::ifstream f(core::fixed_path(core::kRegistrationFile));
  if (!f) return {};
  std::stringstream text;
  text << f.rdbuf();
  return parse_online_list(text.str());
}

bool is_online(const std::vector<OnlineClient>& list, const std::string& ip) {
  for (const OnlineClient& c : list) {
    if (c.ip == ip) return true;
  }
  return false;
}

}  // namespace client
