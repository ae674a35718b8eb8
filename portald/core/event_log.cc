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

// A line of the given syslog priority with the default identity and facility, or a line
// of the log file.
void log_line(int priority, const char* format, va_list args) {
  const char* file = std::getenv("PORTALD_LOG_FILE");
  if (file != nullptr && *file != '\0') {
    append_line(file, format, args);
  } else {
    vsyslog(priority, format, args);
  }
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

namespace {
thread_local std::vector<std::string>* t_capture = nullptr;
}  // namespace

TokenCapture::TokenCapture(std::vector<std::string>* lines) : previous_(t_capture) {
  t_capture = lines;
}

TokenCapture::~TokenCapture() { t_capture = previous_; }

void log_token(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (t_capture != nullptr) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    t_capture->emplace_back(line);
    return;
  }
  log_line(0, format, args);
  va_end(args);
}

void log_warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_line(LOG_WARNING, format, args);
  va_end(args);
}

}  // namespace core
