// What the account file says about an account's limit, for the sentence a refused login
// gets. Accounts added by the operator while portald runs are not in the file; their limit
// is unknown here.
#pragma once

#include <cstdint>
#include <string>

namespace web {

struct AccountLimit {
  enum Kind { kUnknown, kNone, kDaily, kDate } kind = kUnknown;
  int hours = 0;     // kDaily: hours a day
  std::string day;   // kDate: the last valid day as written, without the trailing dot
};

// The limit of the first line of the account file's text whose first field is name, read
// as portald reads it (fields split at blanks, the limit in the fourth field).
AccountLimit limit_in_account_file(const std::string& text, const std::string& name);

// The same for the account file under PORTALD_ROOT.
AccountLimit read_account_limit(const std::string& name);

// Seconds from local time now to the next local midnight.
int64_t seconds_to_midnight(int64_t now);

}  // namespace web
