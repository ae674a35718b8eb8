// admitsim: the kernel's client-admission component in user space. It listens on an AF_UNIX
// datagram socket where the daemon's Kernel channel sends, answers with Kernel events to the
// address the daemon said hello from, applies the time limits on a simulated clock that runs
// --time-scale times faster than real time, and journals everything it receives and sends.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "kmsg_layout.h"
#include "tables.h"
#include "wire.h"

namespace admit {
namespace {

const char kUsage[] =
    "usage: admitsim --socket PATH [--journal FILE] [--time-scale N] [--recheck-interval SECONDS]\n"
    "       admitsim event --socket PATH host-up IP MAC KIND | host-down IP | recheck IP\n"
    "                                    | seen IP MAC | raw CODE IP\n"
    "       admitsim status --socket PATH\n"
    "\n"
    "Without a command, runs the admission component on the datagram socket PATH (and its\n"
    "control socket PATH.ctl) until SIGTERM or SIGINT. The daemon's address is the sender of\n"
    "KMSG_HELLO. --journal FILE appends one JSON object a line for every message received and\n"
    "every event sent (FILE '-' is standard output). --time-scale N runs the clock N times\n"
    "faster than real time (default 1). --recheck-interval sets the simulated seconds between\n"
    "KEV_RECHECK events (default: the permit's recheck_seconds).\n"
    "\n"
    "event asks a running admitsim to send an event to the daemon: host-up marks an exempt host\n"
    "(kind 0 or 1) up, host-down forgets the host, recheck and raw (any event code) only send;\n"
    "seen treats the host as seen in traffic (restarts an admitted client's idle timer, or\n"
    "brings up a host whose MAC address or address is exempt). status prints admitsim's tables.\n";

const int kTickMs = 100;              // longest real time between two checks of the clock
const size_t kStatusMax = 150000;     // an answer must fit one datagram

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int usage_error(const std::string& what) {
  std::fprintf(stderr, "admitsim: %s\n(admitsim --help shows the usage)\n", what.c_str());
  return 2;
}

double mono_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string wall_text() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  gmtime_r(&ts.tv_sec, &t);
  char buf[40];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
  std::snprintf(buf + n, sizeof buf - n, ".%03ldZ", ts.tv_nsec / 1000000);
  return buf;
}

std::string sockaddr_text(const sockaddr_un& a, socklen_t len) {
  if (len <= sizeof(sa_family_t)) return "(unnamed)";
  const size_t n = len - sizeof(sa_family_t);
  if (a.sun_path[0] != '\0') return std::string(a.sun_path, strnlen(a.sun_path, n));
  std::string out = "@";
  for (size_t i = 1; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(a.sun_path[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

bool set_path(sockaddr_un* a, const std::string& path) {
  *a = sockaddr_un{};
  a->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof a->sun_path) return false;
  std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Binds a datagram socket at path, removing a stale socket file first. A socket that
// someone still listens on, or a file that is not a socket, is left alone.
int bind_at(const std::string& path, std::string* error) {
  sockaddr_un a;
  if (!set_path(&a, path)) {
    *error = "socket path empty or too long: " + path;
    return -1;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0) close(probe);
    if (alive) {
      *error = "another process is bound at " + path;
      return -1;
    }
    unlink(path.c_str());
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = "cannot bind " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

struct Options {
  std::string socket, journal;
  double time_scale = 1;
  double recheck_interval = 0;
};

class Server {
 public:
  explicit Server(const Options& o) : opt_(o), tables_(o.recheck_interval), start_(mono_seconds()) {}
  ~Server();
  int run();

 private:
  double now() const { return (mono_seconds() - start_) * opt_.time_scale; }
  // at: the simulated time to record, when it is not the present.
  void journal(JsonLine line, const char* dir, double at = -1);
  // Sends and journals one event; returns why it could not be sent, or "" when it was.
  std::string send_event(const Event& e);
  // Sends every event; returns the first reason one could not be sent, or "".
  std::string send_all(const std::vector<Event>& events) {
    std::string first;
    for (const auto& e : events) {
      std::string error = send_event(e);
      if (first.empty()) first = error;
    }
    return first;
  }
  void read_kernel();
  void read_control();
  std::string answer(const std::string& request, bool* ok);
  std::string status() const;

  Options opt_;
  Tables tables_;
  double start_;
  FILE* journal_ = nullptr;
  int kfd_ = -1, cfd_ = -1;
  bool bound_k_ = false, bound_c_ = false;
  bool daemon_known_ = false;
  sockaddr_un daemon_{};
  socklen_t daemon_len_ = 0;
  uint32_t daemon_pid_ = 0;
};

Server::~Server() {
  if (kfd_ >= 0) close(kfd_);
  if (cfd_ >= 0) close(cfd_);
  if (bound_k_) unlink(opt_.socket.c_str());
  if (bound_c_) unlink(control_path(opt_.socket).c_str());
  if (journal_ && journal_ != stdout) std::fclose(journal_);
}

void Server::journal(JsonLine line, const char* dir, double at) {
  if (!journal_) return;
  JsonLine head;
  head.str("wall", wall_text()).num("sim", at >= 0 ? at : now()).str("dir", dir);
  std::string text = head.text();
  const std::string body = line.text();
  text.pop_back();  // '}'
  if (body.size() > 2) text += "," + body.substr(1);
  else text += "}";
  std::fprintf(journal_, "%s\n", text.c_str());
  std::fflush(journal_);
}

std::string Server::send_event(const Event& e) {
  JsonLine line;
  line.str("msg", "event")
      .str("event", event_name(e.code))
      .num("code", uint64_t{e.code})
      .str("addr", addr_text(e.addr))
      .num("kind", uint64_t{e.kind})
      .str("mac", mac_text(e.mac))
      .str("reason", e.reason);
  std::string error;
  if (!daemon_known_) {
    error = "no daemon address";
  } else {
    uint8_t buf[KMSG_SIZE];
    encode_event(e.code, e.addr, e.kind, e.mac, buf);
    if (sendto(kfd_, buf, sizeof buf, 0, reinterpret_cast<const sockaddr*>(&daemon_),
               daemon_len_) < 0)
      error = std::strerror(errno);
  }
  if (error.empty())
    line.boolean("sent", true).str("to", sockaddr_text(daemon_, daemon_len_));
  else
    line.boolean("sent", false).str("error", error);
  journal(line, "out");
  return error;
}

void Server::read_kernel() {
  std::vector<uint8_t> buf(65536);
  for (;;) {
    sockaddr_un from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(kfd_, buf.data(), buf.size(), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 0) return;  // drained (or an error that the next poll reports again)
    size_t len = std::min(static_cast<size_t>(n), buf.size());
    JsonLine line;
    line.str("from", sockaddr_text(from, flen));
    if (static_cast<size_t>(n) > buf.size()) line.num("truncated_from", static_cast<uint64_t>(n));
    KernelMessage km{};
    WhitelistMessage wl;
    const MessageClass cls = decode_message(buf.data(), len, &line, &km, &wl);
    std::vector<Event> caused;
    const double t = now();
    if (cls == MessageClass::kernel && km.command == KMSG_HELLO) {
      if (flen > sizeof(sa_family_t)) {
        daemon_known_ = true;
        daemon_ = from;
        daemon_len_ = flen;
        daemon_pid_ = km.nl_pid;
      } else {
        line.str("error", "hello from an unnamed socket: no address to send events to");
      }
    } else if (cls == MessageClass::kernel) {
      caused = tables_.apply(km, t);
    } else if (cls == MessageClass::whitelist) {
      tables_.apply(wl);
    }
    journal(line, "in", t);
    send_all(caused);
  }
}

std::string Server::status() const {
  char head[256];
  std::string s;
  if (daemon_known_)
    s = "daemon address: " + sockaddr_text(daemon_, daemon_len_) + " (pid " +
        std::to_string(daemon_pid_) + ")\n";
  else
    s = "daemon address: not known (no KMSG_HELLO yet)\n";
  const double t = now();
  std::snprintf(head, sizeof head, "clock: %.1f simulated seconds, time scale %g\n", t,
                opt_.time_scale);
  s += head + tables_.status(t);
  if (s.size() > kStatusMax) s = s.substr(0, kStatusMax) + "\n(cut short)\n";
  return s;
}

std::string Server::answer(const std::string& request, bool* ok) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos <= request.size()) {
    size_t nl = request.find('\n', pos);
    if (nl == std::string::npos) nl = request.size();
    words.push_back(request.substr(pos, nl - pos));
    pos = nl + 1;
  }
  *ok = false;
  if (words.size() == 1 && words[0] == "status") {
    *ok = true;
    return status();
  }
  if (words.empty() || words[0] != "event") return "unknown request";
  words.erase(words.begin());
  EventRequest req;
  std::string error;
  if (!parse_event_request(words, &req, &error)) return error;
  if (!daemon_known_) return "no daemon address yet: the daemon has not sent KMSG_HELLO";

  const double t = now();
  std::vector<Event> events;
  std::string what;
  switch (req.action) {
    case Action::host_up:
      events.push_back(tables_.host_up(req.addr, req.mac, req.kind, t));
      break;
    case Action::host_down:
      events.push_back(tables_.host_down(req.addr));
      break;
    case Action::recheck:
      events.push_back(Event{KEV_RECHECK, req.addr, KIND_CLIENT_IP, Mac{}, "operator"});
      break;
    case Action::raw:
      events.push_back(Event{req.code, req.addr, 0, Mac{}, "operator"});
      break;
    case Action::seen: {
      events = tables_.seen(req.addr, req.mac, t, &what);
      JsonLine note;
      note.str("msg", "seen").str("addr", addr_text(req.addr)).str("mac", mac_text(req.mac))
          .str("result", what);
      journal(note, "note", t);
      break;
    }
  }
  const std::string failed = send_all(events);
  if (!failed.empty())
    return "the event could not be sent to the daemon at " + sockaddr_text(daemon_, daemon_len_) +
           ": " + failed;
  if (what.empty()) what = std::string(event_name(events[0].code)) + " (code " +
                           std::to_string(events[0].code) + ") sent for " + addr_text(req.addr);
  *ok = true;
  return what;
}

void Server::read_control() {
  char buf[4096];
  for (;;) {
    sockaddr_un from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(cfd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 0) return;
    bool ok;
    const std::string text = answer(std::string(buf, static_cast<size_t>(n)), &ok);
    const std::string reply = (ok ? "ok\n" : "error\n") + text;
    if (flen > sizeof(sa_family_t))
      sendto(cfd_, reply.data(), reply.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), flen);
  }
}

int Server::run() {
  if (!opt_.journal.empty()) {
    journal_ = opt_.journal == "-" ? stdout : std::fopen(opt_.journal.c_str(), "a");
    if (!journal_) {
      std::fprintf(stderr, "admitsim: cannot open journal %s: %s\n", opt_.journal.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  std::string error;
  const std::string ctl = control_path(opt_.socket);
  kfd_ = bind_at(opt_.socket, &error);
  bound_k_ = kfd_ >= 0;
  if (bound_k_) cfd_ = bind_at(ctl, &error);
  bound_c_ = cfd_ >= 0;
  if (!bound_c_) {
    std::fprintf(stderr, "admitsim: %s\n", error.c_str());
    return 1;
  }

  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  JsonLine start;
  start.str("msg", "start").str("socket", opt_.socket).num("time_scale", opt_.time_scale)
      .num("recheck_interval", opt_.recheck_interval);
  journal(start, "note");

  while (!g_stop) {
    send_all(tables_.expire(now()));
    // Sleep until the next due time, but never longer than one tick of real time.
    int wait_ms = kTickMs;
    const double due = tables_.next_due();
    if (std::isfinite(due)) {
      const double real_ms = (due - now()) / opt_.time_scale * 1000.0;
      if (real_ms < wait_ms) wait_ms = real_ms <= 0 ? 0 : static_cast<int>(std::ceil(real_ms));
    }
    pollfd p[2] = {{kfd_, POLLIN, 0}, {cfd_, POLLIN, 0}};
    if (poll(p, 2, wait_ms) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "admitsim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    if (p[0].revents) read_kernel();
    if (p[1].revents) read_control();
  }
  JsonLine stop;
  stop.str("msg", "stop");
  journal(stop, "note");
  return 0;
}

bool parse_positive(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v <= 0) return false;
  *out = v;
  return true;
}

// Splits the arguments after the program name (and command) into --name value options and
// plain words. "--name=value" is accepted as well. Returns false with a reason.
bool split_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                std::vector<std::pair<std::string, std::string>>* opts,
                std::vector<std::string>* words, std::string* error, bool* help) {
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      *help = true;
      return true;
    }
    if (a.compare(0, 2, "--") != 0 || a.size() == 2) {
      words->push_back(a);
      continue;
    }
    std::string name = a, value;
    bool has_value = false;
    const size_t eq = a.find('=');
    if (eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    if (std::find(with_value.begin(), with_value.end(), name) == with_value.end()) {
      *error = "unknown option " + name;
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    opts->emplace_back(name, value);
  }
  return true;
}

int client_main(const std::string& command, int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error, socket;
  bool help = false;
  if (!split_args(argc, argv, 2, {"--socket"}, &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (const auto& o : opts) socket = o.second;
  if (socket.empty()) return usage_error(command + " needs --socket PATH");
  std::string request = command;
  if (command == "status") {
    if (!words.empty()) return usage_error("status takes no further arguments");
  } else {
    EventRequest req;
    if (!parse_event_request(words, &req, &error)) return usage_error(error);
    for (const auto& w : words) request += "\n" + w;
  }
  std::string reply;
  const int rc = control_call(socket, request, &reply);
  if (rc != 0) {
    std::fprintf(stderr, "admitsim: %s\n", reply.c_str());
    return 1;
  }
  std::fputs(reply.c_str(), stdout);
  if (!reply.empty() && reply.back() != '\n') std::fputc('\n', stdout);
  return 0;
}

int server_main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error;
  bool help = false;
  if (!split_args(argc, argv, 1, {"--socket", "--journal", "--time-scale", "--recheck-interval"},
                  &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!words.empty()) return usage_error("unknown command '" + words[0] + "'");
  Options o;
  for (const auto& kv : opts) {
    if (kv.first == "--socket") {
      o.socket = kv.second;
    } else if (kv.first == "--journal") {
      o.journal = kv.second;
    } else if (kv.first == "--time-scale") {
      if (!parse_positive(kv.second.c_str(), &o.time_scale))
        return usage_error("--time-scale needs a positive number, not '" + kv.second + "'");
    } else if (!parse_positive(kv.second.c_str(), &o.recheck_interval)) {
      return usage_error("--recheck-interval needs a positive number of seconds, not '" +
                         kv.second + "'");
    }
  }
  if (o.socket.empty()) return usage_error("--socket PATH is required");
  Server server(o);
  return server.run();
}

}  // namespace
}  // namespace admit

int main(int argc, char** argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "event") || !std::strcmp(argv[1], "status")))
    return admit::client_main(argv[1], argc, argv);
  return admit::server_main(argc, argv);
}
