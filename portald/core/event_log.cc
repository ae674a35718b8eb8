#include "core/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace core {
namespace {

// The log file, kept open from one line to the next; file_lock guards it.
struct LogFile {
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};
std::mutex file_lock;
LogFile g_file;

// A descriptor that appends to path: the one kept open while path still names that file;
// when the file was replaced (rotated) or removed, or path changed, path is opened afresh.
// -1 when it cannot be opened. Called with file_lock held.
int log_fd(const char* path) {
  struct stat st {};
  if (g_file.fd >= 0 && g_file.path == path && stat(path, &st) == 0 &&
      st.st_dev == g_file.dev && st.st_ino == g_file.ino) {
    return g_file.fd;
  }
  if (g_file.fd >= 0) close(g_file.fd);
  g_file.path = path;
  g_file.fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (g_file.fd >= 0 && fstat(g_file.fd, &st) == 0) {
    g_file.dev = st.st_dev;
    g_file.ino = st.st_ino;
  }
  return g_file.fd;
}

}  // namespace

void close_log_file() {
  std::lock_guard<std::mutex> hold(file_lock);
  if (g_file.fd >= 0) close(g_file.fd);
  g_file = LogFile{};
}

namespace {

// Appends one line to the log file with one write; reports nothing.
void append_line(const char* path, const char* format, va_list args) {
  char small[1024];
  std::string large;
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof(small) - 1, format, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  char* line = small;
  if (static_cast<size_t>(n) >= sizeof(small) - 1) {
    large.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&large[0], large.size(), format, again);
    line = &large[0];
  }
  va_end(again);
  line[n] = '\n';
  const std::lock_guard<std::mutex> hold(file_lock);
  const int fd = log_fd(path);
  if (fd < 0) return;
  while (write(fd, line, static_cast<size_t>(n) + 1) < 0 && errno == EINTR) {
  }
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
