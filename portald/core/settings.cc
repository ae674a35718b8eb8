#include "core/settings.h"

#include <cstring>

#include "nvram.h"

namespace core {

Settings g_settings;

namespace {

struct SectypeName {
  const char* value;
  int32_t auth_type;
};

const SectypeName kSectypes[] = {
    {"LOCAL", AUTH_LOCAL}, {"ADVERT", AUTH_ADVERT}, {"WEIXIN", AUTH_WEIXIN},
    {"USERS", AUTH_USERS}, {"EMAIL", AUTH_EMAIL},
};

}  // namespace

int32_t auth_type_of(const char* sectype) {
  if (sectype == nullptr) return AUTH_LOCAL;
  for (const SectypeName& s : kSectypes) {
    if (std::strcmp(sectype, s.value) == 0) return s.auth_type;
  }
  return AUTH_LOCAL;
}

const char* auth_type_name(int64_t auth_type) {
  for (const SectypeName& s : kSectypes) {
    if (s.auth_type == auth_type) return s.value;
  }
  return nullptr;
}

int32_t multi_user_of(const char* value) {
  return value != nullptr && std::strncmp(value, "YES", 3) == 0 ? 1 : 0;
}

std::string nvram_text(const char* key) {
  const char* v = nvram_get(key);
  return v == nullptr ? std::string() : std::string(v);
}

}  // namespace core
