// The account file on arbitrary contents, compared with a plain reading of the format: one
// entry per line of at most 255 characters (the rest of a longer line is dropped), fields
// split at every blank and line feed, daily-limited lines skipped when the multi-user flag
// is set. The first input byte's low bit is the multi-user flag; the whole input is the file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "auth/accounts_file.h"
#include "core/paths.h"
#include "core/settings.h"
#include "harness.h"
#include "store/record.h"

namespace {

struct Expected {
  std::string name;
  bool daily;
};

// The lines as the file holds them: each up to its line feed, cut to 255 characters; the
// text of a line ends at its first NUL, as a C string would.
std::vector<Expected> reference(const uint8_t* data, size_t size, bool multi_user) {
  std::vector<Expected> out;
  size_t at = 0;
  while (at < size) {
    size_t end = at;
    while (end < size && data[end] != '\n') ++end;
    const size_t stored = std::min(end - at + (end < size ? 1 : 0), size_t{255});
    std::string line(reinterpret_cast<const char*>(data + at), stored);
    line = line.substr(0, line.find('\0'));
    at = end + 1;

    std::vector<std::string> fields;
    size_t p = 0;
    while (fields.size() < 5) {
      const size_t q = line.find_first_of(" \n", p);
      fields.push_back(line.substr(p, q == std::string::npos ? std::string::npos : q - p));
      if (q == std::string::npos) break;
      p = q + 1;
    }
    bool daily = false;
    if (fields.size() >= 4) {
      const std::string limit = fields[3].substr(0, 15);
      daily = limit != "*" && limit.size() <= 2;
    }
    if (multi_user && daily) continue;
    out.push_back({fields[0].substr(0, 63), daily});
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  const bool multi_user = size > 0 && (data[0] & 1) != 0;
  core::g_settings.multi_user = multi_user ? 1 : 0;
  const std::string path = fuzz::write_fixed(core::kAccountFile, data, size);

  store::UserTable accounts;
  const int count = auth::load_accounts(path.c_str(), accounts);
  const std::vector<Expected> want = reference(data, size, multi_user);

  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<size_t>(count) == accounts.records.size());
  FUZZ_CHECK(accounts.records.size() == want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const store::OnlineUserRecord& r = accounts.records[i];
    FUZZ_CHECK(r.name == want[i].name);
    FUZZ_CHECK((r.limit_mode == store::LIMIT_DAILY) == want[i].daily);
    FUZZ_CHECK(r.note.size() <= 63);
    FUZZ_CHECK(r.kind == KIND_CLIENT_IP && r.online == 0);
  }
  return 0;
}
