// The captive login: the form for the configured auth type, the login request that a
// submitted form becomes, and the sentence for each outcome.
#pragma once

#include <string>

#include "cgi.h"
#include "pages.h"
#include "client.h"

namespace web {

// The client's IPv4 address from REMOTE_ADDR (an IPv4-mapped IPv6 address is taken as its
// IPv4 address); "" when it has none.
std::string client_ipv4(const std::string& remote_addr);

// The login form (GET). url is the page the client first asked for.
Response login_form(const Request& req, const PageContext& ctx);

// A submitted login form (POST).
Response login_submit(const Request& req, const PageContext& ctx);

// What a finished exchange means for the person, by auth type: the sentence to show, or ""
// for a successful login. online tells whether the registration file lists the client (a
// login without a reply can still have succeeded: ADVERT never replies, and a known address
// of a one-key login is refreshed without one).
struct Verdict {
  bool ok = false;
  std::string sentence;
};
Verdict judge(Language lang, LoginKind kind, const client::LoginOutcome& out, bool online,
              const std::string& code, long long now);

// The name of a login result for the log: LOGIN_OK ... or "no reply", "unreachable", ...
std::string outcome_name(const client::LoginOutcome& out);

// One line on standard error, which the web server keeps in its error log.
void note(const std::string& line);

}  // namespace web
