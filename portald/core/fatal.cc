#include "core/fatal.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace core {
namespace {

// The whole line goes out in one write, so lines of concurrent writers never interleave.
void say(const char* format, va_list args) {
  char line[512];
  int n = std::snprintf(line, sizeof(line), "portald: ");
  const int m = std::vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n) - 1, format, args);
  n += m < 0 ? 0 : m;
  if (n > static_cast<int>(sizeof(line)) - 2) n = static_cast<int>(sizeof(line)) - 2;
  line[n++] = '\n';
  ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(n));
  (void)ignored;
}

}  // namespace

void fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(format, args);
  va_end(args);
  std::exit(1);
}

void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(format, args);
  va_end(args);
}

}  // namespace core
