// The account file: one local account a line, read once at start-up under "USERS".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/user_table.h"

namespace auth {

// The first five fields of a line: split at every blank and line feed; two separators in a
// row give an empty field.
std::vector<std::string> split_account_fields(const char* line);

// The limit of an account from its limit text: "*" none; at most two characters a number of
// hours per day; three or more a last valid day written year-month-day (components that
// cannot be read count as 0). Sets limit_mode and limit_value of r.
void apply_limit_text(store::OnlineUserRecord& r, const std::string& limit);

// Appends one entry per line of the file to the table and logs each; returns the number of
// entries made, or -1 when the file cannot be opened. Lines are at most 255 characters; the
// rest of a longer line is discarded. With the multi-user flag set, daily-limited lines are
// skipped.
int load_accounts(const char* path, store::UserTable& accounts);

}  // namespace auth
