// The daemon's three sockets and the one pair of message routines that every part uses on them.
//
// The Kernel channel has two forms behind this one seam: on the router a NETLINK socket of
// protocol 21 bound to the daemon's process id; with PORTALD_KERNEL_SOCKET=PATH an AF_UNIX
// datagram socket with an abstract (autobound) address that sends to PATH. The bytes on the
// wire are the same in both forms.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace core {

enum SockMode { SOCK_KERNEL = 0, SOCK_LOCAL = 1 };

// One sendmsg of len bytes at buf, flags 0 (broken pipes never raise a signal). Mode 0
// addresses the kernel (netlink port id 0, or PATH in the AF_UNIX form); mode 1 sends without
// an address. Any other mode sends nothing. Returns the system call's result, or -1.
ssize_t sock_send(int mode, int fd, const void* buf, size_t len);

// One recvmsg of at most len bytes into buf. Mode 0 hands over an address area for the
// sender, which is not looked at afterwards; mode 1 receives without one. Any other mode
// receives nothing. Returns the system call's result, or -1.
ssize_t sock_recv(int mode, int fd, void* buf, size_t len);

// Removes any file at the login socket path, creates the stream socket and binds it.
// Returns the descriptor (not yet listening), or -1 on failure, and then why (when given)
// holds the cause, naming the path.
int create_login_socket(std::string* why = nullptr);

// Creates the control datagram socket bound to its path; -1 on failure, and then why (when
// given) holds the cause, naming the path.
int create_control_socket(std::string* why = nullptr);

// Creates the Kernel channel in the form PORTALD_KERNEL_SOCKET selects; -1 on failure, and
// then why (when given) holds the cause.
int create_kernel_channel(std::string* why = nullptr);

// Where mode-0 messages go, for messages to the operator: "the kernel (netlink protocol 21)"
// or "the admission component at PATH".
std::string kernel_peer_text();

// Sends len bytes on the Kernel channel without an address of its own (the whitelist
// messages): in the netlink form the kernel's default destination, in the AF_UNIX form PATH.
// Returns the system call's result.
ssize_t kernel_send_plain(int fd, const void* buf, size_t len);

}  // namespace core
