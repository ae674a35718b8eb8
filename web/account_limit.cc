#include "account_limit.h"

#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "auth/accounts_file.h"
#include "core/paths.h"
#include "store/record.h"

namespace web {

AccountLimit limit_in_account_file(const std::string& text, const std::string& name) {
  AccountLimit out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = auth::split_account_fields(line.c_str());
    if (fields[0] != name) continue;
    if (fields.size() < 4) {
      out.kind = AccountLimit::kNone;
      return out;
    }
    store::OnlineUserRecord r = store::new_record();
    auth::apply_limit_text(r, fields[3]);
    switch (r.limit_mode) {
      case store::LIMIT_DAILY:
        out.kind = AccountLimit::kDaily;
        out.hours = r.limit_value / 3600;
        break;
      case store::LIMIT_DATE:
        out.kind = AccountLimit::kDate;
        out.day = fields[3];
        if (!out.day.empty() && out.day.back() == '.') out.day.pop_back();
        break;
      default:
        out.kind = AccountLimit::kNone;
    }
    return out;
  }
  return out;
}

AccountLimit read_account_limit(const std::string& name) {
  std::ifstream f(core::fixed_path(core::kAccountFile));
  if (!f) return {};
  std::stringstream text;
  text << f.rdbuf();
  return limit_in_account_file(text.str(), name);
}

int64_t seconds_to_midnight(int64_t now) {
  const time_t t = static_cast<time_t>(now);
  tm local{};
  localtime_r(&t, &local);
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_mday += 1;
  local.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&local)) - now;
}

}  // namespace web
