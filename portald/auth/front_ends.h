// The login front-ends and what they share. Private to auth/: the rest of the daemon reaches
// them through handle_login (auth/login.h).
#pragma once

#include <cstdint>
#include <string>

#include "auth/requests.h"
#include "store/user_table.h"

namespace auth {

// The front-ends; each sends at most one reply on fd. email_login returns true when the
// login waits for its mail check and keeps fd (see handle_login).
void account_login(int fd, const LoginRequest& req, store::UserTable& accounts,
                   store::UserTable& online);
bool email_login(int fd, const LoginRequest& req, store::UserTable& accounts,
                 store::UserTable& online);
void onekey_login(int fd, const LoginRequest& req, store::UserTable& online);

// Sends the 300-byte reply with its result word; the result of the send is not looked at.
void send_reply(int fd, int32_t result);

// Single-login rule, applied only when the multi-user flag is 0 and user is not empty: the
// first online record named user is revoked in the kernel (when its address is valid; a
// failed send ends the process), its account charged as a host-down would
// (store::charge_removed_client), logged with the keyed line and token_line, and removed. Returns true when a record was removed:
// the caller then owes the registration file a rewrite, whatever the login's outcome.
bool single_login_rule(store::UserTable& accounts, store::UserTable& online,
                       const std::string& user,
                       void (*token_line)(const store::OnlineUserRecord& removed));

// Appends the record to the online-user table and rewrites the registration file.
void record_client(store::UserTable& online, const store::OnlineUserRecord& r);

}  // namespace auth
