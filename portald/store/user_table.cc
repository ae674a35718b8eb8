#include "store/user_table.h"

namespace store {

UserTable g_online;
UserTable g_accounts;

namespace {

template <typename Match>
Pos find_first(const UserTable& t, Match match) {
  for (Pos i = 0; i < t.records.size(); ++i) {
    if (match(t.records[i])) return i;
  }
  return end(t);
}

}  // namespace

Pos find_by_ip(const UserTable& t, const std::string& ip) {
  return find_first(t, [&](const OnlineUserRecord& r) { return r.ip == ip; });
}

Pos find_online_by_ip(const UserTable& t, const std::string& ip) {
  return find_first(t, [&](const OnlineUserRecord& r) { return r.online == 1 && r.ip == ip; });
}

Pos find_client_by_ip(const UserTable& t, const std::string& ip) {
  return find_first(t, [&](const OnlineUserRecord& r) {
    return r.kind == KIND_CLIENT_IP && r.ip == ip;
  });
}

Pos find_by_name(const UserTable& t, const std::string& name) {
  return find_first(t, [&](const OnlineUserRecord& r) { return r.name == name; });
}

void append(UserTable& t, const OnlineUserRecord& r) { t.records.push_back(r); }

void remove(UserTable& t, Pos pos) {
  if (pos < t.records.size()) t.records.erase(t.records.begin() + static_cast<long>(pos));
}

void replace(UserTable& t, Pos pos, const OnlineUserRecord& r) {
  if (pos < t.records.size()) t.records[pos] = r;
}

}  // namespace store
