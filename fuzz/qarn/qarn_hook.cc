// func_match_hook on arbitrary packets of a connection whose fields the fuzzer chooses, through
// relayk's packet path as the router's packets reach it.
//
// Input (fields little-endian, missing bytes read as zero):
//   flags (u8)  bit 0 the packet goes in the reply direction, bit 1 it has no connection
//               record, bit 2 the record has no extension block, bit 3 no accounting area,
//               bit 4 the module is loaded afresh first (for one in 1024 of the inputs that
//               ask), bit 5 the packet's addresses are put on the address list under the
//               rule flag, bit 6 the ageing timer runs first, bit 7 the three parameters
//               below replace the load-time values
//   dir_select (u8)  bits 0-2: 0 relayk's own answer, 1 the LAN side (0), 2 the WAN side
//               (1), 3 one of the values 100 to 103, 4 to 7 dir_raw; bit 3 every allocation
//               fails while the packet is sent; bit 4 a fresh load (bit 4 of flags) runs with
//               every allocation failing, so the module works without its tables
//   dir_raw, jiffies (u32)
//   the connection's Application mark, rate_base, rate_stamp, recheck_stamp, p2p_state,
//   p2p_count (u32 each), its forward packets and bytes, reply packets and bytes and
//   reply_aux (u64 each; relayk then counts the packet itself)
//   sends (u8, 1 to 16 times), qarn_debug (u8, bits 0-2; bit 3 sets qarn_extended to 1,
//   bits 4-7 N keep only the first N/16 of the packet in its linear part), high_prio_per_ct,
//   check_pkt_st_num,
//   check_pkt (s32 each), timer runs (u8, 0 to 31 of 200 ticks), the application index for the
//   policy-route mark (u8, 0 for none), a p2p_state to set before each send after the first
//   (u8, 0 to leave it), so that one endpoint gathers the evidence of many packets
//   then the packet from its IPv4 header on, any length (its version is made 4)
//
// The connection is made by one packet of the same flow (the same one, or its mirror image
// for the reply direction) while the hook is out of the path; then its fields are set and the
// packet is sent with the hook in place. The connection's protocol and forward destination
// port are therefore those that relayk's tracker keys from the packet.
//
// Beyond staying inside the packet and the module's tables, every call must give 0 or -1
// (-1 only for a protocol other than TCP and UDP), a priority class of the Priority table or
// none, leave bits 22-31 of the mark alone except where the whole word is replaced, change
// nothing without a connection or accounting area, settle dir_code 100 to 103 as class 12
// group 2, leave a settled connection alone between its re-checks, and exempt a listed host.
#include <cstdint>
#include <utility>
#include <vector>

#include "kstub/kstub.h"
#include "qarn_harness.h"
#include "relayk/relayk.h"

struct sk_buff;
extern "C" {
int func_match_hook(struct sk_buff* skb);
void relayk_set_sys_app_recognize(int (*fn)(struct sk_buff* skb));
}

namespace {

constexpr unsigned kTimerPeriod = 200;  // ticks between runs of the ageing timer
constexpr unsigned kAgeOutRuns = 18;    // runs that hold two sweeps, whatever the phase
constexpr uint32_t kClassMask = 0x3fu << 16;
constexpr uint32_t kKept = 0xffc00000u;

uint32_t app_class(uint32_t mark) { return mark >> 16 & 0x3f; }
uint32_t app_id(uint32_t mark) { return mark & 0x3ff; }

struct Fields {
  uint32_t mark, rate_base, rate_stamp, recheck_stamp, p2p_state, p2p_count;
  uint64_t fwd_packets, fwd_bytes, reply_packets, reply_bytes, reply_aux;
};

uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Where relayk's tracker finds the ports: a TCP or UDP first fragment that holds them.
bool has_ports(const std::vector<uint8_t>& pkt) {
  const size_t ihl = (pkt[0] & 0x0f) * 4u;
  return (pkt[9] == 6 || pkt[9] == 17) && ihl >= 20 && ihl + 4 <= pkt.size() &&
         ((pkt[6] & 0x1f) | pkt[7]) == 0;
}

// The same flow seen from its other end.
std::vector<uint8_t> mirror(std::vector<uint8_t> pkt) {
  for (int i = 0; i < 4; i++) std::swap(pkt[12 + i], pkt[16 + i]);
  if (has_ports(pkt)) {
    const size_t ihl = (pkt[0] & 0x0f) * 4u;
    std::swap(pkt[ihl], pkt[ihl + 2]);
    std::swap(pkt[ihl + 1], pkt[ihl + 3]);
  }
  return pkt;
}

int deliver(const std::vector<uint32_t>& words) {
  return relayk_netlink_deliver(120, words.data(), static_cast<unsigned>(words.size() * 4));
}

void set_fields(unsigned conn, const Fields& f) {
  const struct {
    relayk_field field;
    uint64_t value;
  } rows[] = {{RELAYK_MARK, f.mark},
              {RELAYK_RATE_BASE, f.rate_base},
              {RELAYK_RATE_STAMP, f.rate_stamp},
              {RELAYK_RECHECK_STAMP, f.recheck_stamp},
              {RELAYK_P2P_STATE, f.p2p_state},
              {RELAYK_P2P_COUNT, f.p2p_count},
              {RELAYK_FWD_PACKETS, f.fwd_packets},
              {RELAYK_FWD_BYTES, f.fwd_bytes},
              {RELAYK_REPLY_PACKETS, f.reply_packets},
              {RELAYK_REPLY_BYTES, f.reply_bytes},
              {RELAYK_REPLY_AUX, f.reply_aux}};
  for (const auto& r : rows) QFUZZ_CHECK(relayk_conn_set(conn, r.field, r.value) == 0);
}

bool valid_prio(unsigned p) { return p <= 9 || p == 65; }

unsigned inputs_since_load = 0;
bool tables_missing = false;  // loaded while every allocation failed
uint32_t timer_clock = 0;
bool clock_started = false;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qfuzz::begin_input();
  if (!clock_started) {
    timer_clock = kstub_jiffies();  // where the module was first loaded
    clock_started = true;
  }
  qfuzz::Input in(data, size);
  const uint8_t flags = in.u8();
  const uint8_t dir_select = in.u8();
  const uint32_t dir_raw = in.u32();
  const uint32_t now = in.u32();
  Fields f;
  f.mark = in.u32();
  f.rate_base = in.u32();
  f.rate_stamp = in.u32();
  f.recheck_stamp = in.u32();
  f.p2p_state = in.u32();
  f.p2p_count = in.u32();
  f.fwd_packets = in.u64();
  f.fwd_bytes = in.u64();
  f.reply_packets = in.u64();
  f.reply_bytes = in.u64();
  f.reply_aux = in.u64();
  const int sends = 1 + in.u8() % 16;
  const uint8_t debug_byte = in.u8();
  const int debug = debug_byte % 8;
  const int extended = (debug_byte >> 3) & 1;
  const unsigned linear_sixteenths = debug_byte >> 4;
  const int32_t high_prio = static_cast<int32_t>(in.u32());
  const int32_t st_num = static_cast<int32_t>(in.u32());
  const int32_t check_pkt = static_cast<int32_t>(in.u32());
  const unsigned timer_runs = in.u8() % 32;
  const unsigned route_index = in.u8();
  const uint8_t restate = in.u8();
  std::vector<uint8_t> pkt(in.rest(), in.rest() + in.left());
  if (!pkt.empty()) pkt[0] = static_cast<uint8_t>(0x40 | (pkt[0] & 0x0f));

  // The ageing timer lives on its own clock, which each input takes up where the last left
  // it; the packets then see the fuzzer's jiffies.
  relayk_reset(100);
  kstub_set_jiffies(timer_clock);
  // a fresh load costs about as much as a thousand inputs, so one in 1024 that ask gets it
  if ((flags & 0x10) && ++inputs_since_load >= 1024) {
    tables_missing = (dir_select & 0x10) != 0;
    qfuzz::reload(tables_missing);
    inputs_since_load = 0;
  }
  qfuzz::restore_params();
  QFUZZ_CHECK(kstub_param_set("qarn_debug", debug) == 0);
  QFUZZ_CHECK(kstub_param_set("qarn_extended", extended) == 0);
  if (flags & 0x80) {
    QFUZZ_CHECK(kstub_param_set("high_prio_per_ct", high_prio) == 0);
    QFUZZ_CHECK(kstub_param_set("check_pkt_st_num", st_num) == 0);
    QFUZZ_CHECK(kstub_param_set("check_pkt", check_pkt) == 0);
  }
  if (flags & 0x40) kstub_advance_jiffies(timer_runs * kTimerPeriod);
  timer_clock = kstub_jiffies();
  kstub_set_jiffies(now);

  relayk_in_opts opts{};
  opts.no_conn = (flags & 0x02) != 0;
  opts.route_index = route_index;
  opts.linear = static_cast<unsigned>(pkt.size() * linear_sixteenths / 16);
  switch (dir_select % 8) {
    case 0: break;
    case 1: opts.set_dir_code = 1; opts.dir_code = 0; break;
    case 2: opts.set_dir_code = 1; opts.dir_code = 1; break;
    case 3: opts.set_dir_code = 1; opts.dir_code = 100 + dir_raw % 4; break;
    default: opts.set_dir_code = 1; opts.dir_code = dir_raw; break;
  }

  relayk_result r{};
  if (pkt.size() < 20) {
    // relayk hands the hook nothing that lacks an IPv4 header
    QFUZZ_CHECK(relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), &opts, &r) == -1);
    QFUZZ_CHECK(!r.called);
    return 0;
  }

  unsigned conn = 0;
  if (!opts.no_conn) {
    const std::vector<uint8_t> first = (flags & 0x01) ? mirror(pkt) : pkt;
    relayk_set_sys_app_recognize(nullptr);
    QFUZZ_CHECK(relayk_packet_in(first.data(), static_cast<unsigned>(first.size()), nullptr,
                                 &r) == 0);
    relayk_set_sys_app_recognize(func_match_hook);
    conn = r.conn;
    QFUZZ_CHECK(conn == 1);
    set_fields(conn, f);
    if (flags & 0x04) QFUZZ_CHECK(relayk_conn_set(conn, RELAYK_HAS_EXT, 0) == 0);
    else if (flags & 0x08) QFUZZ_CHECK(relayk_conn_set(conn, RELAYK_ACCT_OFFSET, 0) == 0);
  }
  const bool no_acct = (flags & 0x0c) != 0;
  const bool listed = (flags & 0x20) != 0 && !tables_missing;
  if (listed) {
    QFUZZ_CHECK(deliver({16, 1, 32, 0, 0, 0, 0, 7}) == 0);
    QFUZZ_CHECK(deliver({17, 0, 56, 2, 0, 0, 0, 7, 0, load_be32(&pkt[12]), load_be32(&pkt[12]),
                         0, load_be32(&pkt[16]), load_be32(&pkt[16])}) == 0);
  }

  const uint8_t proto = pkt[9];
  for (int i = 0; i < sends; i++) {
    const uint32_t before = conn ? static_cast<uint32_t>(relayk_conn_get(conn, RELAYK_MARK)) : 0;
    const uint32_t stamp_before =
        conn ? static_cast<uint32_t>(relayk_conn_get(conn, RELAYK_RECHECK_STAMP)) : 0;
    if (conn && i > 0 && restate)
      QFUZZ_CHECK(relayk_conn_set(conn, RELAYK_P2P_STATE, restate) == 0);
    if (dir_select & 0x08) kstub_alloc_fail(KSTUB_ALLOC_ANY, 0, -1);
    QFUZZ_CHECK(relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), &opts, &r) == 0);
    kstub_alloc_fail_reset();
    QFUZZ_CHECK(r.called);
    // the route mark starts at 0: it becomes "none" or takes a table entry's bits 8-15
    if (route_index == 0 || r.dir_code != 0) QFUZZ_CHECK(r.route_mark == 0);
    else QFUZZ_CHECK(r.route_mark == 0xffffffffu || (r.route_mark & ~0xff00u) == 0);
    QFUZZ_CHECK(r.ret == 0 || r.ret == -1);
    QFUZZ_CHECK(valid_prio(r.prio_class));
    if (!conn) {
      QFUZZ_CHECK(r.conn == 0 && r.ret == 0 && r.prio_class == 0);
      continue;
    }
    QFUZZ_CHECK(r.conn == conn);
    const uint32_t after = r.mark;
    if (no_acct) {
      QFUZZ_CHECK(r.ret == 0 && r.prio_class == 0 && after == before);
      continue;
    }
    if (r.ret == -1) QFUZZ_CHECK(proto != 6 && proto != 17);
    // bits 22-31 change only where the whole word is replaced (a class-3 mark may be cleared)
    if ((after & kKept) != (before & kKept))
      QFUZZ_CHECK(after == 0x5c802u || after == 0x6cc01u ||
                  (app_class(before) == 3 && (after & kKept) == 0));

    const bool special_dir = r.dir_code - 100u <= 3u;
    if (before && app_class(before) == 12) {
      QFUZZ_CHECK(after == before && r.ret == 0 && r.prio_class != 0);
    } else if (special_dir) {
      QFUZZ_CHECK(after == ((before & ~(kClassMask | 0xfc00u)) | 12u << 16 | 2u << 10));
      QFUZZ_CHECK(r.ret == 0 && r.prio_class == 65);
    } else if (before && app_class(before) != 3) {
      // settled: only the periodic re-check may run, at most once per 100 ticks
      const bool due = static_cast<int32_t>(stamp_before - now + 100) < 0;
      const uint32_t stamp = static_cast<uint32_t>(relayk_conn_get(conn, RELAYK_RECHECK_STAMP));
      const uint64_t reply = relayk_conn_get(conn, RELAYK_REPLY_PACKETS);
      QFUZZ_CHECK(stamp == (due ? now : stamp_before));
      // no re-check makes a mark of class 4 and id 3; it keeps one while reply packets are
      // at most 20, and at most 19 send the connection to full classification again
      const bool again = app_class(before) == 4 && app_id(before) == 3 && reply <= 19;
      if (!again) QFUZZ_CHECK(r.ret == 0 && r.prio_class == 0);
      if (!again && !due) QFUZZ_CHECK(after == before);
    } else if (listed) {
      // classified afresh with the host on the list: exempt, nothing else
      QFUZZ_CHECK(after == (before | 63u << 16) && r.ret == 0 && r.prio_class == 0);
    }
  }

  if (listed) QFUZZ_CHECK(deliver({16, 0, 32, 0, 0, 0, 0, 7}) == 0);
  // Two sweeps of the ageing timer drop every UDP endpoint and P2P peer, so each input starts
  // from empty tables and the module must be back at what its load allocated.
  relayk_reset(100);
  kstub_set_jiffies(timer_clock);
  kstub_advance_jiffies(kAgeOutRuns * kTimerPeriod);
  timer_clock = kstub_jiffies();
  QFUZZ_CHECK(kstub_alloc_live() == qfuzz::loaded_allocations());
  relayk_reset(100);
  return 0;
}
