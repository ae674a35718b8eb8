#include "auth/mailbox_list.h"

#include <algorithm>
#include <cstdio>

#include "core/files.h"

namespace auth {

MailboxListing find_mailbox(const char* path, const std::string& user) {
  std::FILE* f = core::open_fixed_stream(path);
  if (f == nullptr) return MAILBOX_LIST_UNREADABLE;
  std::string line;
  bool listed = false;
  for (;;) {
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (line.empty() && c == EOF) break;
    line.resize(std::min(line.size(), line.find_first_of(" \r\n")));
    if (line == user) {
      listed = true;
      break;
    }
    if (c == EOF) break;
  }
  std::fclose(f);
  return listed ? MAILBOX_LISTED : MAILBOX_NOT_LISTED;
}

}  // namespace auth
