#include "core/lines.h"

#include <cstring>

namespace core {

bool read_line(std::FILE* f, char* buf, size_t size) {
  if (std::fgets(buf, static_cast<int>(size), f) == nullptr) return false;
  const size_t n = std::strlen(buf);
  if (n + 1 == size && buf[n - 1] != '\n') {
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

}  // namespace core
