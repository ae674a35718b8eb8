// List commands of any length and content, delivered through relayk's virtual netlink
// service as a controller's message arrives.
//
// Input: a flags byte (bit 0: allocations fail as the next two bytes choose, how many succeed
// first and how many fail then; bit 1: the module is loaded without its table, which happens
// for one in 64 of the inputs that ask, the first included), then one or more messages, each
// a 16-bit length (cut to what is left) and that many bytes. Ranges are cut so that one input
// expands at most kBudget addresses in all, which keeps a run fast; the module itself expands
// a range of any size.
//
// Properties, for every message: relayk refuses one shorter than 32 bytes or than the length
// its header states, and nothing changes; command 16 empties the list, sets the rule flag and
// replies; command 17 with a count that matches its length adds every address of every range
// and replies; any other message changes nothing and sends no reply. A reply is 32 bytes:
// the request's first 32 with len 32, num 0, aux1 0, aux3 4, to the request's pid. Where an
// allocation failed, a reply may be missing and a range may stop short, but what was added is
// found and nothing is left allocated once the list is emptied. Without a table nothing is
// ever found, and the rule flag and the replies work as before.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kstub/kstub.h"
#include "qarn_harness.h"
#include "relayk/relayk.h"

extern "C" {
#include "frame/list.h"
}

namespace {

constexpr int kType = 120;
constexpr uint32_t kHeader = 32;
constexpr uint32_t kRange = 12;
constexpr uint32_t kBudget = 4096;  // addresses one input may expand

unsigned no_table_asked = 0;

uint32_t word(const std::vector<uint8_t>& m, size_t i) {
  uint32_t w;
  std::memcpy(&w, m.data() + 4 * i, 4);
  return w;
}

void set_word(std::vector<uint8_t>& m, size_t i, uint32_t w) {
  std::memcpy(m.data() + 4 * i, &w, 4);
}

// Cuts every range that the module would expand so that the input stays within its budget.
void cut_ranges(std::vector<uint8_t>& m, uint32_t* budget) {
  for (size_t at = kHeader; at + kRange <= m.size(); at += kRange) {
    const size_t w = at / 4;
    const uint32_t first = word(m, w + 1), last = word(m, w + 2);
    if (first > last) continue;
    uint32_t span = last - first;  // addresses after the first
    if (*budget == 0) {
      // nothing left: a first address above the last adds nothing
      set_word(m, w + 1, first == 0 ? 1 : first);
      set_word(m, w + 2, first == 0 ? 0 : first - 1);
      continue;
    }
    if (span >= *budget) span %= *budget;
    set_word(m, w + 2, first + span);
    *budget -= span + 1;
  }
}

struct Reply {
  int len = -1;
  unsigned pid = 0;
  uint32_t w[8] = {};
};

Reply take_reply() {
  Reply r;
  unsigned char buf[64];
  r.len = relayk_netlink_take_reply(&r.pid, buf, sizeof(buf));
  if (r.len >= 32) std::memcpy(r.w, buf, 32);
  return r;
}

void check_reply(const Reply& r, const std::vector<uint8_t>& m) {
  QFUZZ_CHECK(r.len == 32);
  QFUZZ_CHECK(r.pid == word(m, 7));
  for (size_t i : {0, 1, 5, 7}) QFUZZ_CHECK(r.w[i] == word(m, i));
  QFUZZ_CHECK(r.w[2] == 32 && r.w[3] == 0 && r.w[4] == 0 && r.w[6] == 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qfuzz::begin_input();
  relayk_reset(100);
  qfuzz::Input in(data, size);
  const uint8_t flags = in.u8();
  const long skip = in.u8();
  const long count = in.u8() % 8;
  // a load costs as much as some hundred inputs
  const bool no_table = (flags & 2) && no_table_asked++ % 64 == 0;
  if (no_table) qfuzz::reload(true);
  // the list starts empty for each input; entries are the module's only allocations here
  const long live_empty = kstub_alloc_live();
  if (flags & 1) kstub_alloc_fail(KSTUB_ALLOC_SLAB, skip, count ? count : -1);

  uint32_t budget = kBudget;
  std::vector<uint32_t> listed;  // addresses added since the list was last emptied
  while (in.left() > 0) {
    size_t n = 0;
    const uint8_t* bytes = in.take(in.u16(), &n);
    std::vector<uint8_t> m(bytes, bytes + n);
    if (m.size() >= kHeader) cut_ranges(m, &budget);

    const long failures = kstub_alloc_failures();
    const int ret = relayk_netlink_deliver(kType, m.data(), static_cast<unsigned>(m.size()));
    const bool failed = kstub_alloc_failures() != failures;
    if (m.size() < kHeader || word(m, 2) > m.size()) {
      QFUZZ_CHECK(ret == -1);
      QFUZZ_CHECK(take_reply().len == -1);
      continue;
    }
    QFUZZ_CHECK(ret == 0);
    const uint32_t cmd = word(m, 0), len = word(m, 2), num = word(m, 3);
    const Reply r = take_reply();
    QFUZZ_CHECK(take_reply().len == -1);  // one reply at most
    if (cmd == 16) {
      QFUZZ_CHECK(atomic_read(&check_stat_rule) == static_cast<int>(word(m, 1)));
      for (uint32_t a : listed) QFUZZ_CHECK(qarn_list_get_ip(a) == -1);
      listed.clear();
      QFUZZ_CHECK(kstub_alloc_live() == live_empty);
      if (r.len != -1 || !failed) check_reply(r, m);
      continue;
    }
    const bool accepted =
        cmd == 17 && num != 0 && len >= kHeader && num == (len - kHeader) / kRange;
    if (!accepted) {
      QFUZZ_CHECK(r.len == -1);
      continue;
    }
    if (r.len != -1 || !failed) check_reply(r, m);
    for (uint32_t i = 0; i < num; i++) {
      const uint32_t first = word(m, 8 + 3 * i + 1), last = word(m, 8 + 3 * i + 2);
      if (first > last) continue;
      for (uint32_t a = first;; a++) {
        const bool found = qarn_list_get_ip(a) == 0;
        QFUZZ_CHECK(no_table ? !found : found || failed);
        if (!found) break;  // the rest of a range is dropped after a failed allocation
        listed.push_back(a);
        if (a == last) break;
      }
    }
  }
  kstub_alloc_fail_reset();
  // empty the list for the next input
  static const uint32_t clear[8] = {16, 0, 32, 0, 0, 0, 0, 0};
  QFUZZ_CHECK(relayk_netlink_deliver(kType, clear, sizeof(clear)) == 0);
  QFUZZ_CHECK(kstub_alloc_live() == live_empty);
  if (no_table) qfuzz::reload();
  relayk_reset(100);
  return 0;
}
