// The CGI side of the web pages: the request as the web server hands it over (environment
// and standard input), form and query parsing, and the response written to standard output.
// Nothing here knows about logins; pages.h and the handlers build on it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace web {

// A request body larger than this is not read; the page answers with the form again.
inline constexpr size_t kMaxBody = 16 * 1024;

struct Request {
  std::string method;          // REQUEST_METHOD
  std::string path;            // the page asked for, below the program's base, e.g. "/login"
  std::string base;            // where the program is mounted ("" when it serves the site)
  std::string request_uri;     // REQUEST_URI as the client sent it
  std::string query;           // QUERY_STRING
  std::string host;            // HTTP_HOST
  std::string remote_addr;     // REMOTE_ADDR
  std::string server_addr;     // SERVER_ADDR
  std::string server_port;     // SERVER_PORT
  std::string remote_user;     // REMOTE_USER, set when the server checked a password
  std::string accept_language; // HTTP_ACCEPT_LANGUAGE
  std::string content_type;    // CONTENT_TYPE
  std::string origin;          // HTTP_ORIGIN
  std::string referer;         // HTTP_REFERER
  std::string body;
  bool body_too_large = false;  // CONTENT_LENGTH above kMaxBody or unreadable
};

// Reads the CGI variables and, for a request with a body, up to kMaxBody bytes of it.
Request request_from_environment();

// The path below the program: PATH_INFO when the server gives one, else the path of
// REQUEST_URI. "" becomes "/".
std::string page_path(const std::string& path_info, const std::string& request_uri);

// Fields of a query string or an application/x-www-form-urlencoded body, in order.
class Form {
 public:
  // Reads text; false when it is malformed: a bad %-escape or a field named twice.
  bool parse(const std::string& text);
  // The value of name, or "" when it is absent.
  std::string get(const std::string& name) const;
  bool has(const std::string& name) const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// Decodes %XX and '+'; false on a '%' not followed by two hex digits.
bool url_decode(const std::string& in, std::string* out);
// Encodes everything but unreserved characters, for a query value.
std::string url_encode(const std::string& in);

// True when text is valid UTF-8 without control characters: what a person can type into a
// one-line field.
bool printable_text(const std::string& text);

// Text made safe for HTML content and double- or single-quoted attribute values.
std::string html_escape(const std::string& text);

struct Response {
  int status = 200;
  std::string content_type = "text/html; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The response as CGI output: a Status line, the headers, a blank line and the body.
std::string cgi_output(const Response& r);

}  // namespace web
