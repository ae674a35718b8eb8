// Line reading for the daemon's configuration files.
#pragma once

#include <cstddef>
#include <cstdio>

namespace core {

// Reads one line into buf (at most size - 1 characters, as fgets does, the line feed kept
// when it fits). When the line is longer than that, the rest of it up to and including its
// line feed is read and discarded, so the tail of an over-long line never counts as a line
// of its own. Returns false when nothing more could be read.
bool read_line(std::FILE* f, char* buf, size_t size);

}  // namespace core
