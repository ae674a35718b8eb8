#include "core/sockets.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/event_log.h"
#include "core/paths.h"

namespace core {
namespace {

constexpr int kNetlinkProtocol = 21;

// Where mode-0 messages go: the kernel (netlink port id 0), or the admission component's
// socket path in the AF_UNIX form, to which the channel is connected; bound is that socket's
// own address, the only sender whose datagrams the channel takes.
struct KernelPeer {
  bool unix_form = false;
  sockaddr_un unix_addr{};
  socklen_t unix_len = 0;
  sockaddr_un bound{};
  socklen_t bound_len = 0;
};
KernelPeer g_peer;

void set_why(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Kernel events dropped because another sender wrote them: not yet reported, and in all.
struct DroppedEvents {
  unsigned long unreported = 0;
  unsigned long total = 0;
  bool reported = false;
  int64_t last_line_s = 0;
};
DroppedEvents g_dropped;
constexpr int64_t kDroppedReportSeconds = 60;

int64_t monotonic_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

ssize_t send_one(int fd, const void* buf, size_t len, void* name, socklen_t name_len) {
  iovec iov{const_cast<void*>(buf), len};
  msghdr msg{};
  msg.msg_name = name;
  msg.msg_namelen = name_len;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  // MSG_NOSIGNAL: a login peer that has gone away must not end the daemon. A send that a
  // signal interrupted before anything moved is tried again: it has not failed.
  ssize_t n;
  do {
    n = sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (n == -1 && errno == EINTR);
  return n;
}

// Connects the AF_UNIX channel to the admission component's path, so that the system refuses
// datagrams from every other socket, and notes the address that component's socket has.
bool connect_peer(int fd, KernelPeer& peer) {
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer.unix_addr), peer.unix_len) != 0) return false;
  peer.bound_len = sizeof(peer.bound);
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer.bound), &peer.bound_len) == 0;
}

// A send on the connected AF_UNIX channel. When the component has gone away (and perhaps a
// new one listens at the path), the channel connects again and the send is tried once more.
ssize_t send_to_component(int fd, const void* buf, size_t len) {
  ssize_t n = send_one(fd, buf, len, nullptr, 0);
  if (n == -1 && (errno == ECONNREFUSED || errno == ENOTCONN)) {
    const int first_error = errno;
    if (!connect_peer(fd, g_peer)) {
      errno = first_error;
      return -1;
    }
    n = send_one(fd, buf, len, nullptr, 0);
  }
  return n;
}

// Removes an old socket at path, left by an earlier daemon. Anything else there (a folder, a
// file, a link, a FIFO) is not the daemon's to remove: false, and why names path and what
// lies there.
bool clear_socket_path(const std::string& path, const char* what, std::string* why) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return true;
  if (S_ISSOCK(st.st_mode)) {
    unlink(path.c_str());
    return true;
  }
  const char* kind = S_ISDIR(st.st_mode)   ? "a folder"
                     : S_ISLNK(st.st_mode) ? "a link"
                     : S_ISREG(st.st_mode) ? "a file"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                                           : "a device";
  set_why(why, std::string("the path of the ") + what + " " + path + " is " + kind +
                   ", not a socket; remove it or find out who placed it there");
  return false;
}

// Binds fd to path; on failure fills why (when given) with the cause naming what and path.
bool bind_unix(int fd, const std::string& path, const char* what, std::string* why) {
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) {
    set_why(why, std::string("the path of the ") + what + " " + path + " is " +
                     std::to_string(path.size()) + " bytes long; at most " +
                     std::to_string(sizeof(addr.sun_path) - 1) + " fit");
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return true;
  set_why(why, std::string("cannot bind the ") + what + " to " + path + ": " + std::strerror(errno));
  return false;
}

// Room for a burst of Kernel events: asked beyond the system's limit where the daemon may
// (SO_RCVBUFFORCE), else up to it. The size is a wish; a smaller one still works.
void size_receive_buffer(int fd) {
  const int size = kKernelReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

}  // namespace

ssize_t sock_send(int mode, int fd, const void* buf, size_t len) {
  if (mode == SOCK_KERNEL) {
    if (g_peer.unix_form) return send_to_component(fd, buf, len);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return send_one(fd, buf, len, &kernel, sizeof(kernel));
  }
  if (mode == SOCK_LOCAL) return send_one(fd, buf, len, nullptr, 0);
  return -1;
}

ssize_t sock_recv(int mode, int fd, void* buf, size_t len) {
  if (mode != SOCK_KERNEL && mode != SOCK_LOCAL) return -1;
  iovec iov{buf, len};
  msghdr msg{};
  sockaddr_storage sender{};
  if (mode == SOCK_KERNEL) {
    msg.msg_name = &sender;
    msg.msg_namelen = sizeof(sender);
  }
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  const ssize_t n = recvmsg(fd, &msg, 0);
  if (n < 0 || mode != SOCK_KERNEL) return n;
  const bool unix_form = g_peer.unix_form;
  if (admission_sender(&sender, msg.msg_namelen, unix_form ? &g_peer.bound : nullptr,
                       unix_form ? g_peer.bound_len : 0)) {
    return n;
  }
  ++g_dropped.unreported;
  ++g_dropped.total;
  report_dropped_kernel_events();
  errno = EPERM;
  return -1;
}

bool admission_sender(const void* from, socklen_t len, const void* unix_peer,
                      socklen_t unix_peer_len) {
  if (unix_peer != nullptr) {
    return len == unix_peer_len && std::memcmp(from, unix_peer, len) == 0;
  }
  sockaddr_nl nl{};
  if (len < sizeof(nl)) return false;
  std::memcpy(&nl, from, sizeof(nl));
  return nl.nl_family == AF_NETLINK && nl.nl_pid == 0;
}

void report_dropped_kernel_events() {
  if (g_dropped.unreported == 0) return;
  const int64_t now = monotonic_seconds();
  if (g_dropped.reported && now - g_dropped.last_line_s < kDroppedReportSeconds) return;
  log_warning("portald: dropped kernel events from senders other than the admission "
              "component: %lu (%lu since start)",
              g_dropped.unreported, g_dropped.total);
  g_dropped.unreported = 0;
  g_dropped.reported = true;
  g_dropped.last_line_s = now;
}

int create_login_socket(std::string* why) {
  const std::string path = fixed_path(kLoginSocketPath);
  if (!clear_socket_path(path, "login socket", why)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    set_why(why, errno_text("cannot create the login socket"));
    return -1;
  }
  if (!bind_unix(fd, path, "login socket", why)) {
    close(fd);
    return -1;
  }
  return fd;
}

int create_control_socket(std::string* why) {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (fd < 0) {
    set_why(why, errno_text("cannot create the control socket"));
    return -1;
  }
  const std::string path = fixed_path(kControlSocketPath);
  if (!clear_socket_path(path, "control socket", why)) {
    close(fd);
    return -1;
  }
  if (!bind_unix(fd, path, "control socket", why)) {
    close(fd);
    return -1;
  }
  return fd;
}

int create_kernel_channel(std::string* why) {
  const char* path = std::getenv("PORTALD_KERNEL_SOCKET");
  if (path != nullptr && *path != '\0') {
    KernelPeer peer;
    peer.unix_form = true;
    peer.unix_addr.sun_family = AF_UNIX;
    const size_t n = std::strlen(path);
    if (n >= sizeof(peer.unix_addr.sun_path)) {
      set_why(why, std::string("PORTALD_KERNEL_SOCKET ") + path + " is " + std::to_string(n) +
                       " bytes long; at most " + std::to_string(sizeof(peer.unix_addr.sun_path) - 1) +
                       " fit");
      return -1;
    }
    std::memcpy(peer.unix_addr.sun_path, path, n + 1);
    peer.unix_len = sizeof(peer.unix_addr);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) {
      set_why(why, errno_text("cannot create the kernel channel"));
      return -1;
    }
    size_receive_buffer(fd);
    // Binding only the family autobinds an abstract address, to which the admission
    // component sends its events.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0) {
      set_why(why, errno_text("cannot bind the kernel channel to an abstract address"));
      close(fd);
      return -1;
    }
    // Connected, the system refuses datagrams from every other socket.
    if (!connect_peer(fd, peer)) {
      set_why(why, errno_text("cannot connect the kernel channel to PORTALD_KERNEL_SOCKET " +
                              std::string(path)));
      close(fd);
      return -1;
    }
    g_peer = peer;
    return fd;
  }
  int fd = socket(AF_NETLINK, SOCK_RAW, kNetlinkProtocol);
  if (fd < 0) {
    set_why(why, errno_text("cannot open the kernel channel (netlink protocol 21; "
                            "set PORTALD_KERNEL_SOCKET to use an admission component such as admitd)"));
    return -1;
  }
  size_receive_buffer(fd);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = static_cast<__u32>(getpid());
  self.nl_groups = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0) {
    set_why(why, errno_text("cannot bind the kernel channel (netlink protocol 21) to port id " +
                            std::to_string(getpid())));
    close(fd);
    return -1;
  }
  g_peer = KernelPeer{};
  return fd;
}

std::string kernel_peer_text() {
  if (g_peer.unix_form) return std::string("the admission component at ") + g_peer.unix_addr.sun_path;
  return "the kernel (netlink protocol 21)";
}

ssize_t kernel_send_plain(int fd, const void* buf, size_t len) {
  if (g_peer.unix_form) return send_to_component(fd, buf, len);
  return send_one(fd, buf, len, nullptr, 0);
}

}  // namespace core
