// portal-web: the router's web pages as one CGI program. The web server runs it for every
// request with the CGI variables (REMOTE_ADDR, PATH_INFO, ...) set; it writes the answer to
// standard output.
#include <cstdio>
#include <string>

#include "cgi.h"
#include "site.h"

int main() {
  const std::string out = web::cgi_output(web::serve(web::request_from_environment()));
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
