// group_file_update on an arbitrary existing e-mail group file. Input: one byte whose low bit
// picks add or remove, four bytes of address (network byte order), then the file's content.
// Whatever the content, the file is never lost, keeps its permission bits unless the daemon
// rewrote it (then 0700, never bits taken from the old file), and an add that succeeded
// leaves a file that a second add of the same address does not change.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "auth/group_file.h"
#include "core/paths.h"
#include "harness.h"

namespace {

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  if (size < 5) return 0;
  const int op = (data[0] & 1) != 0 ? auth::GROUP_REMOVE : auth::GROUP_ADD;
  uint32_t addr;
  std::memcpy(&addr, data + 1, sizeof(addr));
  fuzz::set_nvram("GROUPIP_NUM_MAX", "4");
  const std::string path = fuzz::write_fixed(core::kEmailGroupFile, data + 5, size - 5);
  chmod(path.c_str(), 0640);

  const int result = auth::group_file_update(op, addr);
  FUZZ_CHECK(result == 0 || result == -1);
  std::string first;
  FUZZ_CHECK(read_file(path, &first));
  struct stat st{};
  FUZZ_CHECK(stat(path.c_str(), &st) == 0);
  const bool same = first == std::string(reinterpret_cast<const char*>(data + 5), size - 5);
  const mode_t mode = st.st_mode & 07777;
  FUZZ_CHECK(mode == 0700 || (same && mode == 0640));
  if (op == auth::GROUP_REMOVE) return 0;

  in_addr a{};
  a.s_addr = addr;
  const std::string text = inet_ntoa(a);
  FUZZ_CHECK(result == 0);
  if (size == 5) FUZZ_CHECK(first.compare(0, 6, "group5") == 0);
  FUZZ_CHECK(auth::group_file_update(auth::GROUP_ADD, addr) == 0);
  std::string second;
  FUZZ_CHECK(read_file(path, &second));
  FUZZ_CHECK(second == first);
  if (first != std::string(reinterpret_cast<const char*>(data + 5), size - 5))
    FUZZ_CHECK(first.find(text) != std::string::npos);
  return 0;
}
