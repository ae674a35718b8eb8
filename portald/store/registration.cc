#include "store/registration.h"

#include <cstdio>

#include "core/paths.h"
#include "core/settings.h"

namespace store {

std::string registration_line(const OnlineUserRecord& r, int auth_type) {
  return r.name + " " + r.ip + " " + r.mac + " " + std::to_string(r.login_time) + " " +
         std::to_string(auth_type) + " \n";
}

void write_registration_file(const UserTable& online) {
  const std::string tmp = core::fixed_path(core::kRegistrationTemp);
  const std::string file = core::fixed_path(core::kRegistrationFile);
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  bool complete = true;
  for (const OnlineUserRecord& r : online.records) {
    if (r.online != 1 || r.kind != KIND_CLIENT_IP) continue;
    const std::string line = registration_line(r, core::g_settings.auth_type);
    if (std::fwrite(line.data(), 1, line.size(), f) != line.size()) complete = false;
  }
  if (std::fclose(f) != 0) complete = false;
  if (complete) {
    std::rename(tmp.c_str(), file.c_str());
  } else {
    std::remove(tmp.c_str());
  }
}

}  // namespace store
