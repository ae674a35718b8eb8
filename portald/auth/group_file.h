// The e-mail group file: one line naming, under a group number kept in nvram, the addresses
// of the clients admitted by e-mail, e.g. "group5 Email_Auth 10.0.0.1,10.0.0.12 \n".
#pragma once

#include <cstdint>
#include <string>

namespace auth {

enum GroupOp { GROUP_ADD = 1, GROUP_REMOVE = 2 };

// Applies an add or remove of the dotted address to the file's content; false when the file
// is to stay as it is. group_file_update does the file work around it.
bool group_content_update(int op, const std::string& addr, std::string& content);

// Adds or removes an address (network byte order) in the file. The first add to an empty or
// missing file takes the group number "GROUPIP_NUM_MAX" + 1 and commits it to nvram. The new
// content replaces the old by rename of a temporary file in the same folder, always with the
// permission bits 0700, so a failure never loses the file. Returns 0, or -1 when the file
// cannot be read: it is not a regular file of the daemon's own user (a line on standard
// error says so), or reading failed.
int group_file_update(int op, uint32_t addr);

}  // namespace auth
