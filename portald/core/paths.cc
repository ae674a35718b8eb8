#include "core/paths.h"

#include <cstdlib>

namespace core {

std::string fixed_path(const char* path) {
  const char* root = std::getenv("PORTALD_ROOT");
  if (root == nullptr || *root == '\0') return path;
  return std::string(root) + path;
}

}  // namespace core
