// Which page a request gets: the login pages, the operator's page, the answers to the
// operating systems' captive-portal probes, and the redirect of a page on another host (a
// client held back by the router asked for it) to the login page.
#pragma once

#include <string>

#include "cgi.h"

namespace web {

// A probe that phones and browsers send to learn whether they are behind a captive portal,
// and the answer that tells them they are not.
struct Probe {
  const char* path;
  int status;
  const char* content_type;
  const char* body;
};

// The probe asked for by path, or nullptr.
const Probe* find_probe(const std::string& path);

// True when the request names this server (its address or a name in PORTAL_WEB_NAMES)
// rather than another host whose page the router sent here.
bool own_host(const Request& req);

// The login page's address on this server, with url to come back to ("" for none).
std::string login_url(const Request& req, const std::string& url);

// The whole answer to a request.
Response serve(const Request& req);

}  // namespace web
