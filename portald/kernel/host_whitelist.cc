#include "kernel/host_whitelist.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/files.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/words.h"
#include "kernel/kmsg_layout.h"
#include "kernel/resolve.h"
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

// Builds a record in buf (cap bytes, zeroed here) and sends it for the netlink length.
int send_record(unsigned char* buf, size_t cap, uint32_t type, uint32_t subtype,
                const char* wire, const uint32_t* addr) {
  std::memset(buf, 0, cap);
  nlmsghdr* hdr = nlmsg_put_header(buf, cap, WL_NLMSG_TYPE);
  if (hdr == nullptr) return -1;
  auto* family = static_cast<unsigned char*>(nlmsg_put_extra_header(hdr, cap, WL_FAMILY_HDR_LEN));
  if (family == nullptr) return -1;
  core::store_word(family, WL_FAMILY_OFF_TYPE, type);
  core::store_word(family, WL_FAMILY_OFF_SUBTYPE, subtype);
  family[WL_FAMILY_OFF_MARK] = WL_FAMILY_MARK;
  if (nla_attr_put(hdr, cap, WL_ATTR_NAME, std::strlen(wire), wire) != 0) return -1;
  if (addr != nullptr && nla_attr_put(hdr, cap, WL_ATTR_ADDR, sizeof *addr, addr) != 0) return -1;
  hdr->nlmsg_pid = static_cast<uint32_t>(getpid());
  core::kernel_send_plain(core::g_settings.kernel_fd, buf, hdr->nlmsg_len);
  return 0;
}

using Clock = LookupPass::Clock;

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
  const Resolver resolver = current_resolver();
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

}  // namespace kernel
