// What the router's web pages do on the daemon's two local sockets, for the command-line
// clients and the benchmark: argument checks that never cut a text silently, the socket
// addresses, and one login exchange on the login socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

#include "auth/requests.h"

namespace client {

// Exit statuses shared by the tools, beside their own result statuses below 64.
inline constexpr int kExitUsage = 64;        // bad arguments
inline constexpr int kExitUnreachable = 69;  // the socket cannot be reached
inline constexpr int kExitIo = 74;           // a send or receive failed, or a malformed reply
inline constexpr int kExitTimeout = 75;      // no answer within the time-out

// Prints "PROGRAM: message" on standard error and ends the process with status.
[[noreturn]] void fail(int status, const std::string& message);
// The name used by fail(); set once by main.
void set_program(const char* name);

// Reports what getopt_long (run with opterr = 0 and an option string beginning with ':')
// found wrong with argv, then fails with kExitUsage.
[[noreturn]] void bad_option(int code, char** argv);

// Puts text into field f of record. A text longer than the field fails with kExitUsage,
// naming what; a text that fills the field exactly goes without a terminating NUL.
void put_checked(unsigned char* record, auth::Field f, const std::string& text,
                 const char* what);

// A 32-bit word given as decimal: -2147483648 to 4294967295, stored as its 32 bits.
// Returns false for anything else.
bool parse_word(const char* text, uint32_t* value);

// How long a tool waits for the daemon by default, and at most.
inline constexpr int kDefaultTimeoutMs = 10000;
inline constexpr int kMaxTimeoutSeconds = 86400;

// The milliseconds of a --timeout value in seconds (fractions allowed); fails with
// kExitUsage unless it is above 0 and at most kMaxTimeoutSeconds.
int parse_timeout(const char* text);

// Bounds how long connect and send wait on a full queue of the peer (they then fail with
// EAGAIN).
void set_send_timeout(int fd, int timeout_ms);

// The address of a socket file; fails with kExitUsage when the path does not fit.
struct UnixAddress {
  sockaddr_un addr{};
  socklen_t len = 0;
};
UnixAddress unix_address(const std::string& path);

// One login exchange: connects to the login socket at path, writes the 300-byte request and
// reads the 300-byte reply, all within timeout_ms.
enum class Exchange {
  kReply,        // *result holds the reply's result word
  kNoReply,      // the daemon closed the connection without sending anything
  kUnreachable,  // connecting failed
  kSendFailed,
  kReceiveFailed,
  kShortReply,  // the connection closed after part of a reply
  kTimeout,
};
struct LoginOutcome {
  Exchange exchange = Exchange::kUnreachable;
  int32_t result = 0;
  int error = 0;  // errno of a failed system call
  size_t received = 0;
};
LoginOutcome login_exchange(const UnixAddress& socket_addr, const unsigned char* request,
                            int timeout_ms);

}  // namespace client
