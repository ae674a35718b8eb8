#include "portald_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "auth/control.h"
#include "auth/login.h"
#include "auth/requests.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "nvram.h"
#include "store/kernel_events.h"

namespace testing_support {

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/portald-test-XXXXXX";
  const char* d = mkdtemp(tmpl);
  if (d == nullptr) std::abort();
  dir_ = d;
  for (const char* sub : {"/tmp", "/disk", "/disk/conf", "/etc", "/var", "/var/http"}) {
    mkdir((dir_ + sub).c_str(), 0755);
  }
}

TempRoot::~TempRoot() {
  const std::string cmd = "rm -rf '" + dir_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

void TempRoot::write(const char* fixed, const std::string& content) const {
  std::ofstream(path(fixed), std::ios::binary) << content;
}

std::string TempRoot::read(const char* fixed) const {
  std::ifstream in(path(fixed), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool TempRoot::exists(const char* fixed) const { return access(path(fixed).c_str(), F_OK) == 0; }

FakeKernel::FakeKernel(const std::string& path) : path_(path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  unlink(path.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) std::abort();
}

FakeKernel::~FakeKernel() {
  close(fd_);
  unlink(path_.c_str());
}

std::vector<Bytes> FakeKernel::drain(int wait_ms) {
  std::vector<Bytes> out;
  pollfd p{fd_, POLLIN, 0};
  int timeout = wait_ms;
  while (poll(&p, 1, timeout) > 0) {
    Bytes b(4096);
    const ssize_t n = recv(fd_, b.data(), b.size(), 0);
    if (n < 0) break;
    b.resize(static_cast<size_t>(n));
    out.push_back(b);
    timeout = 0;
  }
  return out;
}

std::vector<Bytes> FakeKernel::drain_until_quiet(int quiet_ms) {
  std::vector<Bytes> out;
  for (;;) {
    std::vector<Bytes> more = drain(quiet_ms);
    if (more.empty()) return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

int connect_stream(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::string> read_lines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void set_nvram(const char* key, const char* value) { nvram_set(key, value); }
void unset_nvram(const char* key) { nvram_unset(key); }

Bytes kernel_event(uint32_t code, const char* ip, uint32_t kind, const unsigned char* mac) {
  Bytes b(KMSG_SIZE, 0);
  const uint32_t addr = inet_addr(ip);
  std::memcpy(&b[KMSG_OFF_COMMAND], &code, 4);
  std::memcpy(&b[KMSG_OFF_ADDR], &addr, 4);
  std::memcpy(&b[KMSG_OFF_KIND], &kind, 4);
  if (mac != nullptr) std::memcpy(&b[KMSG_OFF_MAC], mac, 6);
  return b;
}

Bytes login_request(const LoginFields& f) {
  Bytes b(auth::kRecordSize, 0);
  auth::put_word(b.data(), auth::kLoginOffMsgType, f.msg_type);
  auth::put_text(b.data(), auth::kLoginUser, f.user);
  auth::put_text(b.data(), auth::kLoginPassword, f.password);
  auth::put_text(b.data(), auth::kLoginExtraA, f.extra_a);
  auth::put_text(b.data(), auth::kLoginClientIp, f.client_ip);
  auth::put_text(b.data(), auth::kLoginClientMac, f.client_mac);
  auth::put_text(b.data(), auth::kLoginExtraB, f.extra_b);
  auth::put_word(b.data(), auth::kLoginOffExtraWord, f.extra_word);
  return b;
}

LoginFields client_at(const std::string& ip, const std::string& mac, const std::string& user,
                      const std::string& password) {
  LoginFields f;
  f.client_ip = ip;
  f.client_mac = mac;
  f.user = user;
  f.password = password;
  return f;
}

Kmsg decode_kmsg(const Bytes& b) {
  Kmsg m{};
  EXPECT_EQ(b.size(), size_t{KMSG_SIZE});
  if (b.size() < KMSG_SIZE) return m;
  auto word = [&](size_t off) {
    uint32_t v;
    std::memcpy(&v, &b[off], 4);
    return v;
  };
  m.nl_len = word(KMSG_OFF_NL_LEN);
  m.nl_pid = word(KMSG_OFF_NL_PID);
  m.length = word(KMSG_OFF_LENGTH);
  m.command = word(KMSG_OFF_COMMAND);
  m.addr = word(KMSG_OFF_ADDR);
  m.kind = word(KMSG_OFF_KIND);
  m.quota = word(KMSG_OFF_QUOTA);
  m.recheck = word(KMSG_OFF_RECHECK);
  std::memcpy(m.mac, &b[KMSG_OFF_MAC], 6);
  in_addr a{};
  a.s_addr = m.addr;
  m.addr_text = inet_ntoa(a);
  return m;
}

void DaemonTest::SetUp() {
  root_ = new TempRoot();
  setenv("PORTALD_ROOT", root_->dir().c_str(), 1);
  log_file_ = root_->dir() + "/events.log";
  setenv("PORTALD_LOG_FILE", log_file_.c_str(), 1);
  kernel_ = new FakeKernel(root_->dir() + "/kernel.sock");
  setenv("PORTALD_KERNEL_SOCKET", kernel_->path().c_str(), 1);
  core::g_settings = core::Settings{};
  core::g_settings.kernel_fd = core::create_kernel_channel();
  ASSERT_GE(core::g_settings.kernel_fd, 0);
}

void DaemonTest::TearDown() {
  close(core::g_settings.kernel_fd);
  delete kernel_;
  delete root_;
  unsetenv("PORTALD_ROOT");
  unsetenv("PORTALD_LOG_FILE");
  unsetenv("PORTALD_KERNEL_SOCKET");
}

int DaemonTest::login(const LoginFields& f) { return login_raw(login_request(f)); }

int DaemonTest::login_raw(const Bytes& request) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -2;
  Bytes buf(auth::kRecordSize, 0);
  if (!request.empty()) std::memcpy(buf.data(), request.data(), std::min(request.size(), buf.size()));
  // An e-mail login finishes once its mail check has run; it then closes sv[0] itself.
  if (auth::handle_login(sv[0], buf.data(), accounts_, online_)) {
    auth::await_mail_logins(accounts_, online_);
  } else {
    close(sv[0]);
  }
  unsigned char reply[auth::kRecordSize];
  const ssize_t n = recv(sv[1], reply, sizeof(reply), MSG_WAITALL);
  close(sv[1]);
  if (n <= 0) return -1;
  EXPECT_EQ(n, static_cast<ssize_t>(auth::kRecordSize));
  for (size_t i = 4; i < sizeof(reply); ++i) EXPECT_EQ(reply[i], 0) << "reply byte " << i;
  return static_cast<int>(auth::record_word(reply, 0));
}

void DaemonTest::control(const Bytes& request) {
  Bytes buf(auth::kRecordSize, 0);
  if (!request.empty()) std::memcpy(buf.data(), request.data(), std::min(request.size(), buf.size()));
  auth::handle_control(buf.data(), accounts_, online_);
}

void DaemonTest::event(const Bytes& ev) {
  Bytes buf(KMSG_SIZE, 0);
  if (!ev.empty()) std::memcpy(buf.data(), ev.data(), std::min(ev.size(), buf.size()));
  store::handle_kernel_event(buf.data(), accounts_, online_);
}

void DaemonTest::clear_log() const { std::ofstream(log_file_, std::ios::trunc); }

std::vector<Kmsg> DaemonTest::sent() {
  std::vector<Kmsg> out;
  for (const Bytes& b : kernel_->drain()) out.push_back(decode_kmsg(b));
  return out;
}

}  // namespace testing_support
