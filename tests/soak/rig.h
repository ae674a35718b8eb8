// The real daemon and the real admission stand-in, wired together under a temporary root:
// admitsim listens where the daemon's Kernel channel sends, so every permit is taken and every
// host-down event comes back through the daemon's own sockets.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "portald_fixture.h"

namespace soak {

class Rig {
 public:
  // nvram: the daemon's nvram keys; wrapper: words put before the daemon's command line
  // (valgrind and its options; "@ROOT@" in a word stands for the temporary root), empty for
  // none.
  Rig(const std::map<std::string, std::string>& nvram, std::vector<std::string> wrapper = {});
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Starts admitsim, then the daemon, and waits until the daemon has said hello and its login
  // socket takes connections (up to wait_ms). False when either did not come up.
  bool start(int wait_ms = 10000);
  // Stops the daemon (SIGTERM) and admitsim; the daemon's wait status, or -1 when it had
  // already ended.
  int stop();

  const testing_support::TempRoot& root() const { return root_; }
  pid_t daemon_pid() const { return daemon_; }
  bool daemon_running();

  // One login on a fresh connection: the reply's result word, -1 when the daemon closed the
  // connection without a reply, -3 when nothing came within timeout_ms, -2 when the login
  // socket could not be reached.
  int login(const testing_support::LoginFields& f, int timeout_ms = 5000) const;
  // A connection to the login socket, not written; -1 when it cannot be made.
  int connect_login() const;
  // Asks admitsim to send a host-down event for ip; false when admitsim did not do so.
  bool host_down(const std::string& ip) const;

  // The daemon's resident memory in kilobytes, and its number of open descriptors.
  long rss_kb() const;
  int open_fds() const;
  // Empties the daemon's log file (it appends line by line, so it carries on at the start).
  void truncate_log() const;
  std::string log_file() const { return root_.dir() + "/events.log"; }

 private:
  testing_support::TempRoot root_;
  std::map<std::string, std::string> nvram_;
  std::vector<std::string> wrapper_;
  pid_t admitsim_ = -1;
  pid_t daemon_ = -1;
  int daemon_status_ = -1;
};

}  // namespace soak
