#include "client.h"

#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
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

UnixAddress unix_address(const std::string& path) {
  UnixAddress a;
  if (path.empty()) fail(kExitUsage, "the socket path is empty");
  if (path.size() >= sizeof(a.addr.sun_path)) {
    fail(kExitUsage, "socket path " + path + " is too long for a socket address");
  }
  a.addr.sun_family = AF_UNIX;
  std::memcpy(a.addr.sun_path, path.c_str(), path.size() + 1);
  a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
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

}  // namespace client
