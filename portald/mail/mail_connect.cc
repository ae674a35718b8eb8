#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mail/check_budget.h"
#include "mail/mail_check.h"

namespace mail {
namespace {

// The local end of every check socket: any address, a port the system chooses.
sockaddr_in g_local_address = [] {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = 0;
  return a;
}();

// A TCP socket whose descriptor is not 0, which mail_connect reserves for failure: when the
// daemon runs with standard input closed the system hands out 0 first.
int open_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == 0) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    fd = moved;
  }
  return fd;
}

// Connects within the connect time-out (and what is left of the check's budget); the socket
// blocks again afterwards.
bool connect_within_limit(int fd, const sockaddr_in& server) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    if (errno != EINPROGRESS) return false;
    int wait_ms = check_limits().connect_ms;
    const int left = budget_left_ms();
    if (left >= 0) wait_ms = std::min(wait_ms, left);
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
      n = poll(&p, 1, wait_ms);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  }
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

int is_dotted(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if ((*p < '0' || *p > '9') && *p != '.') return 0;
  }
  return 1;
}

int resolve_host(const char* name, char* out) {
  out[0] = '\0';
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || answer == nullptr) return 0;
  // Only the first address is ever tried.
  const auto* first = reinterpret_cast<const sockaddr_in*>(answer->ai_addr);
  const char* text = inet_ntop(AF_INET, &first->sin_addr, out, kDottedSize);
  freeaddrinfo(answer);
  if (text == nullptr) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

int mail_connect(const char* host, unsigned int port) {
  char address[kDottedSize] = "";
  if (is_dotted(host)) {
    // A longer "address" stays empty and fails at the conversion below.
    if (std::strlen(host) < kDottedSize) std::strcpy(address, host);
  } else if (!resolve_host(host, address)) {
    return 0;
  }

  const int fd = open_socket();
  if (fd < 0) return 0;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&g_local_address), sizeof g_local_address) != 0) {
    close(fd);
    return 0;
  }
  const timeval timeout = {kReceiveTimeout, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    close(fd);
    return 0;
  }
  sockaddr_in server;
  std::memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port & 0xffffu));
  if (inet_aton(address, &server.sin_addr) == 0) {
    close(fd);
    return 0;
  }
  if (!connect_within_limit(fd, server)) {
    close(fd);
    return 0;
  }
  return fd;
}

}  // namespace mail
