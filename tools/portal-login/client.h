// What the router's web pages do on the daemon's two local sockets, shared by the
// command-line clients, the web pages (portal-web) and the benchmark: checks that never cut a
// text silently, the socket addresses, one login exchange on the login socket and one control
// request on the control socket. Only fail() and the functions documented to call it end
// the process; the web pages use the others.
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

// True when text fits field f (a text that fills the field exactly fits, without a NUL).
inline bool fits(auth::Field f, const std::string& text) { return text.size() <= f.width; }

// The validity forms the daemon reads for an added account: "*", hours a day in one or two
// digits, or a last valid day written YEAR-MONTH-DAY (the account file's trailing dot may
// follow).
bool valid_validity(const std::string& v);

// Six groups of one or two hex digits separated by colons: the MAC form the daemon reads.
bool valid_mac(const std::string& m);

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
// The same without ending the process: false when the path is empty or does not fit.
bool make_unix_address(const std::string& path, UnixAddress* out);

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

// Control requests built from what an operator typed. Each zero-fills the 300-byte record,
// puts the command and the texts and returns kFine, or returns what is wrong; a text is
// never cut.
enum class ControlProblem {
  kFine,
  kEmptyName,
  kNameTooLong,      // more than 64 characters
  kBadValidity,      // not a form valid_validity takes
  kNoteTooLong,      // more than 64 characters
  kBadAddress,       // not a dotted-decimal IPv4 address
  kBadMac,           // not a form valid_mac takes
};
ControlProblem add_account_request(unsigned char* record, const std::string& name,
                                   const std::string& validity, const std::string& note);
ControlProblem remove_account_request(unsigned char* record, const std::string& name);
ControlProblem cut_request(unsigned char* record, const std::string& ip);
// command is CTRL_PERMIT_MAC or CTRL_REVOKE_MAC; each has its own field.
ControlProblem mac_request(unsigned char* record, auth::ControlCommand command,
                           const std::string& mac);

// One control request: the 300-byte record as one datagram to the control socket. The
// daemon never answers; kSent means the socket took the whole record.
enum class Sent {
  kSent,
  kUnreachable,  // no daemon at the path (no socket, refused, not a socket, no permission)
  kTimeout,      // the daemon's queue stayed full for timeout_ms
  kFailed,       // any other failure, or a datagram that went out incomplete
};
struct ControlOutcome {
  Sent sent = Sent::kFailed;
  int error = 0;  // errno of a failed system call
};
ControlOutcome control_send(const UnixAddress& socket_addr, const unsigned char* request,
                            int timeout_ms);

}  // namespace client
