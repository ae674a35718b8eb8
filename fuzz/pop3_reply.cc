// pop3_reply_ok on an arbitrary server reply, delivered through a socket pair whose writing
// end is closed after the reply. The result must be that of a plain reading of the rule:
// a first piece shorter than 256 bytes that begins "+OK" followed by a blank, CR, LF or its
// end; a piece of 256 bytes is refused and the rest of the reply read and dropped.
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "mail/mail_check.h"

namespace {

bool expected(const uint8_t* data, size_t size) {
  if (size < 3 || size >= mail::kReplyPiece) return false;
  if (std::memcmp(data, "+OK", 3) != 0) return false;
  return size == 3 || data[3] == ' ' || data[3] == '\r' || data[3] == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  size_t unread = 0;
  const int ok = fuzz::feed_reply(data, size, mail::pop3_reply_ok, &unread);
  FUZZ_CHECK(ok == (expected(data, size) ? 1 : 0));
  // A refused over-long reply is read to its end; a short one was one piece.
  FUZZ_CHECK(unread == 0);
  return 0;
}
