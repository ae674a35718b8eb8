#include "kernel/kmsg.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/settings.h"
#include "core/sockets.h"

namespace kernel {

void set_word(KernelMessage& msg, size_t offset, uint32_t value) {
  std::memcpy(msg.bytes + offset, &value, sizeof(value));
}

uint32_t get_word(const unsigned char* buf, size_t offset) {
  uint32_t v;
  std::memcpy(&v, buf + offset, sizeof(v));
  return v;
}

void build_kmsg(KernelMessage& msg, uint32_t command) {
  std::memset(msg.bytes, 0, sizeof(msg.bytes));
  set_word(msg, KMSG_OFF_NL_LEN, KMSG_NL_LEN);
  set_word(msg, KMSG_OFF_NL_PID, static_cast<uint32_t>(getpid()));
  set_word(msg, KMSG_OFF_LENGTH, KMSG_PAYLOAD_LEN);
  set_word(msg, KMSG_OFF_COMMAND, command);
}

void set_addr(KernelMessage& msg, uint32_t addr) { set_word(msg, KMSG_OFF_ADDR, addr); }
void set_kind(KernelMessage& msg, uint32_t kind) { set_word(msg, KMSG_OFF_KIND, kind); }
void set_mac(KernelMessage& msg, const unsigned char mac[6]) {
  std::memcpy(msg.bytes + KMSG_OFF_MAC, mac, 6);
}

KernelMessage revoke_msg(const char* ip, uint32_t kind) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_REVOKE);
  set_kind(msg, kind);
  set_addr(msg, addr_of(ip));
  return msg;
}

long send_kmsg(const KernelMessage& msg) {
  return core::sock_send(core::SOCK_KERNEL, core::g_settings.kernel_fd, msg.bytes, KMSG_SIZE);
}

void send_kmsg_or_exit(const KernelMessage& msg) {
  if (send_kmsg(msg) == -1) std::exit(1);
}

void send_hello() {
  KernelMessage msg;
  build_kmsg(msg, KMSG_HELLO);
  send_kmsg_or_exit(msg);
}

void send_timeouts(int32_t idle_seconds, int32_t total_seconds) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_TIMEOUTS);
  set_word(msg, KMSG_OFF_ADDR, static_cast<uint32_t>(idle_seconds));
  set_word(msg, KMSG_OFF_KIND, static_cast<uint32_t>(total_seconds));
  send_kmsg_or_exit(msg);
}

void send_exempt_addr(unsigned a, unsigned b, unsigned c, unsigned d) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_PERMIT);
  set_kind(msg, KIND_EXEMPT_IP);
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", a, b, c, d);
  set_addr(msg, addr_of(text));
  send_kmsg_or_exit(msg);
}

void send_mac_msg(const unsigned char mac[6], int selector) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_PERMIT);
  set_kind(msg, KIND_MAC);
  set_mac(msg, mac);
  if (selector == 1) set_word(msg, KMSG_OFF_COMMAND, KMSG_MAC_REVOKE);
  send_kmsg_or_exit(msg);
}

uint32_t addr_of(const char* text) { return inet_addr(text); }

bool addr_valid(const char* text) { return inet_addr(text) != INADDR_NONE; }

}  // namespace kernel
