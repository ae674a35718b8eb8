// UserTable: the ordered table of Online user records. New records go to the end, removal
// keeps the order of the rest, and every search runs from the first record to the last and
// returns the first match; a search that finds nothing returns end(table). Positions stay
// valid only until the next append or removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/record.h"

namespace store {

// The registration file's content made from a table (store/registration.h), kept ready.
struct RegistrationText {
  bool kept = false;       // made once, and kept in step since
  int32_t auth_type = 0;   // the auth type its lines were made with
  std::string text;        // the lines of the listed records in table order
  std::vector<size_t> ends;  // ends[i]: where records[i]'s line ends (empty when not listed)
};

// Derived data kept in step with the records by append, remove and replace, and made again
// whenever their length is not the table's: so change a record's kind, online, login_time,
// ip, name or mac only through those three (other fields may be changed in place).
struct UserTable {
  std::vector<OnlineUserRecord> records;
  // ip_keys[i] is address_key(records[i].ip): the searches by address run over this compact
  // array and compare texts only where the keys agree.
  mutable std::vector<uint32_t> ip_keys;
  mutable RegistrationText registration;
};

using Pos = size_t;

inline Pos end(const UserTable& t) { return t.records.size(); }

// A fixed-size key of an address text: equal texts have equal keys. A dotted quad in the form
// ip_text gives is its address; every other text shares one key, so that its search compares
// the texts.
uint32_t address_key(const std::string& ip);

Pos find_by_ip(const UserTable& t, const std::string& ip);
Pos find_online_by_ip(const UserTable& t, const std::string& ip);
Pos find_client_by_ip(const UserTable& t, const std::string& ip);
Pos find_by_name(const UserTable& t, const std::string& name);
// The host-up event's search: the first record on line of that kind, not KIND_CLIENT_IP,
// whose ip equals the text.
Pos find_online_host_by_ip(const UserTable& t, const std::string& ip, int32_t kind);

void append(UserTable& t, const OnlineUserRecord& r);
void remove(UserTable& t, Pos pos);
void replace(UserTable& t, Pos pos, const OnlineUserRecord& r);

// The process-wide tables: clients and hosts on line, and the local accounts.
extern UserTable g_online;
extern UserTable g_accounts;

}  // namespace store
