// The 300-byte records exchanged with the router's web pages: the login request and reply on
// the login socket, the control request on the control socket. Integers are 32-bit words in
// the host's byte order; text fields are NUL-terminated within their width, and a text that
// fills its whole width without a NUL is cut at the width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/words.h"

namespace auth {

inline constexpr size_t kRecordSize = 300;

// Login request.
inline constexpr uint32_t LOGIN_REQUEST_TYPE = 2;
struct Field {
  size_t offset;
  size_t width;
};
inline constexpr size_t kLoginOffMsgType = 0;
inline constexpr Field kLoginUser{4, 64};
inline constexpr Field kLoginPassword{68, 16};
inline constexpr Field kLoginExtraA{84, 64};
inline constexpr Field kLoginClientIp{148, 16};
inline constexpr Field kLoginClientMac{164, 24};
inline constexpr Field kLoginExtraB{188, 64};
inline constexpr size_t kLoginOffExtraWord = 252;

// Login reply: the result word, then 296 zero bytes.
enum LoginResult : int32_t {
  LOGIN_OK = 1,
  LOGIN_REJECTED = 2,
  LOGIN_LIMIT_REACHED = 3,
  LOGIN_NOT_LISTED = 4,
};

// Control request.
enum ControlCommand : uint32_t {
  CTRL_ADD_ACCOUNT = 0,
  CTRL_REMOVE_ACCOUNT = 1,
  CTRL_CUT_CLIENT = 3,
  CTRL_PERMIT_MAC = 5,
  CTRL_REVOKE_MAC = 6,
};
inline constexpr size_t kCtrlOffCmd = 0;
inline constexpr Field kCtrlUser{4, 64};
inline constexpr Field kCtrlCutIp{68, 16};
inline constexpr Field kCtrlValidity{84, 16};
inline constexpr Field kCtrlRevokeMac{84, 24};  // command 6
inline constexpr Field kCtrlNote{100, 64};
inline constexpr Field kCtrlPermitMac{164, 24};  // command 5

// A word of a record.
inline uint32_t record_word(const unsigned char* record, size_t offset) {
  return core::load_word(record, offset);
}
inline void put_word(unsigned char* record, size_t offset, uint32_t value) {
  core::store_word(record, offset, value);
}

// The text of a field: up to its first NUL, and never beyond its width.
std::string field_text(const unsigned char* record, Field f);

// Copies text into the field, cut to its width; the rest of the field is zeroed.
void put_text(unsigned char* record, Field f, const std::string& text);

// A login request as the front-ends read it.
struct LoginRequest {
  uint32_t msg_type = 0;
  std::string user;
  std::string password;
  std::string extra_a;
  std::string client_ip;
  std::string client_mac;
  std::string extra_b;
  uint32_t extra_word = 0;
};

LoginRequest parse_login_request(const unsigned char* record);

}  // namespace auth
