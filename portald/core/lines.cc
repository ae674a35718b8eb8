#include "core/lines.h"

#include <cstring>

namespace core {

bool read_line(std::FILE* f, char* buf, size_t size) {
  // Counted as read rather than by strlen, so that a NUL byte inside a long line cannot hide
  // that the line filled the buffer and let its tail pass for a line of its own.
  size_t n = 0;
  int c = EOF;
  while (n + 1 < size && (c = std::fgetc(f)) != EOF) {
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n == 0) return false;
  buf[n] = '\0';
  if (n + 1 == size && buf[n - 1] != '\n') {
    while ((c = std::fgetc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

}  // namespace core
