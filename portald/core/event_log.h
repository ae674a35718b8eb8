// Event lines. A keyed line goes through log_event ("R1 0 R3 %s %s" with a title key and a
// message); a token line ("@#@ log_info ...") is written by its caller with log_token.
// On the router both go to the system log; with PORTALD_LOG_FILE=PATH each line is appended
// to PATH instead, as the message text followed by a line feed, with one write on a
// descriptor kept open until PATH names another file (as after rotation). Logging never fails
// as far as the caller is concerned.
#pragma once

#include <string>
#include <vector>

namespace core {

// Opens the system log as "user" (no delay, facility local0), writes one line of priority
// notice and closes the log again. A null message is written as a single blank.
void log_event(const char* title, const char* message);

// One token line: syslog priority 0 with the default identity and facility.
void log_token(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log file's descriptor if one is kept open; the next line opens the file again.
// For code that must account for its descriptors (tests that check none is left behind).
void close_log_file();

// One line about the daemon itself rather than a client (for example what it refused):
// syslog priority warning with the default identity and facility.
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While it lives, the token lines that this thread writes are appended to lines instead of
// the log, so that a thread other than the loop never writes the log itself: the loop writes
// them later, in order, with log_token("%s", line). lines must outlive the object.
class TokenCapture {
 public:
  explicit TokenCapture(std::vector<std::string>* lines);
  ~TokenCapture();
  TokenCapture(const TokenCapture&) = delete;
  TokenCapture& operator=(const TokenCapture&) = delete;

 private:
  std::vector<std::string>* previous_;
};

}  // namespace core
