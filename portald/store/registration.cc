#include "store/registration.h"

#include "core/files.h"
#include "core/paths.h"
#include "core/settings.h"

namespace store {

// Readable by the web pages, whichever user they run as.
constexpr mode_t kRegistrationMode = 0644;

std::string registration_line(const OnlineUserRecord& r, int auth_type) {
  return r.name + " " + r.ip + " " + r.mac + " " + std::to_string(r.login_time) + " " +
         std::to_string(auth_type) + " \n";
}

void write_registration_file(const UserTable& online) {
  std::string content;
  for (const OnlineUserRecord& r : online.records) {
    if (r.online != 1 || r.kind != KIND_CLIENT_IP) continue;
    content += registration_line(r, core::g_settings.auth_type);
  }
  core::replace_file(core::fixed_path(core::kRegistrationFile), content.data(), content.size(),
                     kRegistrationMode, false);
}

}  // namespace store
