#include "kernel/whitelist.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/files.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "nlattr.h"

namespace kernel {
namespace {

// Buffer sizes of the two records and of the wire forms they are built from.
constexpr size_t kNameMsgSize = 516;
constexpr size_t kNameWireSize = 1028;
constexpr size_t kAddrMsgSize = 1024;
constexpr size_t kAddrWireSize = 516;
constexpr size_t kLineSize = 1024;

constexpr size_t kMaxLabels = 63;
constexpr size_t kMaxLabelLen = 63;

WeixinHost g_hosts[] = {
    {"weixin.qq.com", 0},
    {"wx.qq.com", 0},
    {"open.weixin.qq.com", 0},
    {"long.weixin.qq.com", 0},
    {"short.weixin.qq.com", 0},
    {"szlong.weixin.qq.com", 0},
    {"szshort.weixin.qq.com", 0},
    {"mp.weixin.qq.com", 0},
    {"login.weixin.qq.com", 0},
    {"res.wx.qq.com", 0},
    {"wx.qlogo.cn", 0},
    {"mmbiz.qpic.cn", 0},
    {"mmsns.qpic.cn", 0},
    {nullptr, 0},
};

Resolver g_resolver = system_resolve;

void put_word(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

// Builds a record in buf (cap bytes, zeroed here) and sends it for the netlink length.
int send_record(unsigned char* buf, size_t cap, uint32_t type, uint32_t subtype,
                const char* wire, const uint32_t* addr) {
  std::memset(buf, 0, cap);
  nlmsghdr* hdr = nlmsg_put_header(buf, cap, WL_NLMSG_TYPE);
  if (hdr == nullptr) return -1;
  auto* family = static_cast<unsigned char*>(nlmsg_put_extra_header(hdr, cap, WL_FAMILY_HDR_LEN));
  if (family == nullptr) return -1;
  put_word(family + WL_FAMILY_OFF_TYPE, type);
  put_word(family + WL_FAMILY_OFF_SUBTYPE, subtype);
  family[WL_FAMILY_OFF_MARK] = WL_FAMILY_MARK;
  if (nla_attr_put(hdr, cap, WL_ATTR_NAME, std::strlen(wire), wire) != 0) return -1;
  if (addr != nullptr && nla_attr_put(hdr, cap, WL_ATTR_ADDR, sizeof *addr, addr) != 0) return -1;
  hdr->nlmsg_pid = static_cast<uint32_t>(getpid());
  core::kernel_send_plain(core::g_settings.kernel_fd, buf, hdr->nlmsg_len);
  return 0;
}

// --- bounded name resolution ---------------------------------------------------------------
//
// getaddrinfo cannot be given a time limit, and on a router without a reachable name server
// each call waits for the resolver's own time-outs (several seconds per name server and try).
// Thirteen names in a row could then hold start-up, and with it the main loop, for minutes.
// So every lookup of a pass runs at once on a thread of its own, and the walk waits for the
// answers only until one deadline shared by both passes, kResolveBudgetMs after the walk
// began. A lookup still running then is abandoned: its answer is dropped when it comes, and
// its thread ends by itself once getaddrinfo returns.

using Clock = std::chrono::steady_clock;

struct Lookup {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu, as are rc and addrs
  int rc = -1;
  std::vector<uint32_t> addrs;
};

// Threads of abandoned lookups, joined by wait_abandoned_lookups. Never destroyed, so that a
// process that exits while one still runs does not destroy a joinable thread.
std::mutex g_abandoned_mu;
std::vector<std::thread>* const g_abandoned = new std::vector<std::thread>;

void run_lookup(Resolver resolver, std::string name, std::shared_ptr<Lookup> lookup) {
  std::vector<uint32_t> addrs;
  const int rc = resolver(name.c_str(), &addrs);
  std::lock_guard<std::mutex> lock(lookup->mu);
  lookup->rc = rc;
  lookup->addrs = std::move(addrs);
  lookup->done = true;
  lookup->cv.notify_all();
}

// The lookups of one pass, one slot per table entry.
class LookupPass {
 public:
  explicit LookupPass(size_t slots) : lookups_(slots), threads_(slots) {}

  LookupPass(const LookupPass&) = delete;
  LookupPass& operator=(const LookupPass&) = delete;

  // Threads that have answered are joined; the others are handed to g_abandoned.
  ~LookupPass() {
    for (size_t i = 0; i < threads_.size(); ++i) {
      if (!threads_[i].joinable()) continue;
      bool done;
      {
        std::lock_guard<std::mutex> lock(lookups_[i]->mu);
        done = lookups_[i]->done;
      }
      if (done) {
        threads_[i].join();
      } else {
        std::lock_guard<std::mutex> lock(g_abandoned_mu);
        g_abandoned->push_back(std::move(threads_[i]));
      }
    }
  }

  void start(size_t slot, Resolver resolver, const char* name) {
    lookups_[slot] = std::make_shared<Lookup>();
    try {
      threads_[slot] = std::thread(run_lookup, resolver, std::string(name), lookups_[slot]);
    } catch (const std::system_error&) {
      lookups_[slot]->done = true;  // no thread: an unresolved name
    }
  }

  // The addresses of the slot's name, or null when its lookup failed, was not started or
  // has not answered by the deadline.
  const std::vector<uint32_t>* wait(size_t slot, Clock::time_point deadline) {
    if (!lookups_[slot]) return nullptr;
    Lookup& l = *lookups_[slot];
    std::unique_lock<std::mutex> lock(l.mu);
    if (!l.cv.wait_until(lock, deadline, [&l] { return l.done; })) return nullptr;
    return l.rc == 0 ? &l.addrs : nullptr;
  }

 private:
  std::vector<std::shared_ptr<Lookup>> lookups_;
  std::vector<std::thread> threads_;
};

// Steps 1.2 and 1.3 of the walk for one entry: a WL_ADDR per address, and the flag.
bool send_addresses(WeixinHost& host, const std::vector<uint32_t>* addrs) {
  if (addrs == nullptr) return false;
  int sent = 0;
  for (uint32_t addr : *addrs) {
    if (send_wl_addr(host.name, addr) == 0) ++sent;
  }
  if (sent == 0) return false;
  host.resolved = 1;
  return true;
}

}  // namespace

int encode_dns_name(const char* name, char* out, size_t out_size) {
  unsigned a, b, c, d;
  if (std::sscanf(name, "%u.%u.%u.%u", &a, &b, &c, &d) == 4) return -1;

  size_t len = std::strlen(name);
  // A trailing dot ends the name as its terminating zero does.
  if (len > 0 && name[len - 1] == '.') --len;
  if (out_size < len + 2) return -1;

  // out[0] takes the first label's length; each dot takes the length of the label after it.
  size_t labels = 1;
  size_t length_at = 0;
  for (size_t i = 0; i <= len; ++i) {
    if (i < len && name[i] != '.') {
      out[i + 1] = name[i];
      continue;
    }
    const size_t label_len = i - length_at;
    if (label_len == 0 || label_len > kMaxLabelLen) return -1;
    out[length_at] = static_cast<char>(label_len);
    if (i == len) break;
    if (++labels > kMaxLabels) return -1;
    length_at = i + 1;
  }
  if (labels == 1) return -1;
  out[len + 1] = '\0';
  return 0;
}

int send_wl_name(const char* name) {
  char wire[kNameWireSize];
  if (encode_dns_name(name, wire, sizeof wire) != 0) return -1;
  unsigned char msg[kNameMsgSize];
  return send_record(msg, sizeof msg, WL_NAME_TYPE, WL_NAME_SUBTYPE, wire, nullptr);
}

int send_wl_addr(const char* name, uint32_t addr) {
  char wire[kAddrWireSize];
  if (encode_dns_name(name, wire, sizeof wire) != 0) return -1;
  unsigned char msg[kAddrMsgSize];
  return send_record(msg, sizeof msg, WL_ADDR_TYPE, WL_ADDR_SUBTYPE, wire, &addr);
}

int load_dns_file(const char* path) {
  std::FILE* f = core::open_fixed_stream(path);
  if (f == nullptr) return -1;

  // Whatever rewrites the file takes a write lock; wait until it is done.
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  while (fcntl(fileno(f), F_SETLKW, &lock) == -1 && errno == EINTR) {
  }
  std::fflush(f);

  int sent = 0;
  char line[kLineSize];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    const size_t n = std::strlen(line);
    if (n == 0 || line[n - 1] != '\n') break;
    line[n - 1] = '\0';
    if (send_wl_name(line) == 0) ++sent;
  }

  lock.l_type = F_UNLCK;
  fcntl(fileno(f), F_SETLK, &lock);
  std::fclose(f);
  return sent;
}

WeixinHost* weixin_hosts() { return g_hosts; }

int walk_host_table(WeixinHost* table) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kResolveBudgetMs);
  const Resolver resolver = g_resolver;
  size_t count = 0;
  while (table[count].name != nullptr) ++count;

  int resolved = 0;
  {
    LookupPass first(count);
    for (size_t i = 0; i < count; ++i) first.start(i, resolver, table[i].name);
    for (size_t i = 0; i < count; ++i) {
      send_wl_name(table[i].name);
      if (send_addresses(table[i], first.wait(i, deadline))) ++resolved;
    }
  }
  if (static_cast<size_t>(resolved) >= count || Clock::now() >= deadline) return resolved;

  LookupPass retry(count);
  for (size_t i = 0; i < count; ++i) {
    if (table[i].resolved == 0) retry.start(i, resolver, table[i].name);
  }
  for (size_t i = 0; i < count; ++i) {
    if (table[i].resolved == 0 && send_addresses(table[i], retry.wait(i, deadline))) ++resolved;
  }
  return resolved;
}

void load_weixin_whitelist() {
  load_dns_file(core::fixed_path(core::kWeixinDnsFile).c_str());
  walk_host_table(g_hosts);
}

int system_resolve(const char* name, std::vector<uint32_t>* addrs) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  hints.ai_flags = 0;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    sockaddr_in sin;
    std::memcpy(&sin, ai->ai_addr, sizeof sin);
    addrs->push_back(sin.sin_addr.s_addr);
  }
  freeaddrinfo(list);
  return 0;
}

Resolver set_resolver(Resolver resolver) {
  const Resolver previous = g_resolver;
  g_resolver = resolver != nullptr ? resolver : system_resolve;
  return previous;
}

void wait_abandoned_lookups() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(g_abandoned_mu);
    threads.swap(*g_abandoned);
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace kernel
