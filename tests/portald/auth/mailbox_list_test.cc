// The mailbox whitelist's three answers, which the e-mail login folds into one reply.
#include <gtest/gtest.h>

#include <string>

#include "auth/mailbox_list.h"
#include "portald_fixture.h"

namespace {

TEST(MailboxList, ListedNotListedAndUnreadable) {
  testing_support::TempRoot root;
  root.write("/list", "ann@example.org\r\nbob@example.org trailing words\n\ncy");
  const std::string path = root.path("/list");
  struct Row {
    const char* situation;
    const char* user;
    auth::MailboxListing want;
  };
  const Row rows[] = {
      {"line ending in CR LF", "ann@example.org", auth::MAILBOX_LISTED},
      {"line cut at its first blank", "bob@example.org", auth::MAILBOX_LISTED},
      {"last line without line feed", "cy", auth::MAILBOX_LISTED},
      {"words after the blank are not names", "trailing", auth::MAILBOX_NOT_LISTED},
      {"a prefix of a name", "ann", auth::MAILBOX_NOT_LISTED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    EXPECT_EQ(auth::find_mailbox(path.c_str(), row.user), row.want);
  }
  EXPECT_EQ(auth::find_mailbox(root.path("/missing").c_str(), "ann@example.org"),
            auth::MAILBOX_LIST_UNREADABLE);
}

}  // namespace
