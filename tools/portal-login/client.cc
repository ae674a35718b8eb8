#include "client.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace client {
namespace {

const char* g_program = "portal-client";

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Writes the whole request; false with errno set when the peer cannot take it.
bool send_all(int fd, const unsigned char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads the reply into the record until it is complete, the peer closes, or the deadline.
LoginOutcome receive_reply(int fd, int64_t deadline) {
  unsigned char reply[auth::kRecordSize];
  LoginOutcome out;
  while (out.received < sizeof(reply)) {
    const int64_t left = deadline - monotonic_ms();
    if (left <= 0) {
      out.exchange = Exchange::kTimeout;
      return out;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      out.exchange = Exchange::kReceiveFailed;
      out.error = errno;
      return out;
    }
    if (ready == 0) continue;
    const ssize_t n = recv(fd, reply + out.received, sizeof(reply) - out.received, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.exchange = Exchange::kReceiveFailed;
      out.error = errno;
      return out;
    }
    if (n == 0) {
      out.exchange = out.received == 0 ? Exchange::kNoReply : Exchange::kShortReply;
      return out;
    }
    out.received += static_cast<size_t>(n);
  }
  out.exchange = Exchange::kReply;
  out.result = static_cast<int32_t>(auth::record_word(reply, 0));
  return out;
}

}  // namespace

void set_program(const char* name) { g_program = name; }

void fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", g_program, message.c_str());
  std::exit(status);
}

void bad_option(int code, char** argv) {
  // A short option is named by optopt; a long one only by the argument that held it.
  std::string given = optind > 0 ? argv[optind - 1] : "";
  if (optopt > 0 && optopt < 128 && given.compare(0, 2, "--") != 0) {
    given = std::string("-") + static_cast<char>(optopt);
  }
  if (code == ':') fail(kExitUsage, "option " + given + " needs a value (see --help)");
  fail(kExitUsage, "unknown or ambiguous option " + given + " (see --help)");
}

void put_checked(unsigned char* record, auth::Field f, const std::string& text,
                 const char* what) {
  if (text.size() > f.width) {
    fail(kExitUsage, std::string(what) + " is " + std::to_string(text.size()) +
                         " characters long; at most " + std::to_string(f.width) + " fit");
  }
  auth::put_text(record, f, text);
}

bool valid_validity(const std::string& v) {
  if (v == "*") return true;
  if (!v.empty() && v.size() <= 2) {
    return std::isdigit(static_cast<unsigned char>(v[0])) &&
           (v.size() == 1 || std::isdigit(static_cast<unsigned char>(v[1])));
  }
  unsigned year = 0, month = 0, day = 0;
  int used = 0;
  if (std::sscanf(v.c_str(), "%4u-%2u-%2u%n", &year, &month, &day, &used) != 3) return false;
  const std::string rest = v.substr(static_cast<size_t>(used));
  for (char ch : v.substr(0, static_cast<size_t>(used))) {
    if (ch != '-' && !std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  return (rest.empty() || rest == ".") && year >= 1970 && month >= 1 && month <= 12 &&
         day >= 1 && day <= 31;
}

bool valid_mac(const std::string& m) {
  size_t i = 0;
  for (int group = 0; group < 6; ++group) {
    if (group > 0) {
      if (i >= m.size() || m[i] != ':') return false;
      ++i;
    }
    size_t digits = 0;
    while (i < m.size() && digits < 3 && std::isxdigit(static_cast<unsigned char>(m[i]))) {
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 2) return false;
  }
  return i == m.size();
}

bool parse_word(const char* text, uint32_t* value) {
  if (*text == '\0' || std::strchr(text, ' ') != nullptr) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

int parse_timeout(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double s = std::strtod(text, &end);
  if (*text == '\0' || errno != 0 || *end != '\0' || !std::isfinite(s) || s <= 0 ||
      s > kMaxTimeoutSeconds) {
    fail(kExitUsage, std::string("--timeout takes a number of seconds above 0 and at most ") +
                         std::to_string(kMaxTimeoutSeconds) + ", not '" + text + "'");
  }
  return std::max(1, static_cast<int>(std::ceil(s * 1000)));
}

void set_send_timeout(int fd, int timeout_ms) {
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

bool make_unix_address(const std::string& path, UnixAddress* out) {
  UnixAddress a;
  if (path.empty() || path.size() >= sizeof(a.addr.sun_path)) return false;
  a.addr.sun_family = AF_UNIX;
  std::memcpy(a.addr.sun_path, path.c_str(), path.size() + 1);
  a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  *out = a;
  return true;
}

UnixAddress unix_address(const std::string& path) {
  UnixAddress a;
  if (path.empty()) fail(kExitUsage, "the socket path is empty");
  if (!make_unix_address(path, &a)) {
    fail(kExitUsage, "socket path " + path + " is too long for a socket address");
  }
  return a;
}

LoginOutcome login_exchange(const UnixAddress& socket_addr, const unsigned char* request,
                            int timeout_ms) {
  LoginOutcome out;
  const int64_t deadline = monotonic_ms() + timeout_ms;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    out.exchange = Exchange::kUnreachable;
    out.error = errno;
    return out;
  }
  // A daemon whose queue of connections is full makes connect wait; the time-out bounds that.
  set_send_timeout(fd, timeout_ms);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&socket_addr.addr), socket_addr.len) != 0) {
    out.exchange = errno == EAGAIN ? Exchange::kTimeout : Exchange::kUnreachable;
    out.error = errno;
  } else if (!send_all(fd, request, auth::kRecordSize)) {
    out.exchange = errno == EAGAIN ? Exchange::kTimeout : Exchange::kSendFailed;
    out.error = errno;
  } else {
    out = receive_reply(fd, deadline);
  }
  close(fd);
  return out;
}

namespace {

void start_request(unsigned char* record, auth::ControlCommand command) {
  std::memset(record, 0, auth::kRecordSize);
  auth::put_word(record, auth::kCtrlOffCmd, command);
}

ControlProblem name_problem(const std::string& name) {
  if (name.empty()) return ControlProblem::kEmptyName;
  if (!fits(auth::kCtrlUser, name)) return ControlProblem::kNameTooLong;
  return ControlProblem::kFine;
}

}  // namespace

ControlProblem add_account_request(unsigned char* record, const std::string& name,
                                   const std::string& validity, const std::string& note) {
  const ControlProblem p = name_problem(name);
  if (p != ControlProblem::kFine) return p;
  if (!valid_validity(validity) || !fits(auth::kCtrlValidity, validity)) {
    return ControlProblem::kBadValidity;
  }
  if (!fits(auth::kCtrlNote, note)) return ControlProblem::kNoteTooLong;
  start_request(record, auth::CTRL_ADD_ACCOUNT);
  auth::put_text(record, auth::kCtrlUser, name);
  auth::put_text(record, auth::kCtrlValidity, validity);
  auth::put_text(record, auth::kCtrlNote, note);
  return ControlProblem::kFine;
}

ControlProblem remove_account_request(unsigned char* record, const std::string& name) {
  const ControlProblem p = name_problem(name);
  if (p != ControlProblem::kFine) return p;
  start_request(record, auth::CTRL_REMOVE_ACCOUNT);
  auth::put_text(record, auth::kCtrlUser, name);
  return ControlProblem::kFine;
}

ControlProblem cut_request(unsigned char* record, const std::string& ip) {
  in_addr a{};
  // inet_pton takes only the four-part dotted decimal form, which always fits the field.
  if (inet_pton(AF_INET, ip.c_str(), &a) != 1) return ControlProblem::kBadAddress;
  start_request(record, auth::CTRL_CUT_CLIENT);
  auth::put_text(record, auth::kCtrlCutIp, ip);
  return ControlProblem::kFine;
}

ControlProblem mac_request(unsigned char* record, auth::ControlCommand command,
                           const std::string& mac) {
  if (!valid_mac(mac)) return ControlProblem::kBadMac;
  start_request(record, command);
  auth::put_text(record, command == auth::CTRL_PERMIT_MAC ? auth::kCtrlPermitMac
                                                          : auth::kCtrlRevokeMac,
                 mac);
  return ControlProblem::kFine;
}

ControlOutcome control_send(const UnixAddress& socket_addr, const unsigned char* request,
                            int timeout_ms) {
  ControlOutcome out;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    out.error = errno;
    return out;
  }
  // The daemon reads one request per pass; a full queue makes the send wait.
  set_send_timeout(fd, timeout_ms);
  const ssize_t sent =
      sendto(fd, request, auth::kRecordSize, MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&socket_addr.addr), socket_addr.len);
  out.error = errno;
  close(fd);
  if (sent < 0) {
    const int e = out.error;
    if (e == EAGAIN) {
      out.sent = Sent::kTimeout;
    } else if (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR || e == EACCES ||
               e == EPROTOTYPE || e == ENOTSOCK) {
      out.sent = Sent::kUnreachable;
    }
    return out;
  }
  out.error = 0;
  if (static_cast<size_t>(sent) == auth::kRecordSize) out.sent = Sent::kSent;
  return out;
}

}  // namespace client
