// The nvram command: reads and changes the store from a shell. set and unset commit at once.
#include <cstdio>
#include <cstring>
#include <string>

#include "nvram.h"

namespace {

const char kUsage[] =
    "usage: nvram get KEY        print the value of KEY (exit 1 when it is not set)\n"
    "       nvram set KEY=VALUE  store VALUE under KEY and commit\n"
    "       nvram unset KEY      remove KEY and commit\n"
    "       nvram show           print every KEY=VALUE\n"
    "       nvram commit         write the store to its file\n"
    "The store is the file NVRAM_FILE (default /etc/nvram.conf).\n";

int usage_error(const char* what) {
  std::fprintf(stderr, "nvram: %s\n%s", what, kUsage);
  return 2;
}

int commit_or_fail() {
  if (nvram_commit() != 0) {
    std::perror("nvram: cannot write the store");
    return 1;
  }
  return 0;
}

void print_pair(const char* name, const char* value, void*) {
  std::printf("%s=%s\n", name, value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2) return usage_error("missing command");
  const std::string cmd = argv[1];
  const int want = (cmd == "get" || cmd == "set" || cmd == "unset") ? 3
                   : (cmd == "show" || cmd == "commit")             ? 2
                                                                     : 0;
  if (want == 0) return usage_error(("unknown command '" + cmd + "'").c_str());
  if (argc != want)
    return usage_error((cmd + (want == 3 ? " takes one argument" : " takes no argument")).c_str());

  if (cmd == "get") {
    const char* v = nvram_get(argv[2]);
    if (!v) return 1;
    std::printf("%s\n", v);
    return 0;
  }
  if (cmd == "set") {
    const char* eq = std::strchr(argv[2], '=');
    if (!eq) return usage_error("set needs KEY=VALUE");
    const std::string key(argv[2], static_cast<size_t>(eq - argv[2]));
    if (nvram_set(key.c_str(), eq + 1) != 0)
      return usage_error("a key must be non-empty, must not begin with '#' and must hold no '=' "
                         "or line feed; a value must hold no line feed");
    return commit_or_fail();
  }
  if (cmd == "unset") {
    if (!*argv[2] || argv[2][0] == '#' || std::strpbrk(argv[2], "=\n"))
      return usage_error("unset needs a KEY");
    nvram_unset(argv[2]);
    return commit_or_fail();
  }
  if (cmd == "show") {
    nvram_foreach(print_pair, nullptr);
    return 0;
  }
  return commit_or_fail();
}
