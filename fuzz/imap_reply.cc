// imap_reply_ok on an arbitrary server reply, delivered through a socket pair whose writing
// end is closed after the reply. The result must be that of a plain reading of the rule:
// whole lines (ended by LF, an optional CR before it dropped) are looked at in order, the
// first that begins "C1 " decides, and it is good when it is "C1 OK" or begins "C1 OK ".
// Exactly the bytes after that line's LF stay unread.
#include <cstdint>
#include <cstring>
#include <string>

#include "harness.h"
#include "mail/mail_check.h"

namespace {

struct Expected {
  int ok;
  size_t unread;
};

Expected expected(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  for (;;) {
    const size_t feed = reply.find('\n', at);
    if (feed == std::string::npos) return {0, 0};
    std::string line = reply.substr(at, feed - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = feed + 1;
    if (line.compare(0, 3, "C1 ") == 0) {
      const bool good = line == "C1 OK" || line.compare(0, 6, "C1 OK ") == 0;
      return {good ? 1 : 0, size - at};
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  size_t unread = 0;
  const int ok = fuzz::feed_reply(data, size, mail::imap_reply_ok, &unread);
  const Expected want = expected(data, size);
  FUZZ_CHECK(ok == want.ok);
  FUZZ_CHECK(unread == want.unread);
  return 0;
}
