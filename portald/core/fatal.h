// What the daemon tells its operator on standard error: a fatal failure ends the process with
// status 1 after one line "portald: " and the cause, naming the key, path or address involved;
// a warning is one such line and the daemon goes on. The event log is not used for either.
#pragma once

namespace core {

[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace core
