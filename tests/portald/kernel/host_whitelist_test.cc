// The WeChat host whitelist as the admission component sees it: the datagrams that arrive at a
// fake kernel endpoint on the Kernel channel's AF_UNIX form, with a resolver of fixed answers.
#include "kernel/host_whitelist.h"
#include "kernel/resolve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "portald_fixture.h"

namespace {

using testing_support::Bytes;
using testing_support::FakeKernel;
using testing_support::TempRoot;

// A field of 2 or 4 bytes in host byte order, as netlink has it.
void put(Bytes* b, uint32_t v, size_t width) {
  unsigned char raw[4];
  const uint16_t half = static_cast<uint16_t>(v);
  std::memcpy(raw, width == 2 ? static_cast<const void*>(&half) : &v, width);
  b->insert(b->end(), raw, raw + width);
}

// DNS wire form the plain way: a length byte before every label, no root label.
Bytes wire(const std::string& name) {
  Bytes out;
  for (size_t start = 0; start < name.size();) {
    const size_t dot = std::min(name.find('.', start), name.size());
    out.push_back(static_cast<unsigned char>(dot - start));
    out.insert(out.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  return out;
}

std::string labels(int n) {  // n labels of one character
  std::string s = "a";
  for (int i = 1; i < n; ++i) s += ".a";
  return s;
}

std::string long_name(size_t n) {  // n characters: labels of 63 and a shorter last one
  std::string s(n, 'a');
  for (size_t i = 63; i < n; i += 64) s[i] = '.';
  return s;
}

uint32_t ip(const std::string& text) { return inet_addr(text.c_str()); }
std::string table_addr(size_t index) { return "10.0.0." + std::to_string(index + 1); }

void put_attr(Bytes* b, uint16_t type, const Bytes& data) {
  put(b, static_cast<uint32_t>(4 + data.size()), 2);
  put(b, type, 2);
  b->insert(b->end(), data.begin(), data.end());
  b->resize((b->size() + 3) & ~size_t{3}, 0);
}

// A whole record as it must arrive; addr empty for WL_NAME.
Bytes record(const std::string& name, const std::string& addr = "") {
  Bytes attrs;
  put_attr(&attrs, 8, wire(name));
  if (!addr.empty()) {
    const uint32_t a = ip(addr);
    put_attr(&attrs, 1, Bytes(reinterpret_cast<const unsigned char*>(&a),
                              reinterpret_cast<const unsigned char*>(&a) + 4));
  }
  Bytes b;
  put(&b, static_cast<uint32_t>(16 + 28 + attrs.size()), 4);
  put(&b, 28, 2);  // message type
  put(&b, 0, 2);   // flags
  put(&b, 0, 4);   // sequence
  put(&b, static_cast<uint32_t>(getpid()), 4);
  put(&b, addr.empty() ? 1 : 4, 4);
  put(&b, addr.empty() ? 11 : 13, 4);
  const Bytes rest = {0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), rest.begin(), rest.end());
  b.insert(b.end(), attrs.begin(), attrs.end());
  return b;
}

// Fixed answers: answers[name][k] answers the k-th call (the last one repeats); rc -1 is a
// failure, as is a name without answers. A slow name blocks until released.
struct Answer {
  int rc;
  std::vector<uint32_t> addrs;
};
struct FakeDns {
  std::mutex mu;
  std::condition_variable cv;
  std::map<std::string, std::vector<Answer>> answers;
  std::map<std::string, int> calls;
  std::string slow;
  bool released = false;
};
FakeDns* g_dns = nullptr;

int fake_resolve(const char* name, std::vector<uint32_t>* addrs) {
  std::unique_lock<std::mutex> lock(g_dns->mu);
  const int call = g_dns->calls[name]++;
  if (g_dns->slow == name) {
    g_dns->cv.wait_for(lock, std::chrono::seconds(30), [] { return g_dns->released; });
    return -1;
  }
  const std::vector<Answer>& list = g_dns->answers[name];
  if (list.empty()) return -1;
  const Answer& a = list[std::min<size_t>(call, list.size() - 1)];
  *addrs = a.addrs;
  return a.rc;
}

// A fresh root, the Kernel channel towards a fake endpoint that a thread of its own drains
// (a datagram socket queues only a few datagrams, and the daemon's sends block when the
// queue is full), the fake resolver and cleared table flags.
class WhitelistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PORTALD_ROOT", root_.dir().c_str(), 1);
    setenv("PORTALD_KERNEL_SOCKET", kernel_.path().c_str(), 1);
    core::g_settings.kernel_fd = core::create_kernel_channel();
    ASSERT_GE(core::g_settings.kernel_fd, 0);
    g_dns = new FakeDns;
    previous_ = kernel::set_resolver(fake_resolve);
    for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
      names_.push_back(h->name);
      h->resolved = 0;
    }
    collector_ = std::thread([this] {
      while (!stop_) {
        std::vector<Bytes> got = kernel_.drain(20);
        received_.insert(received_.end(), got.begin(), got.end());
      }
    });
  }

  void TearDown() override {
    release_slow();
    kernel::wait_abandoned_lookups();
    take();
    kernel::set_resolver(previous_);
    close(core::g_settings.kernel_fd);
    core::g_settings.kernel_fd = -1;
    delete g_dns;
    unsetenv("PORTALD_KERNEL_SOCKET");
    unsetenv("PORTALD_ROOT");
  }

  // Everything that has arrived; called once every send of the daemon has returned.
  std::vector<Bytes> take() {
    if (collector_.joinable()) {
      stop_ = true;
      collector_.join();
    }
    std::vector<Bytes> got = kernel_.drain(0);
    received_.insert(received_.end(), got.begin(), got.end());
    return received_;
  }

  void release_slow() {
    std::lock_guard<std::mutex> lock(g_dns->mu);
    g_dns->released = true;
    g_dns->cv.notify_all();
  }

  void answer_all_table_names() {
    for (size_t i = 0; i < names_.size(); ++i) g_dns->answers[names_[i]] = {{0, {ip(table_addr(i))}}};
  }

  int total_calls() {
    std::lock_guard<std::mutex> lock(g_dns->mu);
    int n = 0;
    for (const auto& c : g_dns->calls) n += c.second;
    return n;
  }

  std::string dns_file() const { return root_.path(core::kWeixinDnsFile); }

  TempRoot root_;
  FakeKernel kernel_{root_.dir() + "/kernel.sock"};
  kernel::Resolver previous_ = nullptr;
  std::vector<std::string> names_;  // of the built-in table
  std::thread collector_;
  std::atomic<bool> stop_{false};
  std::vector<Bytes> received_;  // the collector's until it is joined
};

TEST(WhitelistEncoding, AcceptedAndRefusedNames) {
  struct Row {
    const char* situation;
    std::string name;
    std::string same_as;  // the name whose plain wire form it gives; empty: refused
  };
  const Row rows[] = {
      {"three labels", "weixin.qq.com", "weixin.qq.com"},
      {"trailing dot gives the same bytes", "weixin.qq.com.", "weixin.qq.com"},
      {"three numbers are a name", "1.2.3", "1.2.3"},
      {"label of 63 characters", std::string(63, 'x') + ".com", std::string(63, 'x') + ".com"},
      {"63 labels", labels(63), labels(63)},
      {"63 labels and a trailing dot", labels(63) + ".", labels(63)},
      {"empty", "", ""},
      {"single label", "localhost", ""},
      {"single label with trailing dot", "localhost.", ""},
      {"dotted address", "10.1.2.3", ""},
      {"dotted address followed by labels", "1.2.3.4.example.com", ""},
      {"label of 64 characters", std::string(64, 'x') + ".com", ""},
      {"64 labels", labels(64), ""},
      {"empty label inside", "wx..qq.com", ""},
      {"leading dot", ".qq.com", ""},
      {"two trailing dots", "qq.com..", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    std::vector<char> out(row.name.size() + 8, '\x5a');
    const int rc = kernel::encode_dns_name(row.name.c_str(), out.data(), out.size());
    ASSERT_EQ(rc, row.same_as.empty() ? -1 : 0);
    if (rc != 0) continue;
    const Bytes want = wire(row.same_as);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + want.size()), want);
    EXPECT_EQ(out[want.size()], '\0') << "the wire form ends in a zero byte";
  }
}

TEST(WhitelistEncoding, OutputBufferIsNeverOverrun) {
  for (size_t size : {size_t{11}, size_t{10}, size_t{0}}) {  // "wx.qq.com" needs 10 and a zero
    std::vector<char> out(16, '\x5a');
    EXPECT_EQ(kernel::encode_dns_name("wx.qq.com", out.data(), size), size == 11 ? 0 : -1);
    for (size_t i = size; i < out.size(); ++i) EXPECT_EQ(out[i], '\x5a') << size << " at " << i;
  }
}

TEST_F(WhitelistTest, DnsFileLines) {
  struct Row {
    const char* situation;
    std::string content;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"single label, empty line and address skipped, later lines read",
       "localhost\n\n10.0.0.1\nwx.qq.com\n", {"wx.qq.com"}},
      {"trailing dot sends the same bytes", "wx.qq.com.\n", {"wx.qq.com"}},
      {"last line without line feed is not sent", "a.example.com\nb.example.com", {"a.example.com"}},
      {"line over 1022 characters ends the loading",
       "a.example.com\n" + long_name(1023) + "\nb.example.com\n", {"a.example.com"}},
      {"line of 1022 characters is too long for the record, next line read",
       long_name(1022) + "\nb.example.com\n", {"b.example.com"}},
      {"longest name fills the 516-byte record", long_name(467) + "\n", {long_name(467)}},
      {"one character more is refused", long_name(468) + "\nb.example.com\n", {"b.example.com"}},
  };
  std::vector<Bytes> want;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    root_.write(core::kWeixinDnsFile, row.content);
    EXPECT_EQ(kernel::load_dns_file(dns_file().c_str()), static_cast<int>(row.sent.size()));
    for (const std::string& n : row.sent) want.push_back(record(n));
  }
  EXPECT_EQ(kernel::load_dns_file((dns_file() + ".missing").c_str()), -1);
  EXPECT_EQ(take(), want);
  EXPECT_EQ(want[5].size(), 516u);
}

// A writer in another process holds an exclusive lock while it rewrites the file; the load
// must wait for it and so read what the writer left, not what was there before.
TEST_F(WhitelistTest, LoadWaitsForAWriterHoldingTheLock) {
  root_.write(core::kWeixinDnsFile, "before.example.com\n");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const std::string path = dns_file();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &lk) != 0 || write(ready[1], "L", 1) != 1) _exit(2);
    usleep(400 * 1000);
    const char text[] = "after.example.com\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, sizeof text - 1, 0) != sizeof text - 1) _exit(3);
    _exit(0);  // the lock goes with the process
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(kernel::load_dns_file(path.c_str()), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(take(), std::vector<Bytes>{record("after.example.com")});
}

TEST_F(WhitelistTest, NameWithThreeAddressesByteForByte) {
  kernel::WeixinHost table[] = {{"wx.qq.com", 0}, {nullptr, 0}};
  g_dns->answers["wx.qq.com"] = {{0, {ip("10.0.0.1"), ip("10.0.0.2"), ip("192.168.7.9")}}};
  EXPECT_EQ(kernel::walk_host_table(table), 1);
  EXPECT_EQ(table[0].resolved, 1);

  auto head = [](unsigned char len, unsigned char type, unsigned char subtype) {
    Bytes b = {len, 0, 0, 0, 28, 0, 0, 0, 0, 0, 0, 0};
    put(&b, static_cast<uint32_t>(getpid()), 4);
    const Bytes family = {type, 0, 0, 0, subtype, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0,
                          14, 0, 8, 0, 2, 'w', 'x', 2, 'q', 'q', 3, 'c', 'o', 'm', 0, 0};
    b.insert(b.end(), family.begin(), family.end());
    return b;
  };
  std::vector<Bytes> want = {head(60, 1, 11)};
  for (const Bytes& addr : {Bytes{10, 0, 0, 1}, Bytes{10, 0, 0, 2}, Bytes{192, 168, 7, 9}}) {
    Bytes b = head(68, 4, 13);
    b.insert(b.end(), {8, 0, 1, 0});
    b.insert(b.end(), addr.begin(), addr.end());
    want.push_back(b);
  }
  if (htonl(1) == 1) GTEST_SKIP() << "literal bytes are those of a little-endian host";
  EXPECT_EQ(take(), want);
}

TEST_F(WhitelistTest, AllThirteenResolvingAtOnceMakeNoRetry) {
  answer_all_table_names();
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 13);
  EXPECT_EQ(total_calls(), 13);
  std::vector<Bytes> want;
  for (size_t i = 0; i < names_.size(); ++i) {
    want.push_back(record(names_[i]));
    want.push_back(record(names_[i], table_addr(i)));
    EXPECT_EQ(kernel::weixin_hosts()[i].resolved, 1);
  }
  EXPECT_EQ(names_.size(), 13u);
  EXPECT_EQ(take(), want);
}

// A name that fails and one whose first answer holds no address both resolve in the retry
// pass: one WL_NAME each in the first pass, their WL_ADDR after the whole first pass.
TEST_F(WhitelistTest, NamesResolvingOnlyInTheRetryPass) {
  answer_all_table_names();
  g_dns->answers[names_[1]] = {{-1, {}}, {0, {ip("172.16.0.1")}}};
  g_dns->answers[names_[4]] = {{0, {}}, {0, {ip("172.16.0.2")}}};
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 13);
  EXPECT_EQ(total_calls(), 15);
  std::vector<Bytes> want;
  for (size_t i = 0; i < names_.size(); ++i) {
    want.push_back(record(names_[i]));
    if (i != 1 && i != 4) want.push_back(record(names_[i], table_addr(i)));
  }
  want.push_back(record(names_[1], "172.16.0.1"));
  want.push_back(record(names_[4], "172.16.0.2"));
  EXPECT_EQ(take(), want);
}

TEST_F(WhitelistTest, NamesFailingTwiceStayUnresolved) {
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 0);
  EXPECT_EQ(total_calls(), 26) << "one retry pass, no more";
  std::vector<Bytes> want;
  for (size_t i = 0; i < names_.size(); ++i) {
    want.push_back(record(names_[i]));
    EXPECT_EQ(kernel::weixin_hosts()[i].resolved, 0);
  }
  EXPECT_EQ(take(), want);
}

// A lookup that never answers must not hold the walk beyond its budget; the names that
// answer are still sent, and the late name stays unresolved even once its lookup returns.
TEST_F(WhitelistTest, SlowResolverIsBoundedByTheBudget) {
  answer_all_table_names();
  g_dns->slow = names_[0];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 12);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kernel::kResolveBudgetMs + 2000));
  EXPECT_EQ(total_calls(), 13) << "no retry once the budget is spent";
  release_slow();
  kernel::wait_abandoned_lookups();
  EXPECT_EQ(kernel::weixin_hosts()[0].resolved, 0);

  std::vector<Bytes> want = {record(names_[0])};
  for (size_t i = 1; i < names_.size(); ++i) {
    want.push_back(record(names_[i]));
    want.push_back(record(names_[i], table_addr(i)));
  }
  EXPECT_EQ(take(), want);
}

TEST_F(WhitelistTest, StartUpSendsTheDnsFileBeforeTheTable) {
  answer_all_table_names();
  root_.write(core::kWeixinDnsFile, "pay.example.com\nlocalhost\n");
  kernel::load_weixin_whitelist();
  const std::vector<Bytes> got = take();
  ASSERT_EQ(got.size(), 1 + 2 * names_.size());
  EXPECT_EQ(got[0], record("pay.example.com"));
  EXPECT_EQ(got[1], record(names_[0]));
}

}  // namespace
