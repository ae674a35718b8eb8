// Start-up: everything between process start and the first wait of the main loop.
#pragma once

#include <cstdint>

namespace core {

struct Timeouts {
  int32_t idle;   // seconds
  int32_t total;  // seconds
};

// The idle time-out and total online time handed to the kernel, from the raw value of
// "WEBAUTH_SECTYPE" (null when unset) and the time keys of nvram.
Timeouts compute_timeouts(const char* sectype);

// Runs the start-up steps in order; ends the process with status 1 on a fatal failure.
void start_up(int argc, char** argv);

}  // namespace core
