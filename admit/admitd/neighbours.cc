#include "neighbours.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace admit {

namespace {

const int kAnswerMs = 1000;

}  // namespace

Neighbours::~Neighbours() {
  if (fd_ >= 0) close(fd_);
}

bool Neighbours::open(const std::string& iface, std::string* error) {
  ifindex_ = static_cast<int>(if_nametoindex(iface.c_str()));
  if (ifindex_ == 0) {
    *error = "no interface " + iface + ": " + std::strerror(errno);
    return false;
  }
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = std::string("cannot open an rtnetlink socket: ") + std::strerror(errno);
    return false;
  }
  int strict = 1;  // the kernel answers a get for one address only in strict mode
  setsockopt(fd_, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &strict, sizeof strict);
  return true;
}

bool Neighbours::lookup(uint32_t addr, Mac* mac) {
  if (fd_ < 0) return false;
  struct {
    nlmsghdr h;
    ndmsg nd;
    rtattr dst;
    uint32_t addr;
  } req{};
  req.h.nlmsg_len = sizeof req;
  req.h.nlmsg_type = RTM_GETNEIGH;
  req.h.nlmsg_flags = NLM_F_REQUEST;
  req.h.nlmsg_seq = ++seq_;
  req.nd.ndm_family = AF_INET;
  req.nd.ndm_ifindex = ifindex_;
  req.dst.rta_len = RTA_LENGTH(sizeof(uint32_t));
  req.dst.rta_type = NDA_DST;
  req.addr = addr;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd_, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return false;
  alignas(nlmsghdr) char buf[8192];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kAnswerMs) <= 0) return false;
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return false;
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_seq != seq_) continue;  // a late answer to an earlier question
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) return false;
      if (h->nlmsg_type != RTM_NEWNEIGH) continue;
      auto* nd = static_cast<ndmsg*>(NLMSG_DATA(h));
      const uint16_t usable = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;
      if (!(nd->ndm_state & usable)) return false;
      int alen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *nd));
      for (auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(nd) + NLMSG_ALIGN(sizeof *nd));
           RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
        if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) {
          std::memcpy(mac->data(), RTA_DATA(a), 6);
          return true;
        }
      }
      return false;
    }
  }
}

}  // namespace admit
