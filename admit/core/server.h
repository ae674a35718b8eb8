// The Kernel channel's far end, shared by both front-ends: the datagram socket where the
// daemon's Kernel channel sends, its control socket PATH.ctl, the journal, the daemon's address
// (learnt from KMSG_HELLO) and the loop that applies messages to the tables and sends the events
// that fall due. A front-end derives from Server and says how clients are held back and how
// activity is learnt through the hooks below.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tables.h"
#include "wire.h"

namespace admit {

double mono_seconds();

// The longest answer on the control channel (one datagram): a longer status is cut short.
const size_t kAnswerMax = 4 << 20;

struct ServerOptions {
  std::string socket, journal;
  double time_scale = 1;
  double recheck_interval = 0;
};

class Server {
 public:
  Server(const char* program, const ServerOptions& o);
  virtual ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds both sockets, runs the front-end's start, then serves until SIGTERM or SIGINT.
  // Returns the exit status.
  int run();

 protected:
  // Simulated seconds since the start: real time times the time scale.
  double now() const { return (mono_seconds() - start_) * opt_.time_scale; }
  void journal(JsonLine line, const char* dir, double at = -1);
  // Sends and journals one event; returns why it could not be sent, or "" when it was.
  std::string send_event(const Event& e);
  // Sends every event; returns the first reason one could not be sent, or "".
  std::string send_all(const std::vector<Event>& events);
  bool daemon_known() const { return daemon_known_; }
  std::string daemon_text() const;

  // The front-end's hooks. Each may add to the journal; none may block for long.
  // After the sockets are bound, before the first message; false ends the run with error.
  virtual bool start(std::string* error) {
    (void)error;
    return true;
  }
  // When the loop ends (also after a failed start).
  virtual void finish() {}
  // KMSG_HELLO: a new session. The tables are already empty again.
  virtual void new_session(double t) { (void)t; }
  // A Kernel message other than KMSG_HELLO; returns the events it causes. The default applies
  // it to the tables.
  virtual std::vector<Event> kernel_message(KernelMessage* km, double t) {
    return tables_.apply(*km, t);
  }
  virtual void whitelist_message(const WhitelistMessage& wl, double t) {
    (void)t;
    tables_.apply(wl);
  }
  // Once a turn, before the tables are asked what has fallen due.
  virtual void before_expire(double t) { (void)t; }
  // Events the tables sent of their own accord (time limits), after they went out.
  virtual void expired(const std::vector<Event>& events) { (void)events; }
  // More descriptors to watch, and the longest real wait in milliseconds (-1: no limit).
  virtual void watch(std::vector<pollfd>* fds, int* wait_ms) {
    (void)fds;
    (void)wait_ms;
  }
  // The descriptors added by watch, with their revents.
  virtual void ready(const pollfd* fds, size_t n) {
    (void)fds;
    (void)n;
  }
  // A control request the server does not know (words split at line feeds); returns false
  // to refuse it as unknown.
  virtual bool control(const std::vector<std::string>& words, bool* ok, std::string* answer) {
    (void)words;
    (void)ok;
    (void)answer;
    return false;
  }
  // The status text: the server's head, then this.
  virtual std::string status_body(double t) { return tables_.status(t); }

  const char* program_;
  ServerOptions opt_;
  Tables tables_;

 private:
  void read_kernel();
  void read_control();
  std::string answer(const std::string& request, bool* ok);

  double start_;
  FILE* journal_ = nullptr;
  int kfd_ = -1, cfd_ = -1;
  bool bound_k_ = false, bound_c_ = false;
  bool daemon_known_ = false;
  sockaddr_un daemon_{};
  socklen_t daemon_len_ = 0;
  uint32_t daemon_pid_ = 0;
};

// A positive finite number.
bool parse_positive(const char* text, double* out);

// The options of a front-end's server: --socket, --journal, --time-scale, --recheck-interval.
std::vector<std::string> server_option_names();

// Takes the option name, with its value, into o when it is one of server_option_names(): 1
// when taken, 0 when it is not a server option, -1 with the reason in error when the value is
// refused.
int take_server_option(const std::string& name, const std::string& value, ServerOptions* o,
                       std::string* error);

// Splits the arguments from argv[first] on into --name value options (also --name=value) and
// plain words. Names in with_value take a value; names in flags take none (their value is "").
// Returns false with a reason; sets help for --help or -h.
bool split_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                const std::vector<std::string>& flags,
                std::vector<std::pair<std::string, std::string>>* opts,
                std::vector<std::string>* words, std::string* error, bool* help);

}  // namespace admit
