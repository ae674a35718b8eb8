#include "auth/requests.h"

#include <algorithm>
#include <cstring>

namespace auth {

std::string field_text(const unsigned char* record, Field f) {
  const char* p = reinterpret_cast<const char*>(record + f.offset);
  return std::string(p, strnlen(p, f.width));
}

void put_text(unsigned char* record, Field f, const std::string& text) {
  std::memset(record + f.offset, 0, f.width);
  std::memcpy(record + f.offset, text.data(), std::min(text.size(), f.width));
}

LoginRequest parse_login_request(const unsigned char* record) {
  LoginRequest r;
  r.msg_type = record_word(record, kLoginOffMsgType);
  r.user = field_text(record, kLoginUser);
  r.password = field_text(record, kLoginPassword);
  r.extra_a = field_text(record, kLoginExtraA);
  r.client_ip = field_text(record, kLoginClientIp);
  r.client_mac = field_text(record, kLoginClientMac);
  r.extra_b = field_text(record, kLoginExtraB);
  r.extra_word = record_word(record, kLoginOffExtraWord);
  return r;
}

}  // namespace auth
