#include "store/registration.h"

#include "core/files.h"
#include "core/paths.h"
#include "core/settings.h"

namespace store {
namespace {

// Readable by the web pages, whichever user they run as.
constexpr mode_t kRegistrationMode = 0644;

}  // namespace

std::string registration_line(const OnlineUserRecord& r, int auth_type) {
  return r.name + " " + r.ip + " " + r.mac + " " + std::to_string(r.login_time) + " " +
         std::to_string(auth_type) + " \n";
}

namespace {

// Whether the record's kept line is still the one its fields give: the login time and auth
// type it was made from are today's, and the three texts and their blanks stand where they
// did, which with the same length of tail makes the whole line the same.
bool kept_line_holds(const OnlineUserRecord& r, int auth_type) {
  const KeptLine& kept = r.registration;
  const std::string& line = kept.text;
  const size_t n = r.name.size(), i = r.ip.size(), m = r.mac.size();
  return kept.auth_type == auth_type && kept.login_time == r.login_time &&
         line.size() == n + i + m + 3 + kept.tail && line[n] == ' ' && line[n + 1 + i] == ' ' &&
         line[n + i + 2 + m] == ' ' && line.compare(0, n, r.name) == 0 &&
         line.compare(n + 1, i, r.ip) == 0 && line.compare(n + i + 2, m, r.mac) == 0;
}

// The record's line, made again only when the kept one no longer holds.
const std::string& kept_line(const OnlineUserRecord& r, int auth_type) {
  KeptLine& kept = r.registration;
  if (!kept_line_holds(r, auth_type)) {
    kept.text = registration_line(r, auth_type);
    kept.login_time = r.login_time;
    kept.auth_type = auth_type;
    kept.tail = static_cast<uint32_t>(kept.text.size() - r.name.size() - r.ip.size() -
                                      r.mac.size() - 3);
  }
  return kept.text;
}

}  // namespace

void write_registration_file(const UserTable& online) {
  // Kept from one rewrite to the next, so that its memory is allocated once; only the loop
  // writes the file.
  static std::string content;
  content.clear();
  const int auth_type = core::g_settings.auth_type;
  for (const OnlineUserRecord& r : online.records) {
    if (r.online != 1 || r.kind != KIND_CLIENT_IP) continue;
    content += kept_line(r, auth_type);
  }
  core::replace_file(core::fixed_path(core::kRegistrationFile), content.data(), content.size(),
                     kRegistrationMode, false);
}

}  // namespace store
