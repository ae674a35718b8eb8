#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "auth/login.h"
#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "nvram.h"
#include "store/limits.h"

namespace fuzz {
namespace {

// Inputs between two truncations of the log file.
constexpr unsigned kLogTruncateEvery = 512;

struct State {
  bool ready = false;
  std::string root;
  std::string log_file;
  int kernel_fd = -1;   // the fake kernel's socket
  int mail_fd = -1;     // bound, never listening: connections to its port are refused
  std::thread reader;
  std::atomic<bool> stop{false};
  std::atomic<bool> busy{false};
  std::mutex lock;      // guards messages
  std::vector<Bytes> messages;
  unsigned inputs = 0;
};

State& state() {
  static State* s = new State();
  return *s;
}

// The fake kernel: reads every datagram as it comes, so that no send of the daemon ever
// waits on a full queue.
void read_kernel(State* s) {
  unsigned char buf[4096];
  while (!s->stop.load()) {
    pollfd p{s->kernel_fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    s->busy.store(true);
    const ssize_t n = recv(s->kernel_fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n >= 0) {
      std::lock_guard<std::mutex> g(s->lock);
      s->messages.emplace_back(buf, buf + n);
    }
    s->busy.store(false);
  }
}

void tear_down() {
  State& s = state();
  if (!s.ready) return;
  s.stop.store(true);
  if (s.reader.joinable()) s.reader.join();
  close(s.kernel_fd);
  close(s.mail_fd);
  if (core::g_settings.kernel_fd >= 0) close(core::g_settings.kernel_fd);
  const std::string cmd = "rm -rf '" + s.root + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", s.root.c_str());
  s.ready = false;
}

store::OnlineUserRecord account(const char* name, int32_t mode, int32_t value) {
  store::OnlineUserRecord r = store::new_record();
  r.name = name;
  r.limit_mode = mode;
  r.limit_value = value;
  r.created_at = store::now_seconds();
  return r;
}

}  // namespace

void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

void setup() {
  State& s = state();
  if (s.ready) return;
  // TMPDIR, unless the socket path under it would not fit a UNIX socket address.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  if (base.size() > 64) base = "/tmp";
  std::string tmpl = base + "/portald-fuzz-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) fail("mkdtemp", __FILE__, __LINE__);
  s.root = tmpl;
  for (const char* sub : {"/tmp", "/disk", "/disk/conf", "/etc", "/var", "/var/http"}) {
    mkdir((s.root + sub).c_str(), 0755);
  }
  s.log_file = s.root + "/events.log";
  const std::string kernel_path = s.root + "/kernel.sock";
  setenv("PORTALD_ROOT", s.root.c_str(), 1);
  setenv("PORTALD_LOG_FILE", s.log_file.c_str(), 1);
  setenv("NVRAM_FILE", (s.root + "/nvram.conf").c_str(), 1);
  setenv("PORTALD_KERNEL_SOCKET", kernel_path.c_str(), 1);

  s.kernel_fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un ka{};
  ka.sun_family = AF_UNIX;
  if (kernel_path.size() >= sizeof(ka.sun_path)) fail("root path too long", __FILE__, __LINE__);
  std::memcpy(ka.sun_path, kernel_path.c_str(), kernel_path.size() + 1);
  if (bind(s.kernel_fd, reinterpret_cast<sockaddr*>(&ka), sizeof(ka)) != 0)
    fail("bind fake kernel", __FILE__, __LINE__);

  s.mail_fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in ma{};
  ma.sin_family = AF_INET;
  ma.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(ma);
  if (bind(s.mail_fd, reinterpret_cast<sockaddr*>(&ma), sizeof(ma)) != 0 ||
      getsockname(s.mail_fd, reinterpret_cast<sockaddr*>(&ma), &len) != 0)
    fail("bind mail port", __FILE__, __LINE__);

  core::g_settings = core::Settings{};
  core::g_settings.kernel_fd = core::create_kernel_channel();
  if (core::g_settings.kernel_fd < 0) fail("create_kernel_channel", __FILE__, __LINE__);
  std::strcpy(core::g_settings.mail_server, "127.0.0.1");
  core::g_settings.mail_port = ntohs(ma.sin_port);

  s.reader = std::thread(read_kernel, &s);
  s.ready = true;
  std::atexit(tear_down);
}

void begin_input() {
  State& s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.messages.clear();
  }
  if (++s.inputs % kLogTruncateEvery == 0) truncate(s.log_file.c_str(), 0);
}

const std::string& root() { return state().root; }

std::string write_fixed(const char* fixed, const uint8_t* data, size_t size) {
  const std::string path = core::fixed_path(fixed);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("open input file", __FILE__, __LINE__);
  if (size > 0 && std::fwrite(data, 1, size, f) != size) fail("write input file", __FILE__, __LINE__);
  std::fclose(f);
  return path;
}

void set_nvram(const char* key, const char* value) {
  const char* now = nvram_get(key);
  if (value == nullptr) {
    if (now == nullptr) return;
    nvram_unset(key);
  } else {
    if (now != nullptr && std::strcmp(now, value) == 0) return;
    nvram_set(key, value);
  }
  nvram_commit();
}

std::vector<Bytes> kernel_messages() {
  State& s = state();
  // A datagram sent is already queued at the fake kernel; wait until the reader has taken
  // every one of them.
  for (;;) {
    int queued = 0;
    ioctl(s.kernel_fd, FIONREAD, &queued);
    if (queued == 0 && !s.busy.load()) break;
    std::this_thread::yield();
  }
  std::lock_guard<std::mutex> g(s.lock);
  std::vector<Bytes> out;
  out.swap(s.messages);
  return out;
}

int login(const unsigned char* request, store::UserTable& accounts, store::UserTable& online) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fail("socketpair", __FILE__, __LINE__);
  // An e-mail login finishes once its mail check has run; it then closes sv[0] itself.
  if (auth::handle_login(sv[0], request, accounts, online)) {
    auth::await_mail_logins(accounts, online);
  } else {
    close(sv[0]);
  }
  unsigned char reply[2 * auth::kRecordSize];
  size_t got = 0;
  for (;;) {
    const ssize_t n = recv(sv[1], reply + got, sizeof(reply) - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got == sizeof(reply)) break;
  }
  close(sv[1]);
  if (got == 0) return -1;
  FUZZ_CHECK(got == auth::kRecordSize);
  for (size_t i = 4; i < got; ++i) FUZZ_CHECK(reply[i] == 0);
  return static_cast<int>(word_at(reply, 0));
}

void seed_accounts(store::UserTable& accounts) {
  store::append(accounts, account("alice", store::LIMIT_DAILY, 7200));
  store::append(accounts, account("bob", store::LIMIT_DATE, store::date_key(2099, 12, 31)));
  store::append(accounts, account("carol", store::LIMIT_NONE, 0));
  store::append(accounts, account("dave", store::LIMIT_DATE, store::date_key(2001, 1, 1)));
  store::append(accounts, account("erin", store::LIMIT_DAILY, 0));
}

void seed_online(store::UserTable& online) {
  static const struct {
    int32_t kind;
    const char* name;
    int32_t mode;
  } clients[] = {
      {KIND_CLIENT_IP, "alice", store::LIMIT_DAILY}, {KIND_CLIENT_IP, "bob", store::LIMIT_DATE},
      {KIND_CLIENT_IP, "carol", store::LIMIT_NONE},  {KIND_MAC, "", store::LIMIT_NONE},
      {KIND_EXEMPT_IP, "", store::LIMIT_NONE},       {KIND_CLIENT_IP, "", store::LIMIT_NONE},
      {KIND_CLIENT_IP, "alice", store::LIMIT_DAILY}, {KIND_CLIENT_IP, "bob", store::LIMIT_DATE},
  };
  const int32_t now = store::now_seconds();
  int n = 1;
  for (const auto& c : clients) {
    store::OnlineUserRecord r = store::new_record();
    r.kind = c.kind;
    r.name = c.name;
    r.limit_mode = c.mode;
    r.limit_value = c.mode == store::LIMIT_DATE ? store::date_key(2001, 1, 1) : 3600;
    r.online = 1;
    r.login_time = now - 60;
    r.ip = "10.0.0." + std::to_string(n++);
    r.mac = "00:11:22:33:44:5" + std::to_string(n);
    store::append(online, r);
  }
}

void keep_accounts_bounded(store::UserTable& accounts, size_t max_size) {
  if (accounts.records.size() > max_size) accounts.records.clear();
  if (accounts.records.empty()) seed_accounts(accounts);
}

void keep_online_bounded(store::UserTable& online, size_t max_size) {
  if (online.records.size() > max_size) online.records.clear();
  if (online.records.empty()) seed_online(online);
}

bool start_record_input(const uint8_t* data, size_t size, unsigned char* record,
                        size_t record_size) {
  setup();
  begin_input();
  if (size == 0) return false;
  core::g_settings.auth_type = data[0] % 5;
  core::g_settings.multi_user = (data[0] >> 3) & 1;
  std::memset(record, 0, record_size);
  std::memcpy(record, data + 1, std::min(size - 1, record_size));
  return true;
}

int feed_reply(const uint8_t* data, size_t size, int (*reader)(int fd), size_t* unread) {
  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  int buffer = static_cast<int>(size) + 65536;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  if (size > 0) FUZZ_CHECK(send(sv[1], data, size, 0) == static_cast<ssize_t>(size));
  shutdown(sv[1], SHUT_WR);
  const int result = reader(sv[0]);
  *unread = 0;
  char rest[4096];
  for (;;) {
    const ssize_t n = recv(sv[0], rest, sizeof(rest), MSG_DONTWAIT);
    if (n <= 0) break;
    *unread += static_cast<size_t>(n);
  }
  close(sv[0]);
  close(sv[1]);
  return result;
}

uint32_t word_at(const unsigned char* buf, size_t offset) {
  uint32_t w;
  std::memcpy(&w, buf + offset, sizeof(w));
  return w;
}

}  // namespace fuzz
