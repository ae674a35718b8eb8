#include "core/event_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace core {
namespace {

// Appends one line to the log file; reports nothing.
void append_line(const char* path, const char* format, va_list args) {
  FILE* f = std::fopen(path, "a");
  if (f == nullptr) return;
  std::vfprintf(f, format, args);
  std::fputc('\n', f);
  std::fclose(f);
}

void log_file_line(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_file_line(const char* path, const char* format, ...) {
  va_list args;
  va_start(args, format);
  append_line(path, format, args);
  va_end(args);
}

}  // namespace

void log_event(const char* title, const char* message) {
  if (message == nullptr) message = " ";
  const char* file = std::getenv("PORTALD_LOG_FILE");
  if (file != nullptr && *file != '\0') {
    log_file_line(file, "R1 0 R3 %s %s", title, message);
    return;
  }
  openlog("user", LOG_NDELAY, LOG_LOCAL0);
  syslog(LOG_NOTICE, "R1 0 R3 %s %s", title, message);
  closelog();
}

void log_token(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* file = std::getenv("PORTALD_LOG_FILE");
  if (file != nullptr && *file != '\0') {
    append_line(file, format, args);
  } else {
    vsyslog(0, format, args);
  }
  va_end(args);
}

}  // namespace core
