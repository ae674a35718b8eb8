#include "dovecot_harness.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dovecot {
namespace {

// Runs the harness script with an action and the folder; returns its exit status and puts
// what it printed (both streams) into output.
int run_script(const char* action, const std::string& dir, std::string* output) {
  const std::string command = std::string("bash '") + DOVECOT_HARNESS_SCRIPT + "' " + action +
                              " '" + dir + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *output = "could not run " + command;
    return -1;
  }
  char buffer[512];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  return pclose(pipe);
}

}  // namespace

Server::Server() {
  char pattern[] = "/tmp/dovecot-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "could not make a temporary folder";
    return;
  }
  dir_ = pattern;
  std::string output;
  if (run_script("start", dir_, &output) != 0) {
    error_ = "the private dovecot did not start:\n" + output;
    return;
  }
  std::ifstream in(dir_ + "/env");
  for (std::string line; std::getline(in, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  running_ = pop3_port() != 0 && imaps_port() != 0;
  if (!running_) error_ = "the private dovecot wrote no ports into " + dir_ + "/env";
}

Server::~Server() {
  if (dir_.empty()) return;
  std::string output;
  if (run_script("stop", dir_, &output) != 0) std::fprintf(stderr, "%s", output.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string Server::value(const std::string& key) const {
  const auto found = env_.find(key);
  return found == env_.end() ? std::string() : found->second;
}

unsigned Server::port(const char* key) const {
  return static_cast<unsigned>(std::strtoul(value(key).c_str(), nullptr, 10));
}

std::string Server::space_password() const {
  std::ifstream in(value("DOVECOT_SPACE_PASSWORD_FILE"));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace dovecot
