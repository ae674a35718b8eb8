// What the module's fuzz targets share: the module loaded once on relayk's stand-in, kernel
// log lines kept in memory and dropped per input, a reader of the fuzzer's bytes, and a check
// that aborts so the fuzzer keeps the input and the replay test fails.
//
// The same sources build as libFuzzer targets (clang) and as the replay tests of the ordinary
// build, which run every seed and every kept crash input once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qfuzz {

[[noreturn]] void fail(const char* what, const char* file, int line);
#define QFUZZ_CHECK(cond) ((cond) ? (void)0 : ::qfuzz::fail(#cond, __FILE__, __LINE__))

// Loads the module on the first call (relayk reset, printk captured) and
// arranges for it to be unloaded at exit; later calls only forget the previous input's kernel
// log and injected allocation failures.
void begin_input();

// Unloads and loads the module again, emptying every table it keeps; fails when the unload
// left any of the module's allocations behind. With allocations_fail, every allocation of the
// load fails, so the module runs without its tables.
void reload(bool allocations_fail = false);

// The module's allocations right after its last load: its tables, empty.
long loaded_allocations();

// Sets qarn_debug, high_prio_per_ct, check_pkt_st_num and check_pkt back to their values at
// the first load.
void restore_params();

// The fuzzer's bytes, taken from the front; past the end every value reads as zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  uint64_t u64();
  // Up to max bytes from the front.
  const uint8_t* take(size_t max, size_t* got);
  const uint8_t* rest() const { return p_; }
  size_t left() const { return n_; }

 private:
  const uint8_t* p_;
  size_t n_;
};

}  // namespace qfuzz
