// Test fixtures at the daemon's real seams: a temporary root for its fixed paths, a fake
// kernel endpoint on the Kernel channel's AF_UNIX form, the event log file, nvram keys, and
// login connections over socket pairs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/user_table.h"

namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A fresh folder holding the daemon's fixed folders (tmp, disk/conf, etc, var/http).
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const char* fixed) const { return dir_ + fixed; }
  void write(const char* fixed, const std::string& content) const;
  std::string read(const char* fixed) const;  // "" when missing
  bool exists(const char* fixed) const;

 private:
  std::string dir_;
};

// The admission component's end of the Kernel channel: a datagram socket at a path.
class FakeKernel {
 public:
  explicit FakeKernel(const std::string& path);
  ~FakeKernel();
  FakeKernel(const FakeKernel&) = delete;
  FakeKernel& operator=(const FakeKernel&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // Every datagram waiting now, in arrival order (waits up to wait_ms for the first one).
  std::vector<Bytes> drain(int wait_ms = 0);
  // Every datagram until none has arrived for quiet_ms.
  std::vector<Bytes> drain_until_quiet(int quiet_ms);

 private:
  std::string path_;
  int fd_ = -1;
};

// Connects a stream socket to the AF_UNIX path; the descriptor, or -1.
int connect_stream(const std::string& path);

// Reads every line of the log file (without line feeds).
std::vector<std::string> read_lines(const std::string& file);

void set_nvram(const char* key, const char* value);
void unset_nvram(const char* key);

// A 360-byte Kernel event.
Bytes kernel_event(uint32_t code, const char* ip, uint32_t kind = 0,
                   const unsigned char* mac = nullptr);

// A login request built field by field.
struct LoginFields {
  uint32_t msg_type = 2;
  std::string user, password, extra_a, client_ip, client_mac, extra_b;
  uint32_t extra_word = 0;
};
Bytes login_request(const LoginFields& f);
// The usual request: a client's address and MAC, and the account or mailbox name.
LoginFields client_at(const std::string& ip, const std::string& mac, const std::string& user = "",
                      const std::string& password = "");

// The fields of a decoded Kernel message.
struct Kmsg {
  uint32_t nl_len, nl_pid, length, command, addr, kind, quota, recheck;
  std::string addr_text;
  unsigned char mac[6];
};
Kmsg decode_kmsg(const Bytes& b);

// The daemon in-process: its settings, tables, a temporary root, a fake kernel and a log.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs handle_login on one end of a socket pair; returns the reply's result word, or -1
  // when no reply was sent.
  int login(const LoginFields& f);
  int login_raw(const Bytes& request);
  void control(const Bytes& request);
  void event(const Bytes& ev);

  std::vector<std::string> log() const { return read_lines(log_file_); }
  void clear_log() const;
  std::vector<Kmsg> sent();  // Kernel messages sent since the last call

  store::UserTable accounts_;
  store::UserTable online_;
  TempRoot* root_ = nullptr;
  FakeKernel* kernel_ = nullptr;
  std::string log_file_;
};

}  // namespace testing_support
