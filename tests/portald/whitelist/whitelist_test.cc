// The WeChat whitelist as the admission component sees it: the records that arrive at a fake
// kernel endpoint on the Kernel channel's AF_UNIX form, with a resolver of fixed answers.
#include "kernel/whitelist.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "portald_fixture.h"

namespace {

using testing_support::Bytes;
using testing_support::FakeKernel;
using testing_support::TempRoot;

void put16(Bytes* b, uint16_t v) {
  unsigned char raw[2];
  std::memcpy(raw, &v, 2);
  b->insert(b->end(), raw, raw + 2);
}

void put32(Bytes* b, uint32_t v) {
  unsigned char raw[4];
  std::memcpy(raw, &v, 4);
  b->insert(b->end(), raw, raw + 4);
}

uint32_t word_at(const Bytes& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, &b[off], 4);
  return v;
}

uint16_t half_at(const Bytes& b, size_t off) {
  uint16_t v;
  std::memcpy(&v, &b[off], 2);
  return v;
}

// DNS wire form the plain way: a length byte before every label, no root label.
Bytes wire(const std::string& name) {
  Bytes out;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<unsigned char>(dot - start));
    out.insert(out.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  return out;
}

// n labels of one character.
std::string labels(int n) {
  std::string s = "a";
  for (int i = 1; i < n; ++i) s += ".a";
  return s;
}

// A host name of n characters: labels of 63 characters and a shorter last one.
std::string long_name(size_t n) {
  std::string s(n, 'a');
  for (size_t i = 63; i < n; i += 64) s[i] = '.';
  return s;
}

uint32_t ip(const std::string& text) { return inet_addr(text.c_str()); }

std::string table_addr(size_t index) { return "10.0.0." + std::to_string(index + 1); }

// One whitelist record, taken apart; every fixed field is checked on the way.
struct Record {
  uint32_t type = 0;
  uint32_t subtype = 0;
  Bytes name;
  bool has_addr = false;
  uint32_t addr = 0;
};

Record decode(const Bytes& b) {
  Record r;
  EXPECT_GE(b.size(), 16u + WL_FAMILY_HDR_LEN);
  if (b.size() < 16 + WL_FAMILY_HDR_LEN) return r;
  EXPECT_EQ(word_at(b, 0), b.size()) << "netlink length is the datagram's length";
  EXPECT_EQ(half_at(b, 4), WL_NLMSG_TYPE);
  EXPECT_EQ(half_at(b, 6), 0);
  EXPECT_EQ(word_at(b, 8), 0u);
  EXPECT_EQ(word_at(b, 12), static_cast<uint32_t>(getpid()));
  r.type = word_at(b, 16 + WL_FAMILY_OFF_TYPE);
  r.subtype = word_at(b, 16 + WL_FAMILY_OFF_SUBTYPE);
  for (size_t i = 8; i < WL_FAMILY_HDR_LEN; ++i) {
    EXPECT_EQ(b[16 + i], i == WL_FAMILY_OFF_MARK ? WL_FAMILY_MARK : 0) << "family byte " << i;
  }
  size_t off = 16 + WL_FAMILY_HDR_LEN;
  int index = 0;
  while (off + 4 <= b.size()) {
    const uint16_t len = half_at(b, off);
    const uint16_t type = half_at(b, off + 2);
    EXPECT_GE(len, 4);
    EXPECT_LE(off + len, b.size());
    if (len < 4 || off + len > b.size()) return r;
    const Bytes data(b.begin() + off + 4, b.begin() + off + len);
    if (index == 0) {
      EXPECT_EQ(type, WL_ATTR_NAME);
      r.name = data;
    } else {
      EXPECT_EQ(index, 1);
      EXPECT_EQ(type, WL_ATTR_ADDR);
      EXPECT_EQ(data.size(), 4u);
      if (data.size() == 4) std::memcpy(&r.addr, data.data(), 4);
      r.has_addr = true;
    }
    const size_t padded = (len + 3u) & ~3u;
    for (size_t i = off + len; i < off + padded && i < b.size(); ++i) EXPECT_EQ(b[i], 0);
    off += padded;
    ++index;
  }
  EXPECT_EQ(off, b.size());
  return r;
}

// What a test expects to arrive, one row per record.
struct Want {
  uint32_t type;
  std::string name;
  std::string addr;  // empty for WL_NAME
};

Want name_rec(const std::string& name) { return {WL_NAME_TYPE, name, ""}; }
Want addr_rec(const std::string& name, const std::string& addr) { return {WL_ADDR_TYPE, name, addr}; }

void expect_records(const std::vector<Bytes>& got, const std::vector<Want>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i) + " " + want[i].name);
    const Record r = decode(got[i]);
    EXPECT_EQ(r.type, want[i].type);
    EXPECT_EQ(r.subtype, want[i].type == WL_NAME_TYPE ? WL_NAME_SUBTYPE : WL_ADDR_SUBTYPE);
    EXPECT_EQ(r.name, wire(want[i].name));
    EXPECT_EQ(r.has_addr, !want[i].addr.empty());
    if (!want[i].addr.empty()) {
      EXPECT_EQ(r.addr, ip(want[i].addr));
    }
  }
}

// Fixed answers for the resolver seam. answers[name][k] is the answer of the k-th call for
// the name (the last one repeats); an empty answer is a failure, an unknown name fails too.
// Names in slow block until released.
struct FakeDns {
  std::mutex mu;
  std::condition_variable cv;
  std::map<std::string, std::vector<std::vector<uint32_t>>> answers;
  std::map<std::string, int> calls;
  std::set<std::string> slow;
  bool released = false;
  std::vector<std::string> empty_answer;  // names that resolve to an empty list
};
FakeDns* g_dns = nullptr;

int fake_resolve(const char* name, std::vector<uint32_t>* addrs) {
  std::unique_lock<std::mutex> lock(g_dns->mu);
  const int call = g_dns->calls[name]++;
  if (g_dns->slow.count(name) != 0) {
    g_dns->cv.wait_for(lock, std::chrono::seconds(30), [] { return g_dns->released; });
    return -1;
  }
  for (const std::string& e : g_dns->empty_answer) {
    if (e == name && call == 0) return 0;
  }
  auto it = g_dns->answers.find(name);
  if (it == g_dns->answers.end() || it->second.empty()) return -1;
  const auto& list = it->second[std::min<size_t>(call, it->second.size() - 1)];
  if (list.empty()) return -1;
  *addrs = list;
  return 0;
}

// A fresh root, a fake kernel endpoint drained by a thread of its own (a datagram socket
// queues only a few datagrams, and the daemon's sends block when the queue is full), the
// Kernel channel in its AF_UNIX form, the fake resolver and cleared table flags.
class WhitelistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = new TempRoot;
    kernel_ = new FakeKernel(root_->dir() + "/kernel.sock");
    setenv("PORTALD_ROOT", root_->dir().c_str(), 1);
    setenv("PORTALD_KERNEL_SOCKET", kernel_->path().c_str(), 1);
    core::g_settings.kernel_fd = core::create_kernel_channel();
    ASSERT_GE(core::g_settings.kernel_fd, 0);
    g_dns = new FakeDns;
    previous_ = kernel::set_resolver(fake_resolve);
    for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
      h->resolved = 0;
    }
    start_collector();
  }

  void TearDown() override {
    release_slow();
    kernel::wait_abandoned_lookups();
    take();
    kernel::set_resolver(previous_);
    close(core::g_settings.kernel_fd);
    core::g_settings.kernel_fd = -1;
    delete g_dns;
    g_dns = nullptr;
    delete kernel_;
    delete root_;
    unsetenv("PORTALD_KERNEL_SOCKET");
    unsetenv("PORTALD_ROOT");
  }

  void start_collector() {
    stop_ = false;
    collector_ = std::thread([this] {
      while (!stop_) {
        std::vector<Bytes> got = kernel_->drain(20);
        std::lock_guard<std::mutex> lock(mu_);
        received_.insert(received_.end(), got.begin(), got.end());
      }
    });
  }

  // Everything that has arrived; every send of the daemon has returned before this is called.
  std::vector<Bytes> take() {
    if (collector_.joinable()) {
      stop_ = true;
      collector_.join();
    }
    std::vector<Bytes> got = kernel_->drain(0);
    received_.insert(received_.end(), got.begin(), got.end());
    std::vector<Bytes> all;
    all.swap(received_);
    return all;
  }

  void release_slow() {
    if (g_dns == nullptr) return;
    std::lock_guard<std::mutex> lock(g_dns->mu);
    g_dns->released = true;
    g_dns->cv.notify_all();
  }

  // Every built-in name answers with one address of its own, table_addr(index).
  std::vector<std::string> answer_all_table_names() {
    std::vector<std::string> names;
    for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
      g_dns->answers[h->name] = {{ip(table_addr(names.size()))}};
      names.push_back(h->name);
    }
    return names;
  }

  int total_calls() {
    std::lock_guard<std::mutex> lock(g_dns->mu);
    int n = 0;
    for (const auto& c : g_dns->calls) n += c.second;
    return n;
  }

  std::string dns_file() const { return root_->path(core::kWeixinDnsFile); }

  TempRoot* root_ = nullptr;
  FakeKernel* kernel_ = nullptr;
  kernel::Resolver previous_ = nullptr;
  std::thread collector_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Bytes> received_;
};

// --- name encoding ---------------------------------------------------------------------

TEST(WhitelistEncoding, AcceptedNamesGiveTheirWireForm) {
  struct Row {
    const char* situation;
    std::string name;
    std::string same_as;  // the name whose plain wire form it must give
  };
  const Row rows[] = {
      {"three labels", "weixin.qq.com", "weixin.qq.com"},
      {"trailing dot gives the same bytes", "weixin.qq.com.", "weixin.qq.com"},
      {"two labels", "qq.com", "qq.com"},
      {"three numbers are a name, not an address", "1.2.3", "1.2.3"},
      {"label of 63 characters", std::string(63, 'x') + ".com", std::string(63, 'x') + ".com"},
      {"63 labels", labels(63), labels(63)},
      {"63 labels and a trailing dot", labels(63) + ".", labels(63)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    std::vector<char> out(row.name.size() + 8, '\x5a');
    ASSERT_EQ(kernel::encode_dns_name(row.name.c_str(), out.data(), out.size()), 0);
    const Bytes want = wire(row.same_as);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + want.size()), want);
    EXPECT_EQ(out[want.size()], '\0') << "the wire form ends in a zero byte";
  }
}

TEST(WhitelistEncoding, RefusedNames) {
  struct Row {
    const char* situation;
    std::string name;
  };
  const Row rows[] = {
      {"empty", ""},
      {"single label", "localhost"},
      {"single label with trailing dot", "localhost."},
      {"dotted address", "10.1.2.3"},
      {"dotted address followed by labels", "1.2.3.4.example.com"},
      {"label of 64 characters", std::string(64, 'x') + ".com"},
      {"64 labels", labels(64)},
      {"empty label inside", "wx..qq.com"},
      {"leading dot", ".qq.com"},
      {"dot alone", "."},
      {"two trailing dots", "qq.com.."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    char out[1100];
    EXPECT_EQ(kernel::encode_dns_name(row.name.c_str(), out, sizeof out), -1);
  }
}

TEST(WhitelistEncoding, OutputBufferIsNeverOverrun) {
  const char* name = "wx.qq.com";  // wire form of 10 bytes and its zero
  for (size_t size : {size_t{11}, size_t{10}, size_t{0}}) {
    std::vector<char> out(16, '\x5a');
    const int rc = kernel::encode_dns_name(name, out.data(), size);
    EXPECT_EQ(rc, size == 11 ? 0 : -1) << size;
    for (size_t i = size; i < out.size(); ++i) EXPECT_EQ(out[i], '\x5a') << size << " at " << i;
  }
}

// --- the DNS file ----------------------------------------------------------------------

TEST_F(WhitelistTest, DnsFileLines) {
  struct Row {
    const char* situation;
    std::string content;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"single label, empty line and address skipped, later lines read",
       "localhost\n\n10.0.0.1\nwx.qq.com\n", {"wx.qq.com"}},
      {"trailing dot sends the same bytes", "wx.qq.com.\nwx.qq.com\n", {"wx.qq.com", "wx.qq.com"}},
      {"last line without line feed is not sent", "a.example.com\nb.example.com",
       {"a.example.com"}},
      {"line over 1022 characters ends the loading",
       "a.example.com\n" + long_name(1023) + "\nb.example.com\n", {"a.example.com"}},
      {"line of 1022 characters is too long for the record, next line read",
       long_name(1022) + "\nb.example.com\n", {"b.example.com"}},
      {"longest name that fills the record exactly", long_name(467) + "\n", {long_name(467)}},
      {"one character more is refused", long_name(468) + "\nb.example.com\n", {"b.example.com"}},
      {"empty file", "", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    {
      std::FILE* f = std::fopen(dns_file().c_str(), "w");
      ASSERT_NE(f, nullptr);
      std::fwrite(row.content.data(), 1, row.content.size(), f);
      std::fclose(f);
    }
    EXPECT_EQ(kernel::load_dns_file(dns_file().c_str()), static_cast<int>(row.sent.size()));
    std::vector<Want> want;
    for (const std::string& n : row.sent) want.push_back(name_rec(n));
    expect_records(take(), want);
    start_collector();
  }
}

TEST_F(WhitelistTest, LongestNameRecordFillsItsBufferExactly) {
  root_->write(core::kWeixinDnsFile, long_name(467) + "\n");
  kernel::load_dns_file(dns_file().c_str());
  const std::vector<Bytes> got = take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 516u);
}

TEST_F(WhitelistTest, MissingDnsFileSendsNothing) {
  EXPECT_EQ(kernel::load_dns_file(dns_file().c_str()), -1);
  EXPECT_TRUE(take().empty());
}

// A writer in another process holds an exclusive lock while it rewrites the file; the load
// must wait for it and so read what the writer left, not what was there before.
TEST_F(WhitelistTest, LoadWaitsForAWriterHoldingTheLock) {
  root_->write(core::kWeixinDnsFile, "before.example.com\n");
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
    if (fd < 0 || fcntl(fd, F_SETLKW, &lk) != 0) _exit(2);
    if (write(ready[1], "L", 1) != 1) _exit(3);
    usleep(400 * 1000);
    const char text[] = "after.example.com\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, sizeof text - 1, 0) != sizeof text - 1) {
      _exit(4);
    }
    lk.l_type = F_UNLCK;
    fcntl(fd, F_SETLK, &lk);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(kernel::load_dns_file(path.c_str()), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  close(ready[1]);
  expect_records(take(), {name_rec("after.example.com")});
}

// --- the host table ----------------------------------------------------------------------

TEST_F(WhitelistTest, BuiltInTableHasThirteenAcceptedNames) {
  int n = 0;
  for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
    char out[516];
    EXPECT_EQ(kernel::encode_dns_name(h->name, out, sizeof out), 0) << h->name;
    ++n;
  }
  EXPECT_EQ(n, 13);
}

TEST_F(WhitelistTest, NameWithThreeAddressesByteForByte) {
  kernel::WeixinHost table[] = {{"wx.qq.com", 0}, {nullptr, 0}};
  g_dns->answers["wx.qq.com"] = {{ip("10.0.0.1"), ip("10.0.0.2"), ip("192.168.7.9")}};
  EXPECT_EQ(kernel::walk_host_table(table), 1);
  EXPECT_EQ(table[0].resolved, 1);

  auto head = [](uint32_t len, uint32_t type, uint32_t subtype) {
    Bytes b;
    put32(&b, len);
    put16(&b, 28);
    put16(&b, 0);
    put32(&b, 0);
    put32(&b, static_cast<uint32_t>(getpid()));
    put32(&b, type);
    put32(&b, subtype);
    const unsigned char rest[20] = {0, 0, 0, 0, 6};
    b.insert(b.end(), rest, rest + sizeof rest);
    const unsigned char name_attr[] = {14, 0, 8, 0, 2, 'w', 'x', 2, 'q', 'q', 3, 'c', 'o', 'm', 0, 0};
    b.insert(b.end(), name_attr, name_attr + sizeof name_attr);
    return b;
  };
  std::vector<Bytes> want = {head(60, 1, 11)};
  for (const Bytes& addr : {Bytes{10, 0, 0, 1}, Bytes{10, 0, 0, 2}, Bytes{192, 168, 7, 9}}) {
    Bytes b = head(68, 4, 13);
    const unsigned char attr_head[] = {8, 0, 1, 0};
    b.insert(b.end(), attr_head, attr_head + 4);
    b.insert(b.end(), addr.begin(), addr.end());
    want.push_back(b);
  }
  EXPECT_EQ(take(), want);
}

TEST_F(WhitelistTest, AllNamesResolvingAtOnceMakeNoRetry) {
  const std::vector<std::string> names = answer_all_table_names();
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 13);
  EXPECT_EQ(total_calls(), 13);
  std::vector<Want> want;
  for (size_t i = 0; i < names.size(); ++i) {
    want.push_back(name_rec(names[i]));
    want.push_back(addr_rec(names[i], table_addr(i)));
  }
  expect_records(take(), want);
  for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
    EXPECT_EQ(h->resolved, 1) << h->name;
  }
}

// A name that fails, and one whose first answer holds no address, both resolve in the retry
// pass: each gets one WL_NAME in the first pass and its WL_ADDR after the whole first pass.
TEST_F(WhitelistTest, NamesResolvingOnlyInTheRetryPass) {
  const std::vector<std::string> names = answer_all_table_names();
  const std::string failing = names[1];
  const std::string empty = names[4];
  g_dns->answers[failing] = {{}, {ip("172.16.0.1")}};
  g_dns->answers[empty] = {{ip("172.16.0.2")}};
  g_dns->empty_answer = {empty};

  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 13);
  EXPECT_EQ(total_calls(), 15);
  std::vector<Want> want;
  for (size_t i = 0; i < names.size(); ++i) {
    want.push_back(name_rec(names[i]));
    if (names[i] != failing && names[i] != empty) want.push_back(addr_rec(names[i], table_addr(i)));
  }
  want.push_back(addr_rec(failing, "172.16.0.1"));
  want.push_back(addr_rec(empty, "172.16.0.2"));
  expect_records(take(), want);
}

TEST_F(WhitelistTest, NamesFailingTwiceStayUnresolved) {
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 0);
  EXPECT_EQ(total_calls(), 26) << "one retry pass, no more";
  std::vector<Want> want;
  for (kernel::WeixinHost* h = kernel::weixin_hosts(); h->name != nullptr; ++h) {
    want.push_back(name_rec(h->name));
    EXPECT_EQ(h->resolved, 0);
  }
  expect_records(take(), want);
}

// A name whose lookup never answers must not hold the walk beyond its budget; the names that
// answer are still sent, and the late name stays unresolved even once its lookup returns.
TEST_F(WhitelistTest, SlowResolverIsBoundedByTheBudget) {
  const std::vector<std::string> names = answer_all_table_names();
  g_dns->slow = {names[0]};

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kernel::walk_host_table(kernel::weixin_hosts()), 12);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(kernel::kResolveBudgetMs + 2000));
  EXPECT_EQ(total_calls(), 13) << "no retry once the budget is spent";

  release_slow();
  kernel::wait_abandoned_lookups();
  EXPECT_EQ(kernel::weixin_hosts()[0].resolved, 0);

  std::vector<Want> want = {name_rec(names[0])};
  for (size_t i = 1; i < names.size(); ++i) {
    want.push_back(name_rec(names[i]));
    want.push_back(addr_rec(names[i], table_addr(i)));
  }
  expect_records(take(), want);
}

TEST_F(WhitelistTest, StartUpSendsTheDnsFileBeforeTheTable) {
  const std::vector<std::string> names = answer_all_table_names();
  root_->write(core::kWeixinDnsFile, "pay.example.com\nlocalhost\n");
  kernel::load_weixin_whitelist();
  const std::vector<Bytes> got = take();
  ASSERT_EQ(got.size(), 1u + 2 * names.size());
  EXPECT_EQ(decode(got[0]).name, wire("pay.example.com"));
  EXPECT_EQ(decode(got[1]).name, wire(names[0]));
  EXPECT_EQ(decode(got[1]).type, static_cast<uint32_t>(WL_NAME_TYPE));
}

TEST(WhitelistSystemResolver, NumericNameNeedsNoNameServer) {
  std::vector<uint32_t> addrs;
  ASSERT_EQ(kernel::system_resolve("192.0.2.17", &addrs), 0);
  EXPECT_EQ(addrs, std::vector<uint32_t>{inet_addr("192.0.2.17")});
}

}  // namespace
