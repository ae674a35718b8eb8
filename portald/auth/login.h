// Login requests: the dispatch by auth type to the login front-ends.
#pragma once

#include "store/user_table.h"

namespace auth {

// Handles one login request read from connection fd. A request whose first word is not
// LOGIN_REQUEST_TYPE gets no reply and changes nothing. Returns false when the login is done
// (the caller closes fd), true when an e-mail login waits for its mail check: fd then belongs
// to the login, which replies on it and closes it in finish_mail_logins.
bool handle_login(int fd, const unsigned char* request, store::UserTable& accounts,
                  store::UserTable& online);

// Readable when mail checks have finished; -1 before the first e-mail login.
int mail_ready_fd();

// Carries out the rest of each e-mail login whose check has finished, in the order the checks
// finished: the check's lines, then the login's steps as they follow a check. Loop only.
void finish_mail_logins(store::UserTable& accounts, store::UserTable& online);

// Waits until no mail check is queued or running, finishing each login (tests, fuzzing).
void await_mail_logins(store::UserTable& accounts, store::UserTable& online);

}  // namespace auth
