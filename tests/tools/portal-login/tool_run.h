// Runs a tool binary as a child process and collects what it printed and its exit status;
// a bound socket for the tool to talk to.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tool_run {

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

class Child {
 public:
  // Starts binary with args; env entries NAME=VALUE replace or extend the environment.
  Child(const std::string& binary, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the child to end (killing it after 20 seconds) and returns its result.
  Result finish();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

Result run(const std::string& binary, const std::vector<std::string>& args,
           const std::vector<std::string>& env = {});

// An AF_UNIX socket of type bound to path; throws when that fails.
int bound_socket(int type, const std::string& path);

}  // namespace tool_run
