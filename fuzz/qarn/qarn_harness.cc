#include "qarn_harness.h"

#include <cstdio>
#include <cstdlib>

#include "kstub/kstub.h"
#include "relayk/relayk.h"

extern "C" {
int init_module(void);
void cleanup_module(void);
}

namespace qfuzz {
namespace {

bool loaded = false;
long live_unloaded = 0;

// The parameters that targets change, and their values as the module was first loaded.
struct Param {
  const char* name;
  int value;
};
Param params[] = {{"qarn_debug", 0}, {"high_prio_per_ct", 0}, {"check_pkt_st_num", 0},
                  {"check_pkt", 0}, {"qarn_extended", 0}};

void unload_at_exit() {
  if (!loaded) return;
  kstub_alloc_fail_reset();
  cleanup_module();
  loaded = false;
  relayk_reset(100);
  kstub_printk_clear();
}

long live_loaded = 0;

void load() {
  QFUZZ_CHECK(init_module() == 0);
  loaded = true;
  live_loaded = kstub_alloc_live();
}

}  // namespace

void fail(const char* what, const char* file, int line) {
  char* log = kstub_printk_take();
  std::fprintf(stderr, "%s:%d: broken property: %s\n", file, line, what);
  if (log) std::fprintf(stderr, "kernel log of the input:\n%s\n", log);
  std::free(log);
  std::abort();
}

void restore_params() {
  for (const Param& p : params) QFUZZ_CHECK(kstub_param_set(p.name, p.value) == 0);
}

void begin_input() {
  if (!loaded) {
    kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
    relayk_reset(100);
    for (Param& p : params) QFUZZ_CHECK(kstub_param_get(p.name, &p.value) == 0);
    live_unloaded = kstub_alloc_live();
    load();
    std::atexit(unload_at_exit);
  }
  kstub_alloc_fail_reset();
  kstub_printk_clear();
}

void reload(bool allocations_fail) {
  kstub_alloc_fail_reset();
  cleanup_module();
  loaded = false;
  QFUZZ_CHECK(kstub_alloc_live() == live_unloaded);
  if (allocations_fail) kstub_alloc_fail(KSTUB_ALLOC_ANY, 0, -1);
  load();
  kstub_alloc_fail_reset();
}

long loaded_allocations() { return live_loaded; }

uint8_t Input::u8() {
  if (n_ == 0) return 0;
  n_--;
  return *p_++;
}

// Little-endian; each byte is taken in its own statement, so the order is fixed.
uint16_t Input::u16() {
  const unsigned lo = u8();
  return static_cast<uint16_t>(lo | static_cast<unsigned>(u8()) << 8);
}

uint32_t Input::u32() {
  const uint32_t lo = u16();
  return lo | static_cast<uint32_t>(u16()) << 16;
}

uint64_t Input::u64() {
  const uint64_t lo = u32();
  return lo | static_cast<uint64_t>(u32()) << 32;
}

const uint8_t* Input::take(size_t max, size_t* got) {
  const uint8_t* at = p_;
  *got = max < n_ ? max : n_;
  p_ += *got;
  n_ -= *got;
  return at;
}

}  // namespace qfuzz
