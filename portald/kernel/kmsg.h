// Kernel messages: the 360-byte NETLINK protocol-21 datagrams by which the daemon admits and
// removes clients and hands over its time limits. Layout in kernel/kmsg_layout.h.
//
// Every Kernel message is built and sent here. Where a failed send must end the daemon, the
// call says so in its name (..._or_exit: the process ends with status 1); the other calls
// return the send's result and leave the decision to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/kmsg_layout.h"

namespace kernel {

// One message under construction; the fields are written at their byte offsets.
struct KernelMessage {
  unsigned char bytes[KMSG_SIZE];
};

// What a MAC message asks of the kernel.
enum MacSelector : int {
  MAC_PERMIT = 0,  // KMSG_PERMIT of kind KIND_MAC
  MAC_REVOKE = 1,  // KMSG_MAC_REVOKE
};

// An exempt address, first octet first: 10.0.0.254 is {10, 0, 0, 254}.
struct ExemptAddr {
  uint8_t octets[4];
};

// Zeroes the message and sets the netlink length 376, the sender port id getpid(), the
// payload length 360 and the command.
void build_kmsg(KernelMessage& msg, uint32_t command);

// A word of a received message is read with core::load_word.
void set_word(KernelMessage& msg, size_t offset, uint32_t value);

// addr: network byte order, as inet_addr gives it.
void set_addr(KernelMessage& msg, uint32_t addr);
void set_kind(KernelMessage& msg, uint32_t kind);
void set_mac(KernelMessage& msg, const unsigned char mac[6]);

// Sends the message on the Kernel channel (mode 0, 360 bytes); the result of the send.
long send_kmsg(const KernelMessage& msg);

// The KMSG_PERMIT of kind KIND_CLIENT_IP for the address text, with the day's allowance and
// the re-check interval in seconds (0 for none). permit_client returns the send's result.
long permit_client(const std::string& ip, uint32_t quota_seconds, uint32_t recheck_seconds);
void permit_client_or_exit(const std::string& ip, uint32_t quota_seconds,
                           uint32_t recheck_seconds);

// The KMSG_REVOKE of the given kind for the address text. revoke returns the send's result.
long revoke(const std::string& ip, uint32_t kind);
void revoke_or_exit(const std::string& ip, uint32_t kind);

// The fixed senders of start-up and of the control requests; each ends the process with
// status 1 when its send fails.
void send_hello();
void send_timeouts(int32_t idle_seconds, int32_t total_seconds);
void send_exempt_addr(ExemptAddr addr);
void send_mac_msg(const unsigned char mac[6], MacSelector selector);

// Reads a MAC text: six hexadecimal groups separated by colons at the start of text, each of
// at most ff, in any case and with one or two digits; what follows them is ignored. False,
// mac unspecified, for anything else.
bool parse_mac(const char* text, unsigned char mac[6]);

// inet_addr of an address text; the all-ones value marks an invalid address.
uint32_t addr_of(const char* text);
bool addr_valid(const char* text);

}  // namespace kernel
