#include "cgi.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace web {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the body announced by CONTENT_LENGTH; false when it is too large or cannot be read.
bool read_body(const std::string& length_text, std::string* body) {
  if (length_text.empty()) return true;
  char* end = nullptr;
  errno = 0;
  const unsigned long long length = std::strtoull(length_text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || length > kMaxBody) return false;
  body->resize(static_cast<size_t>(length));
  size_t done = 0;
  while (done < body->size()) {
    const ssize_t n = read(0, &(*body)[done], body->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

}  // namespace

std::string page_path(const std::string& path_info, const std::string& request_uri) {
  std::string p = path_info;
  if (p.empty()) p = request_uri.substr(0, request_uri.find('?'));
  if (p.empty()) p = "/";
  return p;
}

Request request_from_environment() {
  Request r;
  r.method = env("REQUEST_METHOD");
  r.request_uri = env("REQUEST_URI");
  const std::string path_info = env("PATH_INFO");
  r.path = page_path(path_info, r.request_uri);
  // The program's mount point is what REQUEST_URI holds before PATH_INFO.
  const std::string uri_path = r.request_uri.substr(0, r.request_uri.find('?'));
  if (!path_info.empty() && uri_path.size() >= path_info.size() &&
      uri_path.compare(uri_path.size() - path_info.size(), path_info.size(), path_info) == 0) {
    r.base = uri_path.substr(0, uri_path.size() - path_info.size());
  }
  r.query = env("QUERY_STRING");
  r.host = env("HTTP_HOST");
  r.remote_addr = env("REMOTE_ADDR");
  r.server_addr = env("SERVER_ADDR");
  r.server_port = env("SERVER_PORT");
  r.remote_user = env("REMOTE_USER");
  r.accept_language = env("HTTP_ACCEPT_LANGUAGE");
  r.content_type = env("CONTENT_TYPE");
  r.origin = env("HTTP_ORIGIN");
  r.referer = env("HTTP_REFERER");
  if (r.method == "POST") r.body_too_large = !read_body(env("CONTENT_LENGTH"), &r.body);
  return r;
}

bool url_decode(const std::string& in, std::string* out) {
  std::string s;
  s.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '+') {
      s += ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = hex_value(in[i + 1]);
      const int lo = hex_value(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      s += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      s += c;
    }
  }
  *out = std::move(s);
  return true;
}

std::string url_encode(const std::string& in) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (const char ch : in) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      s += static_cast<char>(c);
    } else {
      s += '%';
      s += kHex[c >> 4];
      s += kHex[c & 15];
    }
  }
  return s;
}

bool Form::parse(const std::string& text) {
  fields_.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    if (!piece.empty()) {
      const size_t eq = piece.find('=');
      std::string name, value;
      if (!url_decode(piece.substr(0, eq), &name)) return false;
      if (eq != std::string::npos && !url_decode(piece.substr(eq + 1), &value)) return false;
      if (has(name)) return false;
      fields_.emplace_back(std::move(name), std::move(value));
    }
    start = end + 1;
  }
  return true;
}

std::string Form::get(const std::string& name) const {
  for (const auto& f : fields_) {
    if (f.first == name) return f.second;
  }
  return "";
}

bool Form::has(const std::string& name) const {
  for (const auto& f : fields_) {
    if (f.first == name) return true;
  }
  return false;
}

bool printable_text(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    // Lead byte: the sequence length and the smallest code point it may stand for.
    size_t len;
    unsigned cp;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3f);
    }
    const unsigned min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    // C1 controls.
    if (cp >= 0x80 && cp < 0xa0) return false;
    i += len;
  }
  return true;
}

std::string html_escape(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': s += "&amp;"; break;
      case '<': s += "&lt;"; break;
      case '>': s += "&gt;"; break;
      case '"': s += "&quot;"; break;
      case '\'': s += "&#39;"; break;
      default: s += c;
    }
  }
  return s;
}

std::string cgi_output(const Response& r) {
  std::string out = "Status: " + std::to_string(r.status) + " " + reason_phrase(r.status) + "\r\n";
  if (r.status != 204 && r.status != 302) out += "Content-Type: " + r.content_type + "\r\n";
  for (const auto& h : r.headers) out += h.first + ": " + h.second + "\r\n";
  out += "\r\n";
  if (r.status != 204) out += r.body;
  return out;
}

}  // namespace web
