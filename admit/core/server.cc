#include "server.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "control.h"
#include "kmsg_layout.h"

namespace admit {

namespace {

const int kTickMs = 100;           // longest real time between two checks of the clock

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

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

}  // namespace

double mono_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Server::Server(const char* program, const ServerOptions& o)
    : program_(program), opt_(o), tables_(o.recheck_interval), start_(mono_seconds()) {}

Server::~Server() {
  if (kfd_ >= 0) close(kfd_);
  if (cfd_ >= 0) close(cfd_);
  if (bound_k_) unlink(opt_.socket.c_str());
  if (bound_c_) unlink(control_path(opt_.socket).c_str());
  if (journal_ && journal_ != stdout) std::fclose(journal_);
}

std::string Server::daemon_text() const { return sockaddr_text(daemon_, daemon_len_); }

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
    line.boolean("sent", true).str("to", daemon_text());
  else
    line.boolean("sent", false).str("error", error);
  journal(line, "out");
  return error;
}

std::string Server::send_all(const std::vector<Event>& events) {
  std::string first;
  for (const auto& e : events) {
    std::string error = send_event(e);
    if (first.empty()) first = error;
  }
  return first;
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
    const double t = now();
    const bool hello = cls == MessageClass::kernel && km.command == KMSG_HELLO;
    if (hello && flen <= sizeof(sa_family_t))
      line.str("error", "hello from an unnamed socket: no address to send events to");
    journal(line, "in", t);  // before what the front-end does with it
    if (hello && flen > sizeof(sa_family_t)) {
      daemon_known_ = true;
      daemon_ = from;
      daemon_len_ = flen;
      daemon_pid_ = km.nl_pid;
      // A restarted daemon has forgotten its clients: they are held back again, and the
      // exempt hosts and the whitelist come anew from what it sends next.
      tables_.reset();
      new_session(t);
    } else if (cls == MessageClass::kernel && !hello) {
      send_all(kernel_message(&km, t));
    } else if (cls == MessageClass::whitelist) {
      whitelist_message(wl, t);
    }
  }
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
    std::string s;
    if (daemon_known_)
      s = "daemon address: " + daemon_text() + " (pid " + std::to_string(daemon_pid_) + ")\n";
    else
      s = "daemon address: not known (no KMSG_HELLO yet)\n";
    const double t = now();
    char head[128];
    std::snprintf(head, sizeof head, "clock: %.1f simulated seconds, time scale %g\n", t,
                  opt_.time_scale);
    s += head + status_body(t);
    if (s.size() > kAnswerMax) s = s.substr(0, kAnswerMax) + "\n(cut short)\n";
    return s;
  }
  std::string text;
  if (control(words, ok, &text)) return text;
  return "unknown request";
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
      std::fprintf(stderr, "%s: cannot open journal %s: %s\n", program_, opt_.journal.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  // The Kernel channel's socket first (no other instance serves it), then the front-end's
  // start; the control socket last, so that once it is there the component is ready.
  std::string error;
  kfd_ = bind_at(opt_.socket, &error);
  bound_k_ = kfd_ >= 0;
  if (!bound_k_) {
    std::fprintf(stderr, "%s: %s\n", program_, error.c_str());
    return 1;
  }
  if (!start(&error)) {
    std::fprintf(stderr, "%s: %s\n", program_, error.c_str());
    finish();
    return 1;
  }
  cfd_ = bind_at(control_path(opt_.socket), &error);
  bound_c_ = cfd_ >= 0;
  if (!bound_c_) {
    std::fprintf(stderr, "%s: %s\n", program_, error.c_str());
    finish();
    return 1;
  }
  // An answer is one datagram: the status of ten thousand clients needs a large send buffer
  // (beyond the system's limit where the process may, as root).
  int sndbuf = static_cast<int>(2 * kAnswerMax);
  if (setsockopt(cfd_, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf) != 0)
    setsockopt(cfd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  JsonLine begin;
  begin.str("msg", "start").str("socket", opt_.socket).num("time_scale", opt_.time_scale)
      .num("recheck_interval", opt_.recheck_interval);
  journal(begin, "note");

  std::vector<pollfd> fds;
  while (!g_stop) {
    before_expire(now());
    const std::vector<Event> due = tables_.expire(now());
    send_all(due);
    if (!due.empty()) expired(due);
    // Sleep until the next due time, but never longer than one tick of real time.
    int wait_ms = kTickMs;
    const double next = tables_.next_due();
    if (std::isfinite(next)) {
      const double real_ms = (next - now()) / opt_.time_scale * 1000.0;
      if (real_ms < wait_ms) wait_ms = real_ms <= 0 ? 0 : static_cast<int>(std::ceil(real_ms));
    }
    fds.assign({{kfd_, POLLIN, 0}, {cfd_, POLLIN, 0}});
    int more_ms = -1;
    watch(&fds, &more_ms);
    if (more_ms >= 0 && more_ms < wait_ms) wait_ms = more_ms;
    if (poll(fds.data(), fds.size(), wait_ms) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", program_, std::strerror(errno));
      finish();
      return 1;
    }
    if (fds[0].revents) read_kernel();
    if (fds[1].revents) read_control();
    if (fds.size() > 2) ready(fds.data() + 2, fds.size() - 2);
  }
  finish();
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

std::vector<std::string> server_option_names() {
  return {"--socket", "--journal", "--time-scale", "--recheck-interval"};
}

int take_server_option(const std::string& name, const std::string& value, ServerOptions* o,
                       std::string* error) {
  if (name == "--socket") {
    o->socket = value;
  } else if (name == "--journal") {
    o->journal = value;
  } else if (name == "--time-scale") {
    if (parse_positive(value.c_str(), &o->time_scale)) return 1;
    *error = "--time-scale needs a positive number, not '" + value + "'";
    return -1;
  } else if (name == "--recheck-interval") {
    if (parse_positive(value.c_str(), &o->recheck_interval)) return 1;
    *error = "--recheck-interval needs a positive number of seconds, not '" + value + "'";
    return -1;
  } else {
    return 0;
  }
  return 1;
}

bool split_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                const std::vector<std::string>& flags,
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
    if (std::find(flags.begin(), flags.end(), name) != flags.end() && !has_value) {
      opts->emplace_back(name, "");
      continue;
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

}  // namespace admit
