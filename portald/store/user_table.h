// UserTable: the ordered table of Online user records. New records go to the end, removal
// keeps the order of the rest, and every search runs from the first record to the last and
// returns the first match; a search that finds nothing returns end(table). Positions stay
// valid only until the next append or removal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/record.h"

namespace store {

struct UserTable {
  std::vector<OnlineUserRecord> records;
};

using Pos = size_t;

inline Pos end(const UserTable& t) { return t.records.size(); }

Pos find_by_ip(const UserTable& t, const std::string& ip);
Pos find_online_by_ip(const UserTable& t, const std::string& ip);
Pos find_client_by_ip(const UserTable& t, const std::string& ip);
Pos find_by_name(const UserTable& t, const std::string& name);

void append(UserTable& t, const OnlineUserRecord& r);
void remove(UserTable& t, Pos pos);
void replace(UserTable& t, Pos pos, const OnlineUserRecord& r);

// The process-wide tables: clients and hosts on line, and the local accounts.
extern UserTable g_online;
extern UserTable g_accounts;

}  // namespace store
