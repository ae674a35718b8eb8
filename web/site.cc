#include "site.h"

#include <cstdlib>
#include <sstream>

#include "admin.h"
#include "login.h"
#include "online_list.h"
#include "pages.h"

namespace web {
namespace {

const Probe kProbes[] = {
    // Android and Chrome OS.
    {"/generate_204", 204, "", ""},
    {"/gen_204", 204, "", ""},
    // Apple.
    {"/hotspot-detect.html", 200, "text/html",
     "<HTML><HEAD><TITLE>Success</TITLE></HEAD><BODY>Success</BODY></HTML>"},
    {"/library/test/success.html", 200, "text/html",
     "<HTML><HEAD><TITLE>Success</TITLE></HEAD><BODY>Success</BODY></HTML>"},
    // Windows.
    {"/connecttest.txt", 200, "text/plain", "Microsoft Connect Test"},
    {"/ncsi.txt", 200, "text/plain", "Microsoft NCSI"},
    // Firefox.
    {"/success.txt", 200, "text/plain", "success\n"},
};

std::string strip_port(const std::string& hostport) {
  if (!hostport.empty() && hostport[0] == '[') {
    const size_t close = hostport.find(']');
    return close == std::string::npos ? hostport : hostport.substr(1, close - 1);
  }
  return hostport.substr(0, hostport.find(':'));
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

Response redirect(const std::string& to) {
  Response r;
  r.status = 302;
  r.headers.emplace_back("Location", to);
  return r;
}

void add_common_headers(Response& r) {
  r.headers.emplace_back("Cache-Control", "no-store");
  if (r.status == 204 || r.status == 302) return;
  if (r.content_type.rfind("text/html", 0) == 0) {
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
                           "base-uri 'none'; frame-ancestors 'none'");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    // Same-origin: form posts carry their Origin, other sites learn nothing.
    r.headers.emplace_back("Referrer-Policy", "same-origin");
  }
}

}  // namespace

const Probe* find_probe(const std::string& path) {
  for (const Probe& p : kProbes) {
    if (path == p.path) return &p;
  }
  return nullptr;
}

bool own_host(const Request& req) {
  const std::string host = lower(strip_port(req.host));
  if (host.empty() || host == lower(req.server_addr)) return true;
  const char* names = std::getenv("PORTAL_WEB_NAMES");
  std::istringstream in(names ? names : "");
  std::string name;
  while (in >> name) {
    if (host == lower(name)) return true;
  }
  return false;
}

std::string login_url(const Request& req, const std::string& url) {
  std::string host = req.server_addr;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  if (!req.server_port.empty() && req.server_port != "80") host += ":" + req.server_port;
  std::string to = "http://" + host + req.base + "/";
  if (!url.empty()) to += "?url=" + url_encode(url);
  return to;
}

Response serve(const Request& req) {
  PageContext ctx;
  ctx.lang = choose_language(req.accept_language);
  ctx.base = req.base;
  Response r;
  const Probe* probe = find_probe(req.path);
  if (probe != nullptr) {
    // A client already let through gets the answer that tells its system so; any other is
    // sent to the login page, which makes the system open it.
    const std::string ip = client_ipv4(req.remote_addr);
    if (!ip.empty() && is_online(read_online_list(), ip)) {
      r.status = probe->status;
      r.content_type = probe->content_type;
      r.body = probe->body;
    } else {
      r = redirect(login_url(req, ""));
    }
  } else if (!own_host(req)) {
    const std::string asked = "http://" + req.host + req.request_uri;
    r = redirect(login_url(req, safe_url(asked)));
    // The router sent this connection here; once the client is let through, its next
    // request to that host must open a new connection that goes to the host itself.
    r.headers.emplace_back("Connection", "close");
  } else if (req.path == "/" || req.path == "/login") {
    if (req.method == "POST") {
      r = login_submit(req, ctx);
    } else if (req.method == "GET" || req.method == "HEAD") {
      r = login_form(req, ctx);
    } else {
      r.status = 405;
      r.headers.emplace_back("Allow", "GET, HEAD, POST");
      r.body = not_found_page(ctx);
    }
  } else if (req.path == "/admin" && admin_allowed(req)) {
    r = admin_page(req, ctx);
  } else {
    r.status = 404;
    r.body = not_found_page(ctx);
  }
  add_common_headers(r);
  return r;
}

}  // namespace web
