// Kernel messages: the 360-byte NETLINK protocol-21 datagrams by which the daemon admits and
// removes clients and hands over its time limits. Layout in kernel/kmsg_layout.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel/kmsg_layout.h"

namespace kernel {

// One message under construction; the fields are written at their byte offsets.
struct KernelMessage {
  unsigned char bytes[KMSG_SIZE];
};

// Zeroes the message and sets the netlink length 376, the sender port id getpid(), the
// payload length 360 and the command.
void build_kmsg(KernelMessage& msg, uint32_t command);

void set_word(KernelMessage& msg, size_t offset, uint32_t value);
uint32_t get_word(const unsigned char* buf, size_t offset);

// addr: network byte order, as inet_addr gives it.
void set_addr(KernelMessage& msg, uint32_t addr);
void set_kind(KernelMessage& msg, uint32_t kind);
void set_mac(KernelMessage& msg, const unsigned char mac[6]);

// A KMSG_REVOKE of the given kind for the address text.
KernelMessage revoke_msg(const char* ip, uint32_t kind);

// Sends the message on the Kernel channel (mode 0, 360 bytes); the result of the send.
long send_kmsg(const KernelMessage& msg);

// Sends the message and ends the process with status 1 when the send fails.
void send_kmsg_or_exit(const KernelMessage& msg);

// The fixed senders; each ends the process with status 1 when its send fails.
void send_hello();
void send_timeouts(int32_t idle_seconds, int32_t total_seconds);
void send_exempt_addr(unsigned a, unsigned b, unsigned c, unsigned d);
// selector 0: KMSG_PERMIT of kind KIND_MAC; selector 1: KMSG_MAC_REVOKE.
void send_mac_msg(const unsigned char mac[6], int selector);

// inet_addr of an address text; the all-ones value marks an invalid address.
uint32_t addr_of(const char* text);
bool addr_valid(const char* text);

}  // namespace kernel
