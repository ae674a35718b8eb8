// The registration file: the clients that logged in through the web pages, one line each,
// for the web pages to show. Always replaced whole, so a reader sees the old or the new list.
#pragma once

#include <string>

#include "store/user_table.h"

namespace store {

// One line of the file: name, ip, mac, login_time and auth type, each followed by a blank,
// then a line feed.
std::string registration_line(const OnlineUserRecord& r, int auth_type);

// Rewrites the file from the online entries of kind KIND_CLIENT_IP in table order, through
// the temporary file and rename: one buffer, written with one call. The content is made once
// and then kept with the table, each line made when its record is added or replaced (see
// UserTable). When the temporary file cannot be written completely, the rename is skipped and
// the previous file stays as it was. Reports nothing. Called by the loop only.
void write_registration_file(const UserTable& online);

// Called by append (after), remove (before) and replace (after) to keep the content in step.
void registration_appended(const UserTable& t);
void registration_removing(const UserTable& t, Pos pos);
void registration_replaced(const UserTable& t, Pos pos);

}  // namespace store
