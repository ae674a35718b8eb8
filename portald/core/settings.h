// Daemon settings: written once during start-up, read by every other part afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace core {

// Auth types, from the whole value of nvram "WEBAUTH_SECTYPE".
enum AuthType : int32_t {
  AUTH_LOCAL = 0,   // "LOCAL", and a missing or unknown value
  AUTH_ADVERT = 1,  // "ADVERT"
  AUTH_WEIXIN = 2,  // "WEIXIN"
  AUTH_USERS = 3,   // "USERS": local accounts
  AUTH_EMAIL = 4,   // "EMAIL": mailbox checked against the mail server
};

struct Settings {
  int32_t auth_type = AUTH_LOCAL;
  int32_t multi_user = 0;        // 1 when "WEBAUTH_MULTIUSER" begins with "YES"
  char mail_server[64] = {};     // at most 63 characters
  int32_t mail_port = 0;
  int login_fd = -1;
  int control_fd = -1;
  int kernel_fd = -1;
};

// The process-wide settings.
extern Settings g_settings;

// Maps a "WEBAUTH_SECTYPE" value (null when unset) to its auth type.
int32_t auth_type_of(const char* sectype);

// The "WEBAUTH_SECTYPE" value of an auth type ("LOCAL" to "EMAIL"); null for another number.
const char* auth_type_name(int64_t auth_type);

// 1 when the first three characters of the value are exactly "YES".
int32_t multi_user_of(const char* value);

// A copy of the nvram value of key, or the empty text when key is unset.
std::string nvram_text(const char* key);

}  // namespace core
