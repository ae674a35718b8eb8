// The Online user record: a client, a pre-approved host or a local account. The online-user
// table and the account table hold records of this one type by value.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/kmsg_layout.h"

namespace store {

// How a record's limit_value is read.
enum LimitMode : int32_t {
  LIMIT_NONE = 0,
  LIMIT_DATE = 1,   // limit_value: date key of the last valid day
  LIMIT_DAILY = 2,  // limit_value: seconds per calendar day
};

struct OnlineUserRecord {
  // What the searches and the registration file read comes first, so that a pass over a
  // table touches few cache lines per record.
  int32_t kind = KIND_CLIENT_IP;
  uint8_t online = 0;
  int32_t login_time = 0;
  std::string ip;
  std::string name;
  std::string mac;

  std::string spare_text_1;
  int32_t created_at = 0;
  int32_t spare_time = 0;
  std::string spare_text_2;
  std::string spare_text_3;
  int32_t preset_a = 111;
  std::string spare_text_4;
  std::string spare_text_5;
  std::string spare_text_6;
  std::string note;
  std::string login_extra_b;
  int32_t preset_b = 9;
  std::string spare_text_7;
  std::string login_extra_a;
  int32_t down_time = 0;
  int32_t used_today = 0;
  int32_t limit_mode = LIMIT_NONE;
  int32_t limit_value = 0;
  uint32_t login_extra_word = 0;
  uint32_t spare_words[10] = {};
};

// A record with the values every new record starts from.
inline OnlineUserRecord new_record() { return OnlineUserRecord{}; }

// The message of a keyed line about a client: key, blank, name, " IP: ", ip, " MAC: ", mac.
std::string client_message(const char* key, const OnlineUserRecord& r);

// The address and MAC of a record as the token lines carry them: ip, blank, mac.
std::string ip_mac_text(const OnlineUserRecord& r);

// "%u.%u.%u.%u" of the four bytes of addr in memory order (network byte order).
std::string ip_text(uint32_t addr);

// "%02x:%02x:%02x:%02x:%02x:%02x" of the six bytes.
std::string mac_text(const unsigned char mac[6]);

}  // namespace store
