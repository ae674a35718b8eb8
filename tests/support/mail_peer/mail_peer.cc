#include "mail_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace mailtest {
namespace {

// One self-signed certificate for the whole test program.
struct Identity {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

const Identity& identity() {
  static const Identity made = [] {
    Identity id;
    id.key = EVP_EC_gen("P-256");
    id.cert = X509_new();
    if (id.key == nullptr || id.cert == nullptr) std::abort();
    X509_set_version(id.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(id.cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(id.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(id.cert), 86400);
    X509_set_pubkey(id.cert, id.key);
    X509_NAME* name = X509_get_subject_name(id.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("mail.test"), -1, -1, 0);
    X509_set_issuer_name(id.cert, name);
    if (X509_sign(id.cert, id.key, EVP_sha256()) == 0) std::abort();
    return id;
  }();
  return made;
}

// Reads what is there, waiting at most 100 ms: >0 bytes, 0 end, -1 nothing yet, -2 error.
int read_some(int fd, SSL* ssl, char* buffer, int size) {
  if (ssl != nullptr) {
    const int n = SSL_read(ssl, buffer, size);
    if (n > 0) return n;
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_WANT_READ) return -1;
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    return -2;
  }
  const ssize_t n = recv(fd, buffer, static_cast<size_t>(size), 0);
  if (n >= 0) return static_cast<int>(n);
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -1 : -2;
}

void block_sigpipe() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
}

bool write_all(int fd, SSL* ssl, const std::string& text) {
  if (text.empty()) return true;
  if (ssl != nullptr) return SSL_write(ssl, text.data(), static_cast<int>(text.size())) > 0;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Answer replies(std::vector<std::string> texts) {
  return [texts](const std::string&, int index) -> std::string {
    const auto at = static_cast<std::size_t>(index);
    return at < texts.size() ? texts[at] : "";
  };
}

MailPeer::MailPeer(PeerScript script) : script_(std::move(script)) {
  if (script_.tls) identity();
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listen_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, script_.never_accept ? 1 : 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

MailPeer::~MailPeer() {
  finish();
  close(listen_fd_);
}

void MailPeer::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (std::thread& t : serving_) t.join();
  serving_.clear();
}

bool MailPeer::pause(int ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    if (stop_) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        end - now, std::chrono::milliseconds(10)));
  }
  return !stop_;
}

bool MailPeer::send_text(int fd, SSL* ssl, const std::string& text, int trickle_ms) const {
  if (trickle_ms == 0) return write_all(fd, ssl, text);
  for (const char c : text) {
    if (!pause(trickle_ms) || !write_all(fd, ssl, std::string(1, c))) return false;
  }
  return true;
}

// Reads the client's hello, then sends a handshake record's header and its body a byte at a
// time; the body never completes.
void MailPeer::trickle_handshake(int fd) const {
  char hello[4096];
  while (read_some(fd, nullptr, hello, sizeof hello) == -1) {
    if (stop_) return;
  }
  send_text(fd, nullptr, std::string("\x16\x03\x03\x40\x00", 5) + std::string(64, '\x02'),
            script_.handshake_trickle_ms);
}

std::string MailPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void MailPeer::serve() {
  // This thread's writes to a client that has gone must not end the test program.
  block_sigpipe();
  for (;;) {
    if (script_.never_accept) {
      if (stop_) return;
      pause(50);
      continue;
    }
    // A connection that is already waiting is served even after finish() was called.
    pollfd waiting = {listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) {
      if (stop_) return;
      continue;
    }
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    serving_.emplace_back([this, fd] {
      block_sigpipe();
      serve_one(fd);
      close(fd);
    });
  }
}

void MailPeer::serve_one(int fd) {
  const timeval tick = {0, 100 * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  if (script_.tls && script_.handshake_trickle_ms != 0) {
    trickle_handshake(fd);
    return;
  }
  if (script_.tls) {
    ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, identity().cert);
    SSL_CTX_use_PrivateKey(ctx, identity().key);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    int accepted = 0;
    while (!stop_ && (accepted = SSL_accept(ssl)) != 1) {
      if (SSL_get_error(ssl, accepted) != SSL_ERROR_WANT_READ) break;
    }
    if (accepted != 1) {
      SSL_free(ssl);
      SSL_CTX_free(ctx);
      ERR_clear_error();
      return;
    }
  }
  if (pause(script_.delay_ms) && send_text(fd, ssl, script_.greeting, script_.greeting_trickle_ms) &&
      !script_.close_after_greeting) {
    std::string pending;
    int lines = 0;
    char buffer[4096];
    for (;;) {
      // Reads on to the client's end of data; finish() only ends a wait that brings nothing.
      const int n = read_some(fd, ssl, buffer, sizeof buffer);
      if (n == -1) {
        if (stop_) break;
        continue;
      }
      if (n <= 0) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buffer, static_cast<std::size_t>(n));
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      bool ok = true;
      while (ok && (end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (script_.answer) {
          const std::string answer = script_.answer(line, lines);
          ok = answer.empty() ||
               (pause(script_.delay_ms) && send_text(fd, ssl, answer, script_.answer_trickle_ms));
        }
        if (++lines == script_.close_after_lines) ok = false;
      }
      if (!ok) break;
    }
  }
  if (ssl != nullptr) {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ERR_clear_error();
  }
}

}  // namespace mailtest
