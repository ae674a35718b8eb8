#include "store/registration.h"

#include "core/files.h"
#include "core/paths.h"
#include "core/settings.h"

namespace store {
namespace {

// Readable by the web pages, whichever user they run as.
constexpr mode_t kRegistrationMode = 0644;

bool listed(const OnlineUserRecord& r) { return r.online == 1 && r.kind == KIND_CLIENT_IP; }

std::string line_of(const OnlineUserRecord& r, int auth_type) {
  return listed(r) ? registration_line(r, auth_type) : std::string();
}

// Whether the kept text belongs to this table as it is now: made, in step (no record added or
// dropped behind the table's back), and with today's auth type.
bool kept_text_holds(const UserTable& t) {
  const RegistrationText& reg = t.registration;
  return reg.kept && reg.ends.size() == t.records.size() &&
         reg.auth_type == core::g_settings.auth_type;
}

size_t line_start(const RegistrationText& reg, Pos pos) { return pos == 0 ? 0 : reg.ends[pos - 1]; }

// Moves the ends of the lines after pos by the change in length of pos's line.
void shift_ends(RegistrationText& reg, Pos from, size_t removed, size_t added) {
  for (Pos i = from; i < reg.ends.size(); ++i) reg.ends[i] = reg.ends[i] - removed + added;
}

// Where record pos's line lies in the kept text; false, and the text given up to be made again
// at the next rewrite, when the kept text does not hold the table.
bool kept_line(const UserTable& t, Pos pos, size_t* start, size_t* len) {
  RegistrationText& reg = t.registration;
  if (!kept_text_holds(t) || pos >= reg.ends.size()) {
    reg.kept = false;
    return false;
  }
  *start = line_start(reg, pos);
  *len = reg.ends[pos] - *start;
  return true;
}

}  // namespace

std::string registration_line(const OnlineUserRecord& r, int auth_type) {
  return r.name + " " + r.ip + " " + r.mac + " " + std::to_string(r.login_time) + " " +
         std::to_string(auth_type) + " \n";
}

void registration_appended(const UserTable& t) {
  RegistrationText& reg = t.registration;
  if (!reg.kept || reg.ends.size() + 1 != t.records.size()) return;
  reg.text += line_of(t.records.back(), reg.auth_type);
  reg.ends.push_back(reg.text.size());
}

void registration_removing(const UserTable& t, Pos pos) {
  RegistrationText& reg = t.registration;
  size_t start, len;
  if (!kept_line(t, pos, &start, &len)) return;
  reg.text.erase(start, len);
  reg.ends.erase(reg.ends.begin() + static_cast<long>(pos));
  shift_ends(reg, pos, len, 0);
}

void registration_replaced(const UserTable& t, Pos pos) {
  RegistrationText& reg = t.registration;
  size_t start, len;
  if (!kept_line(t, pos, &start, &len)) return;
  const std::string line = line_of(t.records[pos], reg.auth_type);
  reg.text.replace(start, len, line);
  shift_ends(reg, pos, len, line.size());
}

void write_registration_file(const UserTable& online) {
  RegistrationText& reg = online.registration;
  if (!kept_text_holds(online)) {
    reg.auth_type = core::g_settings.auth_type;
    reg.text.clear();
    reg.ends.clear();
    for (const OnlineUserRecord& r : online.records) {
      reg.text += line_of(r, reg.auth_type);
      reg.ends.push_back(reg.text.size());
    }
    reg.kept = true;
  }
  core::rewrite_file(core::fixed_path(core::kRegistrationFile), reg.text.data(), reg.text.size(),
                     kRegistrationMode);
}

}  // namespace store
