// The daemon's three sockets and the one pair of message routines that every part uses on them.
//
// The Kernel channel has two forms behind this one seam: on the router a NETLINK socket of
// protocol 21 bound to the daemon's process id; with PORTALD_KERNEL_SOCKET=PATH an AF_UNIX
// datagram socket with an abstract (autobound) address, connected to PATH. The bytes on the
// wire are the same in both forms. Either form takes Kernel events only from the admission
// component: the kernel itself, or the socket at PATH.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace core {

enum SockMode { SOCK_KERNEL = 0, SOCK_LOCAL = 1 };

// The receive buffer asked for the Kernel channel, so that a burst of events waits there
// rather than being lost.
inline constexpr int kKernelReceiveBuffer = 1 << 20;

// One sendmsg of len bytes at buf, flags 0 (broken pipes never raise a signal). Mode 0
// addresses the kernel (netlink port id 0, or PATH in the AF_UNIX form); mode 1 sends without
// an address. Any other mode sends nothing. Returns the system call's result, or -1.
ssize_t sock_send(int mode, int fd, const void* buf, size_t len);

// One recvmsg of at most len bytes into buf. Mode 0 takes the datagram only from the
// admission component (admission_sender); one from any other sender is dropped, counted for
// report_dropped_kernel_events, and gives -1 with errno EPERM. Mode 1 receives without an
// address. Any other mode receives nothing. Returns the system call's result, or -1.
ssize_t sock_recv(int mode, int fd, void* buf, size_t len);

// Whether the sender address from (len bytes) of a datagram on the Kernel channel is the
// admission component's. Netlink form (unix_peer null): port id 0, the kernel; a process can
// send to the daemon's port id too. AF_UNIX form: exactly the address unix_peer of the socket
// the channel is connected to (the system already refuses others; this also covers a
// moment in which the connection is renewed).
bool admission_sender(const void* from, socklen_t len, const void* unix_peer,
                      socklen_t unix_peer_len);

// Writes one log line with the number of Kernel events dropped since the last such line, at
// most once a minute and only when there is one to report. Called on every drop and on every
// pass of the main loop, so a count is reported within a minute of the drop.
void report_dropped_kernel_events();

// Removes an old socket at the login socket path, creates the stream socket and binds it.
// Anything else at the path (a folder, a file, a link) is left alone and is a failure.
// Returns the descriptor (not yet listening), or -1 on failure, and then why (when given)
// holds the cause, naming the path.
int create_login_socket(std::string* why = nullptr);

// Creates the control datagram socket bound to its path, after removing an old socket there
// (anything else there is a failure); -1 on failure, and then why (when given) holds the
// cause, naming the path.
int create_control_socket(std::string* why = nullptr);

// Creates the Kernel channel in the form PORTALD_KERNEL_SOCKET selects; -1 on failure, and
// then why (when given) holds the cause. The AF_UNIX form is connected to PATH, so there must
// be a socket there.
int create_kernel_channel(std::string* why = nullptr);

// Where mode-0 messages go, for messages to the operator: "the kernel (netlink protocol 21)"
// or "the admission component at PATH".
std::string kernel_peer_text();

// Sends len bytes on the Kernel channel without an address of its own (the whitelist
// messages): in the netlink form the kernel's default destination, in the AF_UNIX form PATH.
// Returns the system call's result.
ssize_t kernel_send_plain(int fd, const void* buf, size_t len);

}  // namespace core
