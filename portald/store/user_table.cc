#include "store/user_table.h"

#include <algorithm>

#include "store/registration.h"

namespace store {

UserTable g_online;
UserTable g_accounts;

namespace {

// The key that every text not in the form of ip_text shares.
constexpr uint32_t kOtherText = 0xffffffffu;

template <typename Match>
Pos find_first(const UserTable& t, Match match) {
  for (Pos i = 0; i < t.records.size(); ++i) {
    if (match(t.records[i])) return i;
  }
  return end(t);
}

// ip_keys as it must be: made again when a record was added or dropped behind the table's back.
const std::vector<uint32_t>& keys_of(const UserTable& t) {
  std::vector<uint32_t>& keys = t.ip_keys;
  if (keys.size() != t.records.size()) {
    keys.clear();
    keys.reserve(t.records.size());
    for (const OnlineUserRecord& r : t.records) keys.push_back(address_key(r.ip));
  }
  return keys;
}

// The first record whose key and text equal ip's and that match accepts.
template <typename Match>
Pos find_address(const UserTable& t, const std::string& ip, Match match) {
  const std::vector<uint32_t>& keys = keys_of(t);
  const uint32_t key = address_key(ip);
  const uint32_t* k = keys.data();
  const Pos n = keys.size();
  for (Pos i = 0; i < n;) {
    // Blocks of keys that hold no equal one are passed over whole: the block's comparisons
    // have no branch between them, so the compiler makes them a few vector instructions.
    constexpr Pos kBlock = 16;
    if (n - i >= kBlock) {
      unsigned any = 0;
      for (Pos j = 0; j < kBlock; ++j) any |= k[i + j] == key;
      if (any == 0) {
        i += kBlock;
        continue;
      }
    }
    const Pos stop = std::min(n, i + kBlock);
    for (; i < stop; ++i) {
      if (k[i] != key) continue;
      const OnlineUserRecord& r = t.records[i];
      if (r.ip == ip && match(r)) return i;
    }
  }
  return end(t);
}

}  // namespace

uint32_t address_key(const std::string& ip) {
  uint32_t key = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= ip.size() || ip[at++] != '.')) return kOtherText;
    const size_t start = at;
    unsigned value = 0;
    while (at < ip.size() && at - start < 3 && ip[at] >= '0' && ip[at] <= '9')
      value = value * 10 + static_cast<unsigned>(ip[at++] - '0');
    const size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && ip[start] == '0')) return kOtherText;
    key = key << 8 | value;
  }
  return at == ip.size() ? key : kOtherText;
}

Pos find_by_ip(const UserTable& t, const std::string& ip) {
  return find_address(t, ip, [](const OnlineUserRecord&) { return true; });
}

Pos find_online_by_ip(const UserTable& t, const std::string& ip) {
  return find_address(t, ip, [](const OnlineUserRecord& r) { return r.online == 1; });
}

Pos find_client_by_ip(const UserTable& t, const std::string& ip) {
  return find_address(t, ip, [](const OnlineUserRecord& r) { return r.kind == KIND_CLIENT_IP; });
}

Pos find_online_host_by_ip(const UserTable& t, const std::string& ip, int32_t kind) {
  return find_address(t, ip, [kind](const OnlineUserRecord& r) {
    return r.kind != KIND_CLIENT_IP && r.kind == kind && r.online == 1;
  });
}

Pos find_by_name(const UserTable& t, const std::string& name) {
  return find_first(t, [&](const OnlineUserRecord& r) { return r.name == name; });
}

void append(UserTable& t, const OnlineUserRecord& r) {
  keys_of(t);
  t.records.push_back(r);
  t.ip_keys.push_back(address_key(r.ip));
  registration_appended(t);
}

void remove(UserTable& t, Pos pos) {
  if (pos >= t.records.size()) return;
  keys_of(t);
  registration_removing(t, pos);
  t.records.erase(t.records.begin() + static_cast<long>(pos));
  t.ip_keys.erase(t.ip_keys.begin() + static_cast<long>(pos));
}

void replace(UserTable& t, Pos pos, const OnlineUserRecord& r) {
  if (pos >= t.records.size()) return;
  keys_of(t);
  t.records[pos] = r;
  t.ip_keys[pos] = address_key(r.ip);
  registration_replaced(t, pos);
}

}  // namespace store
