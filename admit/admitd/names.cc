#include "names.h"

#include <ares.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "server.h"
#include "wire.h"

namespace admit {

namespace {

const double kMinRefresh = 1;      // seconds: a time-to-live below this is taken as this
const double kMaxRefresh = 3600;   // seconds: names are asked again at least this often
const double kRetry = 5;           // seconds after a failed resolution
const double kForever = std::numeric_limits<double>::infinity();

}  // namespace

struct Names::Query {
  Names* self;
  std::string name;
  unsigned session;
};

Names::~Names() {
  if (channel_) {
    ares_destroy(channel_);  // outstanding queries are answered ARES_EDESTRUCTION and freed
    ares_library_cleanup();
  }
}

bool Names::init(const std::string& servers, std::string* error) {
  int rc = ares_library_init(ARES_LIB_INIT_ALL);
  if (rc != ARES_SUCCESS) {
    *error = std::string("c-ares: ") + ares_strerror(rc);
    return false;
  }
  ares_options o{};
  o.timeout = 2000;  // milliseconds per try
  o.tries = 2;
  rc = ares_init_options(&channel_, &o, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
  if (rc != ARES_SUCCESS) {
    channel_ = nullptr;
    ares_library_cleanup();
    *error = std::string("c-ares: ") + ares_strerror(rc);
    return false;
  }
  if (!servers.empty() && (rc = ares_set_servers_ports_csv(channel_, servers.c_str())) != ARES_SUCCESS) {
    *error = "resolver '" + servers + "': " + ares_strerror(rc);
    return false;
  }
  return true;
}

void Names::add_name(const std::string& name) { names_[name]; }

void Names::add_fixed(const std::string& name, uint32_t addr) { take(name, kForever, addr); }

void Names::take(const std::string& name, double expiry, uint32_t addr) {
  Name& n = names_[name];
  auto it = n.addrs.find(addr);
  if (it == n.addrs.end()) {
    n.addrs[addr] = expiry;
    if (refs_[addr]++ == 0) changes_.push_back({addr, true});
  } else if (it->second < expiry) {
    it->second = expiry;
  }
}

void Names::drop(uint32_t addr) {
  auto r = refs_.find(addr);
  if (r == refs_.end()) return;
  if (--r->second == 0) {
    refs_.erase(r);
    changes_.push_back({addr, false});
  }
}

void Names::clear() {
  ++session_;  // answers to the old session's questions are dropped
  names_.clear();
  refs_.clear();
  changes_.clear();
}

void Names::answered(void* arg, int status, int timeouts, ares_addrinfo* result) {
  (void)timeouts;
  Query* q = static_cast<Query*>(arg);
  Names* self = q->self;
  if (status != ARES_EDESTRUCTION && q->session == self->session_) {
    auto it = self->names_.find(q->name);
    if (it != self->names_.end()) {
      Name& n = it->second;
      const double now = mono_seconds();
      n.busy = false;
      double ttl = kMaxRefresh;
      bool any = false;
      if (status == ARES_SUCCESS && result) {
        for (ares_addrinfo_node* a = result->nodes; a; a = a->ai_next) {
          if (a->ai_family != AF_INET || !a->ai_addr) continue;
          uint32_t addr;
          std::memcpy(&addr, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
          const double t = std::max<double>(a->ai_ttl, kMinRefresh);
          ttl = std::min(ttl, t);
          self->take(q->name, now + t + self->grace_, addr);
          any = true;
        }
      }
      n.error = any ? "" : ares_strerror(status == ARES_SUCCESS ? ARES_ENODATA : status);
      n.next = now + (any ? ttl : kRetry);
    }
  }
  if (result) ares_freeaddrinfo(result);
  delete q;
}

std::vector<Names::Change> Names::tick(double now) {
  if (channel_) ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
  for (auto& e : names_) {
    Name& n = e.second;
    for (auto a = n.addrs.begin(); a != n.addrs.end();) {
      if (a->second <= now) {
        drop(a->first);
        a = n.addrs.erase(a);
      } else {
        ++a;
      }
    }
    if (channel_ && !n.busy && n.next <= now) {
      n.busy = true;
      ares_addrinfo_hints hints{};
      hints.ai_family = AF_INET;
      ares_getaddrinfo(channel_, e.first.c_str(), nullptr, &hints, answered,
                       new Query{this, e.first, session_});
    }
  }
  std::vector<Change> out;
  out.swap(changes_);
  return out;
}

void Names::watch(std::vector<pollfd>* fds, int* wait_ms, double now) const {
  if (!channel_) return;
  ares_socket_t socks[ARES_GETSOCK_MAXNUM];
  const int bits = ares_getsock(channel_, socks, ARES_GETSOCK_MAXNUM);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short ev = 0;
    if (ARES_GETSOCK_READABLE(bits, i)) ev |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(bits, i)) ev |= POLLOUT;
    if (ev) fds->push_back({socks[i], ev, 0});
  }
  double next = kForever;
  for (const auto& e : names_) {
    if (!e.second.busy) next = std::min(next, e.second.next);
    for (const auto& a : e.second.addrs) next = std::min(next, a.second);
  }
  timeval tv, *tvp = ares_timeout(channel_, nullptr, &tv);
  if (tvp) next = std::min(next, now + tvp->tv_sec + tvp->tv_usec / 1e6);
  if (std::isfinite(next)) {
    const int ms = next <= now ? 0 : static_cast<int>(std::ceil((next - now) * 1000));
    if (*wait_ms < 0 || ms < *wait_ms) *wait_ms = ms;
  }
}

void Names::ready(const pollfd* fds, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!fds[i].revents) continue;
    const bool in = fds[i].revents & (POLLIN | POLLERR | POLLHUP);
    const bool out = fds[i].revents & POLLOUT;
    ares_process_fd(channel_, in ? fds[i].fd : ARES_SOCKET_BAD, out ? fds[i].fd : ARES_SOCKET_BAD);
  }
}

std::string Names::status(double now) const {
  std::string s = "walled garden: " + std::to_string(refs_.size()) +
                  " addresses, of these names (seconds each address has left):\n";
  for (const auto& e : names_) {
    s += "  " + e.first;
    if (e.second.addrs.empty()) s += "  (no address" + (e.second.error.empty() ? "" : ": " + e.second.error) + ")";
    for (const auto& a : e.second.addrs) {
      s += "  " + addr_text(a.first);
      if (std::isfinite(a.second))
        s += " (" + std::to_string(static_cast<long>(std::max(0.0, a.second - now))) + " s)";
    }
    s += "\n";
  }
  return s;
}

std::string Names::status_json(double now) const {
  std::string list = "[";
  for (const auto& e : names_) {
    std::string addrs = "[";
    for (const auto& a : e.second.addrs) {
      JsonLine j;
      j.str("addr", addr_text(a.first));
      if (std::isfinite(a.second))
        j.num("expires", static_cast<uint64_t>(std::max(0.0, a.second - now)));
      addrs += (addrs.size() > 1 ? "," : "") + j.text();
    }
    JsonLine n;
    n.str("name", e.first).raw("addrs", addrs + "]");
    if (!e.second.error.empty()) n.str("error", e.second.error);
    list += (list.size() > 1 ? "," : "") + n.text();
  }
  return list + "]";
}

}  // namespace admit
