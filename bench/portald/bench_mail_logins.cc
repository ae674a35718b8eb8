// bench_mail_logins: how long a burst of e-mail logins takes when each mail check takes a
// fixed time at the server, with 1 and with 4 checks running at once.
//
// The daemon's own code runs in this process: the login front-end hands each check to the
// worker pool and the loop's part finishes each login when its check ends, exactly as in the
// daemon's main loop. The mail server is a scripted IMAP server on loopback that waits half
// the delay before its greeting and half before its answer; the Kernel channel goes to a
// socket of this program that is drained as it fills. Each worker count runs in a child
// process of its own, since the pool is made once per process.
//
//   bench_mail_logins [--logins N] [--delay-ms D]     (defaults: 20 logins, 1000 ms)
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/login.h"
#include "auth/requests.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "mail/check_budget.h"
#include "mail/mail_check.h"
#include "mail_peer.h"
#include "store/user_table.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* why) {
  std::fprintf(stderr, "bench_mail_logins: %s\n", why);
  std::exit(1);
}

// The seconds that `logins` e-mail logins take with `workers` checks at once.
double run(int workers, int logins, int delay_ms) {
  char templ[] = "/tmp/bench-mail-XXXXXX";
  if (mkdtemp(templ) == nullptr) die("mkdtemp failed");
  const std::string root = templ;
  for (const char* sub : {"/tmp", "/disk/conf", "/etc", "/var/http"}) {
    std::filesystem::create_directories(root + sub);
  }
  std::ofstream(root + "/nvram.conf") << "WEBAUTH_E_PRO=imap\n";
  setenv("NVRAM_FILE", (root + "/nvram.conf").c_str(), 1);
  setenv("PORTALD_ROOT", root.c_str(), 1);
  setenv("PORTALD_LOG_FILE", (root + "/events.log").c_str(), 1);

  // The kernel's end of the Kernel channel, drained on a thread of its own.
  const std::string kernel_path = root + "/kernel.sock";
  const int kernel = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, kernel_path.c_str(), sizeof(a.sun_path) - 1);
  if (bind(kernel, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("kernel socket");
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    char buf[512];
    while (!stop) {
      pollfd p{kernel, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) recv(kernel, buf, sizeof buf, 0);
    }
  });
  setenv("PORTALD_KERNEL_SOCKET", kernel_path.c_str(), 1);
  core::g_settings.kernel_fd = core::create_kernel_channel();
  if (core::g_settings.kernel_fd < 0) die("Kernel channel");

  mailtest::PeerScript script;
  script.greeting = "* OK ready\r\n";
  script.answer = mailtest::replies({"C1 OK in\r\n"});
  script.delay_ms = delay_ms / 2;
  mailtest::MailPeer peer(script);
  core::g_settings.auth_type = core::AUTH_EMAIL;
  std::snprintf(core::g_settings.mail_server, sizeof core::g_settings.mail_server, "127.0.0.1");
  core::g_settings.mail_port = static_cast<int32_t>(peer.port());
  mail::tls_init();
  mail::CheckLimits limits;
  limits.workers = workers;
  mail::set_check_limits(limits);

  store::UserTable accounts;
  store::UserTable online;
  std::vector<int> clients;
  const auto start = Clock::now();
  for (int i = 0; i < logins; ++i) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) die("socketpair");
    unsigned char request[auth::kRecordSize] = {};
    request[0] = auth::LOGIN_REQUEST_TYPE;
    auth::put_text(request, auth::kLoginUser, "user" + std::to_string(i));
    auth::put_text(request, auth::kLoginPassword, "pw");
    auth::put_text(request, auth::kLoginClientIp, "10.5." + std::to_string(i / 250) + "." +
                                                std::to_string(i % 250 + 1));
    auth::put_text(request, auth::kLoginClientMac, "02:00:00:00:00:01");
    if (!auth::handle_login(sv[0], request, accounts, online)) close(sv[0]);
    clients.push_back(sv[1]);
  }
  auth::await_mail_logins(accounts, online);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int admitted = 0;
  for (int fd : clients) {
    unsigned char reply[auth::kRecordSize];
    if (recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply &&
        auth::record_word(reply, 0) == auth::LOGIN_OK) {
      ++admitted;
    }
    close(fd);
  }
  if (admitted != logins) die("not every login was admitted");
  stop = true;
  drain.join();
  std::filesystem::remove_all(root);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int logins = 20;
  int delay_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--logins" && i + 1 < argc) {
      logins = std::atoi(argv[++i]);
    } else if (arg == "--delay-ms" && i + 1 < argc) {
      delay_ms = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_mail_logins [--logins N] [--delay-ms D]\n");
      return arg == "--help" ? 0 : 2;
    }
  }
  if (logins < 1 || logins > 60000 || delay_ms < 0) die("bad --logins or --delay-ms");
  std::printf("%d e-mail logins, each check %d ms at the server\n", logins, delay_ms);
  for (const int workers : {1, 4}) {
    std::fflush(stdout);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) die("pipe");
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
      const double s = run(workers, logins, delay_ms);
      if (write(pipe_fds[1], &s, sizeof s) != sizeof s) _exit(1);
      _exit(0);
    }
    close(pipe_fds[1]);
    double seconds = -1;
    const bool got = read(pipe_fds[0], &seconds, sizeof seconds) == sizeof seconds;
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!got || status != 0) die("a run failed");
    std::printf("  %d worker%s: %.2f s in all, %.1f logins/s\n", workers, workers == 1 ? " " : "s",
                seconds, logins / seconds);
  }
  return 0;
}
