// A private dovecot for tests written in C++: a thin wrapper over dovecot-harness.sh (beside
// this file), which documents the server it starts.
//
//   dovecot::Server server;                 // starts it in a temporary folder of its own
//   ASSERT_TRUE(server.running()) << server.error();
//   connect to server.host() on server.pop3_port() ... with server.user() / server.password()
//   // the destructor stops the server (no process is left) and removes the folder
//
// A test binary that uses it links the library `dovecot_harness`.
#pragma once

#include <map>
#include <string>

namespace dovecot {

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // False when the server could not be started; error() then says why, with its log.
  bool running() const { return running_; }
  const std::string& error() const { return error_; }

  std::string host() const { return value("DOVECOT_HOST"); }
  unsigned pop3_port() const { return port("DOVECOT_POP3_PORT"); }
  unsigned pop3s_port() const { return port("DOVECOT_POP3S_PORT"); }
  unsigned imap_port() const { return port("DOVECOT_IMAP_PORT"); }
  unsigned imaps_port() const { return port("DOVECOT_IMAPS_PORT"); }
  // A user with a plain password.
  std::string user() const { return value("DOVECOT_USER"); }
  std::string password() const { return value("DOVECOT_PASSWORD"); }
  // A user whose password holds a blank, a double quote and a backslash.
  std::string space_user() const { return value("DOVECOT_SPACE_USER"); }
  std::string space_password() const;
  // The folder that holds the configuration, the log (dovecot.log) and the env file.
  const std::string& dir() const { return dir_; }
  // Any KEY of the env file; empty when it is not there.
  std::string value(const std::string& key) const;

 private:
  unsigned port(const char* key) const;

  bool running_ = false;
  std::string error_;
  std::string dir_;
  std::map<std::string, std::string> env_;
};

}  // namespace dovecot
