#include "kernel/kmsg.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/fatal.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/words.h"

namespace kernel {
namespace {

struct CommandName {
  uint32_t command;
  const char* name;
};

const CommandName kCommandNames[] = {
    {KMSG_PERMIT, "KMSG_PERMIT"},   {KMSG_REVOKE, "KMSG_REVOKE"},
    {KMSG_HELLO, "KMSG_HELLO"},     {KMSG_TIMEOUTS, "KMSG_TIMEOUTS"},
    {KMSG_MAC_REVOKE, "KMSG_MAC_REVOKE"},
};

std::string command_name(uint32_t command) {
  for (const CommandName& c : kCommandNames) {
    if (c.command == command) return c.name;
  }
  return "command " + std::to_string(command);
}

}  // namespace

void set_word(KernelMessage& msg, size_t offset, uint32_t value) {
  core::store_word(msg.bytes, offset, value);
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

long send_kmsg(const KernelMessage& msg) {
  return core::sock_send(core::SOCK_KERNEL, core::g_settings.kernel_fd, msg.bytes, KMSG_SIZE);
}

namespace {

[[noreturn]] void send_failed(uint32_t command) {
  const int err = errno;
  core::fatal("cannot send %s to %s: %s", command_name(command).c_str(),
              core::kernel_peer_text().c_str(), std::strerror(err));
}

void send_kmsg_or_exit(const KernelMessage& msg) {
  if (send_kmsg(msg) == -1) send_failed(core::load_word(msg.bytes, KMSG_OFF_COMMAND));
}

KernelMessage client_permit_msg(const std::string& ip, uint32_t quota_seconds,
                                uint32_t recheck_seconds) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_PERMIT);
  set_kind(msg, KIND_CLIENT_IP);
  set_addr(msg, addr_of(ip.c_str()));
  set_word(msg, KMSG_OFF_QUOTA, quota_seconds);
  set_word(msg, KMSG_OFF_RECHECK, recheck_seconds);
  return msg;
}

KernelMessage revoke_msg(const std::string& ip, uint32_t kind) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_REVOKE);
  set_kind(msg, kind);
  set_addr(msg, addr_of(ip.c_str()));
  return msg;
}

}  // namespace

long permit_client(const std::string& ip, uint32_t quota_seconds, uint32_t recheck_seconds) {
  return send_kmsg(client_permit_msg(ip, quota_seconds, recheck_seconds));
}

void permit_client_or_exit(const std::string& ip, uint32_t quota_seconds,
                           uint32_t recheck_seconds) {
  send_kmsg_or_exit(client_permit_msg(ip, quota_seconds, recheck_seconds));
}

long revoke(const std::string& ip, uint32_t kind) { return send_kmsg(revoke_msg(ip, kind)); }

void revoke_or_exit(const std::string& ip, uint32_t kind) {
  send_kmsg_or_exit(revoke_msg(ip, kind));
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

void send_exempt_addr(ExemptAddr addr) {
  KernelMessage msg;
  build_kmsg(msg, KMSG_PERMIT);
  set_kind(msg, KIND_EXEMPT_IP);
  uint32_t network_order;
  std::memcpy(&network_order, addr.octets, sizeof(network_order));
  set_addr(msg, network_order);
  send_kmsg_or_exit(msg);
}

void send_mac_msg(const unsigned char mac[6], MacSelector selector) {
  KernelMessage msg;
  build_kmsg(msg, selector == MAC_REVOKE ? KMSG_MAC_REVOKE : KMSG_PERMIT);
  set_kind(msg, KIND_MAC);
  set_mac(msg, mac);
  send_kmsg_or_exit(msg);
}

bool parse_mac(const char* text, unsigned char mac[6]) {
  unsigned v[6];
  if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
    return false;
  for (int i = 0; i < 6; ++i) {
    if (v[i] > 255) return false;
    mac[i] = static_cast<unsigned char>(v[i]);
  }
  return true;
}

uint32_t addr_of(const char* text) { return inet_addr(text); }

bool addr_valid(const char* text) { return inet_addr(text) != INADDR_NONE; }

}  // namespace kernel
