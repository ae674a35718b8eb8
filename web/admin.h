// The operator's page: who is online (with the time and allowance left where the admission
// component tells), cutting a client, adding and removing accounts, letting MAC addresses
// through and withdrawing them. Served only on the admin address named by PORTAL_WEB_ADMIN
// ("ADDRESS:PORT") and only after the web server has checked the operator's password
// (REMOTE_USER set); every form carries a token (csrf.h).
#pragma once

#include <map>
#include <string>

#include "cgi.h"
#include "pages.h"
#include "status_view.h"

namespace web {

bool admin_allowed(const Request& req);

// GET shows the page; POST carries out one action and shows the page with its outcome.
Response admin_page(const Request& req, const PageContext& ctx);

// What the admission component says is left for each client address: the pairs "online
// left", "quota left" and "idle left" of its status text, in seconds.
using TimeLeft = admit::TimeLeft;
std::map<std::string, TimeLeft> parse_time_left(const std::string& status_text);

// True when the request's Origin (or, without one, its Referer) is absent or names the page's
// own host.
bool same_origin(const Request& req);

}  // namespace web
