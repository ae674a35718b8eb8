// A scripted mail server for tests and benchmarks: it listens on 127.0.0.1 on a port the
// system chooses, serves each connection in a thread of its own, plain or over TLS with a
// self-signed certificate made at first use, and records every byte that its clients send
// (after decryption).
#pragma once

#include <atomic>
#include <openssl/ssl.h>

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
  // Waits this long after the connection (and its handshake) stands before the greeting, and
  // as long again before each answer.
  int delay_ms = 0;
  // When not 0, the greeting (or each answer) goes out one byte at a time with this pause
  // before each byte.
  int greeting_trickle_ms = 0;
  int answer_trickle_ms = 0;
  // When not 0 (with tls), the handshake trickles instead: the server answers the client's
  // hello with the start of a record and then one byte of it per pause, and never finishes.
  int handshake_trickle_ms = 0;
  // Accept nothing: connections stay in the listen queue (of one place), so a queue that is
  // full leaves further connects hanging.
  bool never_accept = false;
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
  // Sleeps ms, in steps, until finish() was called; false when it was.
  bool pause(int ms) const;
  bool send_text(int fd, SSL* ssl, const std::string& text, int trickle_ms) const;
  void trickle_handshake(int fd) const;

  PeerScript script_;
  int listen_fd_ = -1;
  unsigned port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
  std::vector<std::thread> serving_;  // one per connection, joined by finish()
};

}  // namespace mailtest
