// Login requests: the dispatch by auth type and the building blocks the front-ends share.
#pragma once

#include <cstdint>
#include <string>

#include "auth/requests.h"
#include "store/user_table.h"

namespace auth {

// Handles one login request read from connection fd (the loop closes fd afterwards). A
// request whose first word is not LOGIN_REQUEST_TYPE gets no reply and changes nothing.
void handle_login(int fd, const unsigned char* request, store::UserTable& accounts,
                  store::UserTable& online);

// The front-ends; each sends at most one reply on fd.
void account_login(int fd, const LoginRequest& req, store::UserTable& accounts,
                   store::UserTable& online);
void email_login(int fd, const LoginRequest& req, store::UserTable& online);
void onekey_login(int fd, const LoginRequest& req, store::UserTable& online);

// Sends the 300-byte reply with its result word; the result of the send is not looked at.
void send_reply(int fd, int32_t result);

// Single-login rule, applied only when the multi-user flag is 0: the first online record
// named user is revoked in the kernel (when its address is valid; a failed send ends the
// process), logged with the keyed line and token_line, and removed.
void single_login_rule(store::UserTable& online, const std::string& user,
                       void (*token_line)(const store::OnlineUserRecord& removed));

// Builds the KMSG_PERMIT of kind KIND_CLIENT_IP for the address text with the given
// allowance words and sends it; returns the send's result.
long admit_client(const std::string& ip, uint32_t quota_seconds, uint32_t recheck_seconds);

// Appends the record to the online-user table and rewrites the registration file.
void record_client(store::UserTable& online, const store::OnlineUserRecord& r);

}  // namespace auth
