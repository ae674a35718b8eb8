#include "store/limits.h"

#include <ctime>
#include <limits>

#include "core/settings.h"

namespace store {
namespace {

std::tm local_day(int32_t t) {
  const std::time_t tt = t;
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm;
}

}  // namespace

int32_t date_key(int year, int month, int day) {
  const int64_t key = int64_t{year} * 10000 + int64_t{month} * 100 + day;
  if (key > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (key < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(key);
}

int32_t today_key(int32_t t) {
  const std::tm tm = local_day(t);
  return date_key(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

bool same_day(int32_t a, int32_t b) {
  const std::tm x = local_day(a);
  const std::tm y = local_day(b);
  return x.tm_year == y.tm_year && x.tm_mon == y.tm_mon && x.tm_mday == y.tm_mday;
}

bool date_limit_holds(int32_t limit_value, int32_t now) { return today_key(now) <= limit_value; }

int32_t daily_seconds_left(OnlineUserRecord& account, int32_t now) {
  if (!same_day(now, account.down_time)) account.used_today = 0;
  const int64_t left = int64_t{account.limit_value} - account.used_today;
  if (left > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (left < 0) return 0;
  return static_cast<int32_t>(left);
}

void charge_daily_usage(UserTable& accounts, const std::string& name, int32_t now) {
  const Pos a = find_by_name(accounts, name);
  if (a == end(accounts)) return;
  OnlineUserRecord& acc = accounts.records[a];
  acc.down_time = now;
  acc.used_today = static_cast<int32_t>(int64_t{acc.used_today} - acc.login_time + now);
}

void charge_removed_client(UserTable& accounts, const OnlineUserRecord& removed, int32_t now) {
  if (core::g_settings.auth_type != core::AUTH_USERS) return;
  if (removed.limit_mode == LIMIT_DAILY) charge_daily_usage(accounts, removed.name, now);
}

int32_t now_seconds() { return static_cast<int32_t>(std::time(nullptr)); }

}  // namespace store
