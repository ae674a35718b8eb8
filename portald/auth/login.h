// Login requests: the dispatch by auth type to the login front-ends.
#pragma once

#include "store/user_table.h"

namespace auth {

// Handles one login request read from connection fd (the loop closes fd afterwards). A
// request whose first word is not LOGIN_REQUEST_TYPE gets no reply and changes nothing.
void handle_login(int fd, const unsigned char* request, store::UserTable& accounts,
                  store::UserTable& online);

}  // namespace auth
