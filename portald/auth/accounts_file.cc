#include "auth/accounts_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/event_log.h"
#include "core/files.h"
#include "core/lines.h"
#include "core/settings.h"
#include "store/limits.h"

namespace auth {
namespace {

constexpr size_t kLineSize = 256;
constexpr size_t kMaxFields = 5;
constexpr size_t kNameWidth = 63;
constexpr size_t kLimitWidth = 15;
constexpr size_t kNoteWidth = 63;

std::string cut(const std::string& s, size_t width) { return s.substr(0, width); }

}  // namespace

std::vector<std::string> split_account_fields(const char* line) {
  std::vector<std::string> fields;
  const char* p = line;
  while (fields.size() < kMaxFields) {
    const size_t n = std::strcspn(p, " \n");
    fields.emplace_back(p, n);
    if (p[n] == '\0') break;
    p += n + 1;
  }
  return fields;
}

void apply_limit_text(store::OnlineUserRecord& r, const std::string& limit) {
  if (limit == "*") {
    r.limit_mode = store::LIMIT_NONE;
    r.limit_value = 0;
  } else if (limit.size() <= 2) {
    r.limit_mode = store::LIMIT_DAILY;
    r.limit_value = static_cast<int32_t>(static_cast<uint32_t>(std::atoi(limit.c_str())) * 3600u);
  } else {
    int year = 0, month = 0, day = 0;
    std::sscanf(limit.c_str(), "%d-%d-%d.", &year, &month, &day);
    r.limit_mode = store::LIMIT_DATE;
    r.limit_value = store::date_key(year, month, day);
  }
}

int load_accounts(const char* path, store::UserTable& accounts) {
  std::FILE* f = core::open_fixed_stream(path);
  if (f == nullptr) return -1;
  int count = 0;
  char line[kLineSize];
  while (core::read_line(f, line, sizeof(line))) {
    const std::vector<std::string> fields = split_account_fields(line);
    store::OnlineUserRecord r = store::new_record();
    r.name = cut(fields[0], kNameWidth);
    if (fields.size() >= 4) {
      apply_limit_text(r, cut(fields[3], kLimitWidth));
      if (core::g_settings.multi_user == 1 && r.limit_mode == store::LIMIT_DAILY) continue;
      if (fields.size() >= 5 && fields[4] != "*") r.note = cut(fields[4], kNoteWidth);
    }
    r.created_at = store::now_seconds();
    core::log_event("syslog.webauth_userti", ("syslog.webauth_user " + r.name).c_str());
    store::append(accounts, r);
    ++count;
  }
  std::fclose(f);
  return count;
}

}  // namespace auth
