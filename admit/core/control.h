// The control channel of a running admitsim or admitd: a datagram socket at PATH.ctl. A
// request is the words of the command line joined by line feeds ("status", or "event" and the
// event's words); the answer is "ok" or "error", a line feed and a readable text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace admit {

enum class Action { host_up, host_down, recheck, seen, raw };

struct EventRequest {
  Action action;
  uint32_t addr = 0;  // network order
  Mac mac{};
  uint32_t kind = 0;
  uint32_t code = 0;  // raw only
};

// Reads the words after "event"; false with a reason in error when they are not a request.
bool parse_event_request(const std::vector<std::string>& words, EventRequest* req,
                         std::string* error);

std::string control_path(const std::string& socket_path);

// Sends one request to the program (admitsim or admitd, for the messages) at socket_path and
// waits for its answer. Returns 0 with the answer's text in reply, or 1 with the reason in
// reply (not running, no answer, or the answer was an error).
int control_call(const char* program, const std::string& socket_path, const std::string& request,
                 std::string* reply);

// control_call for a command line: prints the answer on standard output, or the reason on
// standard error after "program: "; returns the exit status (0 or 1).
int control_command(const char* program, const std::string& socket_path,
                    const std::string& request);

}  // namespace admit
