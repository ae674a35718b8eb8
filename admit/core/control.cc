#include "control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>


namespace admit {

namespace {

// How long a client waits for the answer.
const int kAnswerMs = 5000;

struct Form {
  const char* word;
  Action action;
  size_t args;  // words after the action word
};

const Form kForms[] = {
    {"host-up", Action::host_up, 3}, {"host-down", Action::host_down, 1},
    {"recheck", Action::recheck, 1}, {"seen", Action::seen, 2},
    {"raw", Action::raw, 2},
};

}  // namespace

bool parse_event_request(const std::vector<std::string>& words, EventRequest* req,
                         std::string* error) {
  if (words.empty()) {
    *error = "missing event (host-up, host-down, recheck, seen or raw)";
    return false;
  }
  const Form* form = nullptr;
  for (const auto& f : kForms)
    if (words[0] == f.word) form = &f;
  if (!form) {
    *error = "unknown event '" + words[0] + "'";
    return false;
  }
  if (words.size() != form->args + 1) {
    *error = words[0] + " takes " + std::to_string(form->args) + " argument" +
             (form->args == 1 ? "" : "s");
    return false;
  }
  req->action = form->action;
  size_t ip_at = form->action == Action::raw ? 2 : 1;
  if (!parse_addr(words[ip_at], &req->addr)) {
    *error = "'" + words[ip_at] + "' is not an IPv4 address";
    return false;
  }
  if ((form->action == Action::host_up || form->action == Action::seen) &&
      !parse_mac(words[2], &req->mac)) {
    *error = "'" + words[2] + "' is not a MAC address (six hexadecimal groups with ':')";
    return false;
  }
  if (form->action == Action::host_up && !parse_u32(words[3], &req->kind)) {
    *error = "'" + words[3] + "' is not a kind (a number)";
    return false;
  }
  if (form->action == Action::raw && !parse_u32(words[1], &req->code)) {
    *error = "'" + words[1] + "' is not an event code (a number)";
    return false;
  }
  return true;
}

std::string control_path(const std::string& socket_path) { return socket_path + ".ctl"; }

int control_call(const char* program, const std::string& socket_path, const std::string& request,
                 std::string* reply) {
  const std::string name = program;
  const std::string path = control_path(socket_path);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  if (path.size() >= sizeof to.sun_path) {
    *reply = "socket path too long: " + path;
    return 1;
  }
  std::memcpy(to.sun_path, path.c_str(), path.size() + 1);

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *reply = std::string("cannot create a socket: ") + std::strerror(errno);
    return 1;
  }
  // An autobound (abstract) address, so that the answer can come back.
  sa_family_t fam = AF_UNIX;
  if (bind(fd, reinterpret_cast<sockaddr*>(&fam), sizeof fam) != 0 ||
      sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to) < 0) {
    const int err = errno;
    close(fd);
    if (err == ENOENT || err == ECONNREFUSED)
      *reply = name + " is not running at " + socket_path + " (no one at " + path + ")";
    else
      *reply = "cannot reach " + name + " at " + path + ": " + std::strerror(err);
    return 1;
  }
  pollfd p{fd, POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, kAnswerMs)) < 0 && errno == EINTR) {
  }
  if (r <= 0) {
    close(fd);
    *reply = name + " at " + socket_path + " did not answer";
    return 1;
  }
  ssize_t n = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  std::string buf(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  n = recv(fd, &buf[0], buf.size(), 0);
  close(fd);
  if (n < 0) {
    *reply = "cannot read " + name + "'s answer: " + std::strerror(errno);
    return 1;
  }
  buf.resize(static_cast<size_t>(n));
  const size_t nl = buf.find('\n');
  const std::string head = buf.substr(0, nl);
  *reply = nl == std::string::npos ? "" : buf.substr(nl + 1);
  if (head == "ok") return 0;
  if (head != "error") *reply = "unexpected answer from " + name + ": " + buf;
  return 1;
}

int control_command(const char* program, const std::string& socket_path,
                    const std::string& request) {
  std::string reply;
  if (control_call(program, socket_path, request, &reply) != 0) {
    std::fprintf(stderr, "%s: %s\n", program, reply.c_str());
    return 1;
  }
  std::fputs(reply.c_str(), stdout);
  if (!reply.empty() && reply.back() != '\n') std::fputc('\n', stdout);
  return 0;
}

}  // namespace admit
