// The Kernel channel takes Kernel events only from the admission component: the sender rule
// of both forms, the connected AF_UNIX form against other local processes, a component that
// comes back, and the log line that counts what was dropped.
#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg.h"
#include "kernel/kmsg_layout.h"
#include "portald_fixture.h"

namespace {

using testing_support::Bytes;
using testing_support::FakeKernel;

sockaddr_un unix_addr(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  return a;
}

class ChannelTest : public testing_support::DaemonTest {
 protected:
  // The channel's own (abstract) address, as a stranger finds it in /proc/net/unix.
  Bytes channel_address() const {
    sockaddr_un self{};
    socklen_t len = sizeof(self);
    getsockname(core::g_settings.kernel_fd, reinterpret_cast<sockaddr*>(&self), &len);
    const auto* p = reinterpret_cast<const unsigned char*>(&self);
    return Bytes(p, p + len);
  }
  // A datagram from a socket of its own to the channel: the send's result and errno.
  int stranger_sends(int* error) const {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const Bytes to = channel_address();
    const Bytes ev = testing_support::kernel_event(KEV_HOST_DOWN, "10.0.0.5");
    const ssize_t n = sendto(fd, ev.data(), ev.size(), MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(to.data()),
                             static_cast<socklen_t>(to.size()));
    *error = errno;
    close(fd);
    return static_cast<int>(n);
  }
  // What the channel reads now: the receive's result (waits up to 200 ms for a datagram).
  ssize_t receive() const {
    timeval limit{0, 200000};
    setsockopt(core::g_settings.kernel_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    unsigned char buf[KMSG_SIZE];
    return core::sock_recv(core::SOCK_KERNEL, core::g_settings.kernel_fd, buf, sizeof(buf));
  }
  bool component_sends(const FakeKernel& k) const {
    const Bytes to = channel_address();
    const Bytes ev = testing_support::kernel_event(KEV_HOST_UP, "10.0.0.6");
    return sendto(k.fd(), ev.data(), ev.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                  static_cast<socklen_t>(to.size())) == static_cast<ssize_t>(ev.size());
  }
};

TEST(KernelSenderTest, OnlyTheKernelOrTheConnectedComponent) {
  sockaddr_nl nl{};
  nl.nl_family = AF_NETLINK;
  EXPECT_TRUE(core::admission_sender(&nl, sizeof(nl), nullptr, 0));
  nl.nl_pid = 4242;  // a process that sends to the daemon's port id
  EXPECT_FALSE(core::admission_sender(&nl, sizeof(nl), nullptr, 0));
  nl.nl_pid = 0;
  EXPECT_FALSE(core::admission_sender(&nl, 4, nullptr, 0));  // no address handed back
  const sockaddr_un component = unix_addr("/run/admit.sock");
  const socklen_t clen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 16);
  EXPECT_FALSE(core::admission_sender(&component, clen, nullptr, 0));  // not netlink

  EXPECT_TRUE(core::admission_sender(&component, clen, &component, clen));
  const sockaddr_un other = unix_addr("/run/admit.soc");
  const socklen_t olen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 15);
  EXPECT_FALSE(core::admission_sender(&other, olen, &component, clen));
  EXPECT_FALSE(core::admission_sender(&component, clen - 1, &component, clen));
  sockaddr_un unnamed{};
  unnamed.sun_family = AF_UNIX;
  EXPECT_FALSE(core::admission_sender(&unnamed, sizeof(sa_family_t), &component, clen));
  EXPECT_FALSE(core::admission_sender(&nl, sizeof(nl), &component, clen));
}

TEST_F(ChannelTest, OtherProcessesCannotSendKernelEvents) {
  int error = 0;
  EXPECT_EQ(stranger_sends(&error), -1);
  EXPECT_EQ(error, EPERM);
  ASSERT_TRUE(component_sends(*kernel_));
  EXPECT_EQ(receive(), static_cast<ssize_t>(KMSG_SIZE));
}

TEST_F(ChannelTest, AComponentThatComesBackIsConnectedAgain) {
  const std::string path = kernel_->path();
  delete kernel_;
  kernel_ = new FakeKernel(path);
  kernel::send_hello();  // the first send after the restart finds the new component
  ASSERT_EQ(kernel_->drain(1000).size(), 1u);
  ASSERT_TRUE(component_sends(*kernel_));
  EXPECT_EQ(receive(), static_cast<ssize_t>(KMSG_SIZE));
  int error = 0;
  EXPECT_EQ(stranger_sends(&error), -1);
}

TEST_F(ChannelTest, WhatSlipsInWhileNoComponentListensIsDroppedAndCounted) {
  const std::string path = kernel_->path();
  delete kernel_;
  kernel_ = nullptr;
  // The send finds the component gone and nobody at its path: the channel is left unconnected
  // until a component is back, so a stranger's datagram now reaches it.
  kernel::KernelMessage m;
  kernel::build_kmsg(m, KMSG_HELLO);
  EXPECT_EQ(kernel::send_kmsg(m), -1);
  int error = 0;
  ASSERT_EQ(stranger_sends(&error), static_cast<int>(KMSG_SIZE));
  ASSERT_EQ(stranger_sends(&error), static_cast<int>(KMSG_SIZE));
  EXPECT_EQ(receive(), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(receive(), -1);
  // One line for the first, the second waits for the minute to pass.
  int lines = 0;
  for (const std::string& l : log()) {
    if (l.find("portald: dropped kernel events from senders other than the admission "
               "component: ") == 0) {
      ++lines;
    }
  }
  EXPECT_EQ(lines, 1);
  kernel_ = new FakeKernel(path);
}

}  // namespace
