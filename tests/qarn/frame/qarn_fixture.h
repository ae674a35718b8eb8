// A loaded qarn module on the relayk stand-in, for tests: builds packets, runs them
// through the packet path and reads the kernel log.
#ifndef TESTS_QARN_FRAME_QARN_FIXTURE_H
#define TESTS_QARN_FRAME_QARN_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kstub/kstub.h"
#include "packets.h"
#include "relayk/relayk.h"

extern "C" {
int init_module(void);
void cleanup_module(void);
}

namespace qarn_test {

using packets::Bytes;
using packets::Icmp;
using packets::Ip;
using packets::Tcp;
using packets::Text;
using packets::Udp;
using Words = std::vector<uint32_t>;

// A LAN host and a WAN server (host byte order).
constexpr uint32_t kLan = Ip(192, 168, 1, 10);
constexpr uint32_t kWan = Ip(100, 100, 7, 7);  // not a game server

// The module's parameters and their load-time defaults.
struct ParamDefault {
  const char* name;
  int value;
};
constexpr ParamDefault kParamDefaults[] = {
    {"qarn_debug", 0},          {"check_http_jpg", 1},   {"check_game_pkt_num", 1000},
    {"check_game_pkt_avg_len", 128}, {"check_pkt_st_num", 2000}, {"check_pkt", 100},
    {"check_rate", 50000},      {"high_prio_per_ct", 3}, {"debug", 0},
    {"qarn_extended", 0}};

inline void DefaultParams() {
  for (const auto& p : kParamDefaults) ASSERT_EQ(kstub_param_set(p.name, p.value), 0) << p.name;
}

class QarnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relayk_reset(100);
    kstub_alloc_fail_reset();
    kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
    kstub_printk_clear();
    DefaultParams();
    live_before_ = kstub_alloc_live();
    if (load_) Load();
  }

  void TearDown() override {
    if (loaded_) Unload();
    kstub_alloc_fail_reset();
    EXPECT_EQ(kstub_alloc_live(), live_before_) << "the module left memory allocated";
    relayk_reset(100);
    kstub_printk_mode(KSTUB_PRINTK_STDERR);
  }

  void Load() {
    EXPECT_EQ(init_module(), 0);
    loaded_ = true;
    Log();
  }

  void Unload() {
    cleanup_module();
    loaded_ = false;
  }

  // Kernel log text since the last call.
  std::string Log() {
    char* text = kstub_printk_take();
    std::string s = text ? text : "";
    std::free(text);
    return s;
  }

  relayk_result Send(const Bytes& pkt, const relayk_in_opts* opts = nullptr) {
    relayk_result r;
    EXPECT_EQ(relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), opts, &r), 0);
    return r;
  }

  relayk_result SendDir(const Bytes& pkt, unsigned dir_code) {
    relayk_in_opts o{};
    o.set_dir_code = 1;
    o.dir_code = dir_code;
    return Send(pkt, &o);
  }

  // Delivers a List command made of 32-bit words; returns the receiver's result.
  int Deliver(const std::vector<uint32_t>& words) {
    return relayk_netlink_deliver(120, words.data(), static_cast<unsigned>(words.size() * 4));
  }

  // The next reply the module sent, empty when none.
  std::vector<uint32_t> TakeReply(unsigned* pid = nullptr) {
    std::vector<uint32_t> buf(256);
    unsigned p = 0;
    int n = relayk_netlink_take_reply(&p, buf.data(), static_cast<unsigned>(buf.size() * 4));
    if (n < 0) return {};
    if (pid) *pid = p;
    buf.resize(static_cast<size_t>(n + 3) / 4);
    return buf;
  }

  bool load_ = true;
  bool loaded_ = false;
  long live_before_ = 0;
};

}  // namespace qarn_test

#endif
