// pattern_match on an arbitrary text and pattern. The first byte is the stop byte, the second
// the pattern's length (cut to what is left); then come the pattern and the text. Both are
// copied to heap blocks of exactly their size, so AddressSanitizer sees a read of one byte
// past either. The result must be that of a plain search for the leftmost occurrence, except
// that the search may give up early, and then only after CR LF CR LF came before it.
#include <cstdint>
#include <cstring>
#include <memory>

#include "qarn_harness.h"

extern "C" {
#include "recognise/http.h"
}

namespace {

struct Found {
  int ret;
  int offset;
  int length;
};

Found plain_search(const uint8_t* text, size_t n, const uint8_t* pat, size_t m, uint8_t stop) {
  if (m == 0 || n < m) return {0, -1, -1};
  for (size_t s = 0; s + m <= n; s++) {
    if (std::memcmp(text + s, pat, m) != 0) continue;
    const size_t off = s + m;
    const void* hit = off < n ? std::memchr(text + off, stop, n - off) : nullptr;
    if (!hit) return {-1, static_cast<int>(off), -1};
    const size_t q = static_cast<size_t>(static_cast<const uint8_t*>(hit) - (text + off));
    return {1, static_cast<int>(off), static_cast<int>(q)};
  }
  return {0, -1, -1};
}

// Whether CR LF CR LF occurs in this order (not necessarily adjacent) in text[0..end].
bool blank_line_up_to(const uint8_t* text, size_t end) {
  static const uint8_t want[] = {'\r', '\n', '\r', '\n'};
  int k = 0;
  for (size_t i = 0; i <= end && k < 4; i++)
    if (text[i] == want[k]) k++;
  return k == 4;
}

std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* from, size_t n) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
  if (n) std::memcpy(block.get(), from, n);
  return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qfuzz::Input in(data, size);
  const uint8_t stop = in.u8();
  size_t m = 0;
  const uint8_t* pat_bytes = in.take(in.u8(), &m);
  const size_t n = in.left();
  const std::unique_ptr<uint8_t[]> pat = exact_copy(pat_bytes, m);
  const std::unique_ptr<uint8_t[]> text = exact_copy(in.rest(), n);

  Found got{-7, -7, -7};
  got.ret = pattern_match(text.get(), static_cast<int>(n), pat.get(), static_cast<int>(m), stop,
                          &got.offset, &got.length);
  const Found want = plain_search(text.get(), n, pat.get(), m, stop);

  if (got.ret == 0 && want.ret != 0) {
    QFUZZ_CHECK(blank_line_up_to(text.get(), static_cast<size_t>(want.offset) - m));
    return 0;
  }
  QFUZZ_CHECK(got.ret == want.ret);
  if (want.ret != 0) QFUZZ_CHECK(got.offset == want.offset);
  if (want.ret == 1) QFUZZ_CHECK(got.length == want.length);
  return 0;
}
