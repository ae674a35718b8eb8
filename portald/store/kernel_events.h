// Kernel events: a pre-approved host seen (host up), a host no longer let through (host
// down), and a date limit to check again (re-check).
#pragma once

#include "store/user_table.h"

namespace store {

// Handles one Kernel event read from the Kernel channel: buf holds KMSG_SIZE bytes (zero
// beyond what was received). Any command other than host up, host down and re-check is
// ignored without a trace.
void handle_kernel_event(const unsigned char* buf, UserTable& accounts, UserTable& online);

}  // namespace store
