// The real portald binary run under a temporary root, with a fake kernel endpoint, a log
// file and an nvram file of the test's own; stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "portald_fixture.h"

namespace testing_support {

// Waits up to timeout_ms for the 300-byte login reply on fd: its result word, -1 when the
// daemon closed the connection without one, -3 when neither came in time.
int await_reply(int fd, int timeout_ms);

class DaemonProcess;

// Takes the daemon's Kernel messages as they come, on a thread of its own, while it lives (the
// channel's queue holds only a few), so that many logins never wait on a full queue.
class KernelDrain {
 public:
  explicit KernelDrain(DaemonProcess& d);
  ~KernelDrain();
  KernelDrain(const KernelDrain&) = delete;
  KernelDrain& operator=(const KernelDrain&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DaemonProcess {
 public:
  // nvram: the keys of the daemon's nvram file. extra_env: more NAME=VALUE entries.
  DaemonProcess(const TempRoot& root, const std::map<std::string, std::string>& nvram,
                std::vector<std::string> extra_env = {});
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts the binary; with wait_hello, waits for its KMSG_HELLO on the fake kernel.
  bool start(const std::vector<std::string>& args = {}, bool wait_hello = true);
  // Waits for the process to end within ms; its exit status, or -1 when still running.
  int wait_exit(int ms);
  void stop();
  bool running();
  pid_t pid() const { return pid_; }

  FakeKernel& kernel() { return kernel_; }
  std::string log_file() const { return root_.dir() + "/events.log"; }
  std::vector<std::string> log() const { return read_lines(log_file()); }
  std::vector<Bytes> startup_messages() const { return startup_; }
  // What the daemon wrote on standard error so far.
  std::string stderr_text() const;

  // One login through the login socket: the reply's result word, -1 for no reply,
  // -2 when the socket could not be reached.
  int login(const LoginFields& f, int timeout_ms = 5000) const;
  // Connects to the login socket and returns the descriptor (not written).
  int connect_login() const;
  // Sends one datagram to the control socket.
  bool control(const Bytes& request) const;
  // Sends one Kernel event to the daemon's Kernel channel address (learned from HELLO).
  bool send_event(const Bytes& ev) const;

  std::string nvram_file() const { return root_.dir() + "/nvram.conf"; }

 private:
  const TempRoot& root_;
  const int id_;  // tells the files of several daemons on one root apart
  FakeKernel kernel_;
  std::vector<std::string> env_;
  pid_t pid_ = -1;
  std::vector<Bytes> startup_;
  std::string daemon_addr_;  // abstract address of the daemon's Kernel channel
};

}  // namespace testing_support
