// The mailbox whitelist (EMAIL_ENABLE_WHITE_LIST): the mailboxes that may log in by e-mail,
// one a line.
#pragma once

#include <string>

namespace auth {

enum MailboxListing {
  MAILBOX_LISTED,
  MAILBOX_NOT_LISTED,
  MAILBOX_LIST_UNREADABLE,  // no file, or one refused as core::open_fixed_file refuses it
};

// Whether a line of the file at path, cut at its first blank, CR or LF, equals user. Lines
// are compared whole, whatever their length; the file is read line by line, not kept.
MailboxListing find_mailbox(const char* path, const std::string& user);

}  // namespace auth
