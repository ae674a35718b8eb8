// Load: 50 clients connect to the login socket at once. Some write nothing, some half a
// request and vanish, some garbage, some a whole request (a part of those vanish before the
// reply). Every whole request is answered, silent connections are closed by the daemon, the
// daemon stays up, and its open descriptors return to their idle number.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "auth/requests.h"
#include "rig.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
enum Role { kSilent, kHalf, kGarbage, kWhole, kWholeThenGone, kRoles };

struct Outcome {
  int reply = -9;          // kWhole: the result word
  bool closed = false;     // kSilent, kGarbage: the daemon closed the connection
  size_t bytes = 0;        // kGarbage: bytes received before the close
};

// Waits up to ms for the daemon to close fd; the bytes it sent meanwhile go to *bytes.
bool wait_closed(int fd, int ms, size_t* bytes) {
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < give_up) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return true;
    *bytes += static_cast<size_t>(n);
  }
  return false;
}

void client(const soak::Rig& rig, int i, std::atomic<int>* ready, Outcome* out) {
  const Role role = static_cast<Role>(i % kRoles);
  const std::string ip = "10.3.0." + std::to_string(i + 1);
  testing_support::Bytes req =
      testing_support::login_request(testing_support::client_at(ip, "02:00:00:03:00:01"));
  ready->fetch_add(1);
  while (ready->load() < kClients) std::this_thread::yield();

  if (role == kWhole) {
    out->reply = rig.login(testing_support::client_at(ip, "02:00:00:03:00:01"), 20000);
    return;
  }
  const int fd = rig.connect_login();
  if (fd < 0) return;
  switch (role) {
    case kSilent:
      out->closed = wait_closed(fd, 15000, &out->bytes);
      break;
    case kHalf:
      send(fd, req.data(), req.size() / 2, MSG_NOSIGNAL);
      break;
    case kGarbage:
      for (size_t k = 0; k < req.size(); ++k) req[k] = static_cast<unsigned char>(k * 37 + i);
      req[0] = 0x5a;  // not a login request
      send(fd, req.data(), req.size(), MSG_NOSIGNAL);
      out->closed = wait_closed(fd, 15000, &out->bytes);
      break;
    case kWholeThenGone:
      send(fd, req.data(), req.size(), MSG_NOSIGNAL);
      break;
    default:
      break;
  }
  close(fd);
}

TEST(Load, FiftyClientsAtOnce) {
  soak::Rig rig(std::map<std::string, std::string>{{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(rig.start());
  // One login first, so that everything the daemon opens once is open; its connection
  // counts as idle once the daemon has closed it.
  {
    const int fd = rig.connect_login();
    ASSERT_GE(fd, 0);
    const testing_support::Bytes req = testing_support::login_request(
        testing_support::client_at("10.3.1.1", "02:00:00:03:01:01"));
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    size_t replied = 0;
    EXPECT_TRUE(wait_closed(fd, 5000, &replied));
    EXPECT_EQ(replied, auth::kRecordSize);
    close(fd);
  }
  const int idle_fds = rig.open_fds();
  ASSERT_GT(idle_fds, 0);

  std::vector<Outcome> outcomes(kClients);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int i = 0; i < kClients; ++i) threads.emplace_back(client, std::cref(rig), i, &ready, &outcomes[i]);
  for (std::thread& t : threads) t.join();

  for (int i = 0; i < kClients; ++i) {
    const Outcome& o = outcomes[i];
    switch (i % kRoles) {
      case kWhole:
        EXPECT_EQ(o.reply, auth::LOGIN_OK) << "client " << i;
        break;
      case kSilent:
        EXPECT_TRUE(o.closed) << "client " << i << " was never closed";
        EXPECT_EQ(o.bytes, 0u) << "client " << i;
        break;
      case kGarbage:
        EXPECT_TRUE(o.closed) << "client " << i;
        EXPECT_EQ(o.bytes, 0u) << "client " << i << " got a reply to garbage";
        break;
      default:
        break;
    }
  }
  ASSERT_TRUE(rig.daemon_running());
  // Still serving, and back to its idle descriptors once the vanished peers are closed.
  EXPECT_EQ(rig.login(testing_support::client_at("10.3.1.2", "02:00:00:03:01:02")), 1);
  int fds = rig.open_fds();
  for (int tries = 0; tries < 100 && fds != idle_fds; ++tries) {
    usleep(100000);
    fds = rig.open_fds();
  }
  EXPECT_EQ(fds, idle_fds);
  std::printf("load: %d clients at once; %d descriptors open when idle, %d afterwards\n",
              kClients, idle_fds, fds);
}

}  // namespace
