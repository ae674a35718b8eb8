// Control requests from the router's configuration pages: one datagram each, never answered.
#pragma once

#include "store/user_table.h"

namespace auth {

// Handles one control request (a zero-filled 300-byte buffer). Unknown commands and
// malformed MAC texts are ignored without a trace.
void handle_control(const unsigned char* request, store::UserTable& accounts,
                    store::UserTable& online);

}  // namespace auth
