// A scripted mail server for the mail checks' tests: it listens on 127.0.0.1 on a port the
// system chooses, serves the connections that come one after another in its own thread,
// plain or over TLS with a self-signed certificate made at first use, and records every byte
// that its clients send (after decryption).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mailtest {

struct PeerScript {
  bool tls = false;
  // Sent as soon as the connection (and its handshake) stands; empty: nothing is sent.
  std::string greeting;
  // Called for each line the client sends (without its CR LF) with the number of lines that
  // came before it on the connection; what it returns is sent back, nothing when it is empty.
  std::function<std::string(const std::string& line, int index)> answer;
  // Close the connection right after the greeting went out.
  bool close_after_greeting = false;
  // Close the connection after answering this many lines (0: only when the client closes).
  int close_after_lines = 0;
};

using Answer = std::function<std::string(const std::string& line, int index)>;

// Answers the lines of each connection in order with the given replies, one each; lines beyond
// them get nothing.
Answer replies(std::vector<std::string> list);

class MailPeer {
 public:
  explicit MailPeer(PeerScript script);
  ~MailPeer();  // finish(), and the listening socket is closed
  MailPeer(const MailPeer&) = delete;
  MailPeer& operator=(const MailPeer&) = delete;

  unsigned port() const { return port_; }
  // Serves what has connected to its end (the client must have closed), then stops the thread.
  void finish();
  std::string received() const;
  int connections() const { return connections_.load(); }

 private:
  void serve();
  void serve_one(int fd);

  PeerScript script_;
  int listen_fd_ = -1;
  unsigned port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

}  // namespace mailtest
