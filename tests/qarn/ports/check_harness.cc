// The C library's byte-order functions come before the kernel headers' macros of the same
// names.
#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "check_harness.h"

extern "C" {
#include "kstub/kstub.h"
#include "pcapwriter.h"
#include "recognise/pkt.h"
}

namespace qarn_test {
namespace {

std::atomic<const Check*> current_check{nullptr};

int stand_in_hook(sk_buff* skb) {
  const Check* check = current_check.load();
  if (!check) return 0;
  qarn_flow flow;
  bool have_flow = make_flow(skb, &flow);
  return (*check)(skb, relayk_conn(skb), have_flow ? &flow : nullptr);
}

}  // namespace

uint32_t ip(const char* dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted, &a) != 1) std::abort();
  return ntohl(a.s_addr);
}

Packet tcp(const char* src, uint16_t sport, const char* dst, uint16_t dport,
           const std::string& payload) {
  Packet buf(65536);
  size_t n = pcapw_build_tcp(buf.data(), buf.size(), ip(src), ip(dst), sport, dport,
                             PCAPW_ACK | PCAPW_PSH, 1, 1, payload.data(), payload.size());
  buf.resize(n);
  return buf;
}

Packet udp(const char* src, uint16_t sport, const char* dst, uint16_t dport,
           const std::string& payload) {
  Packet buf(65536);
  size_t n = pcapw_build_udp(buf.data(), buf.size(), ip(src), ip(dst), sport, dport,
                             payload.data(), payload.size());
  buf.resize(n);
  return buf;
}

std::string bytes(size_t n, char fill) { return std::string(n, fill); }

bool make_flow(sk_buff* skb, qarn_flow* flow) {
  qarn_pkt p;
  std::memset(flow, 0, sizeof(*flow));
  if (qarn_pkt_parse(skb, &p) != 0 || (!p.tcp && !p.udp)) return false;
  nf_conn* ct = relayk_conn(skb);
  qarn_flow_fill(flow, &p, ct ? relayk_ct_acct(ct) : nullptr);
  return true;
}

CheckHarness::CheckHarness() {
  relayk_reset(100);
  kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
  kstub_printk_clear();
  relayk_set_sys_app_recognize(stand_in_hook);
}

CheckHarness::~CheckHarness() {
  relayk_set_sys_app_recognize(nullptr);
  current_check.store(nullptr);
  kstub_printk_clear();
  kstub_alloc_fail_reset();
  relayk_reset(100);
}

Outcome CheckHarness::run(const Packet& pkt, const Check& check, const relayk_in_opts* opts) {
  Outcome out;
  current_check.store(&check);
  if (relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), opts, &out.relayk) != 0)
    std::abort();
  out.check = out.relayk.ret;
  return out;
}

Outcome CheckHarness::repeat(const Packet& pkt, int times, const Check& check) {
  Outcome out;
  for (int i = 0; i < times; i++) out = run(pkt, check);
  return out;
}

std::string CheckHarness::log() {
  char* text = kstub_printk_take();
  std::string s = text ? text : "";
  std::free(text);
  return s;
}

}  // namespace qarn_test
