// Tokens that tie an operator's form to the page that showed it, so that a page elsewhere
// cannot make the operator's browser send a control request. A token is an HMAC-SHA256 of
// the operator's name and the time it was issued, keyed with a secret that only the web
// pages' user can read, and the time itself.
#pragma once

#include <cstdint>
#include <string>

namespace web {

// How long a token is taken after it was issued.
inline constexpr int64_t kTokenLifetime = 2 * 3600;

// The secret's file: PORTAL_WEB_KEY, or /tmp/portal-web.key under PORTALD_ROOT.
std::string key_path();

// Reads the 32-byte secret, making it first when the file does not exist. The file must be a
// regular file of this process's user that nobody else may read or write, never reached
// through a symbolic link; it is made under a temporary name and linked into place, so two
// pages starting at once agree on one secret. False when no secret can be had.
bool load_key(const std::string& path, std::string* key);

std::string issue_token(const std::string& key, const std::string& user, int64_t now);

// True when token was issued with this key for user and is at most kTokenLifetime old (and
// not from more than a minute ahead).
bool token_valid(const std::string& key, const std::string& user, const std::string& token,
                 int64_t now);

}  // namespace web
