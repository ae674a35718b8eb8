// qarn-replay on small captures written by the tests: the marks of every connection, the
// per-packet JSON, List files, link types and capture formats, and bad arguments.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "packets.h"

namespace {

using packets::Bytes;
using packets::Icmp;
using packets::Ip;
using packets::Text;
using packets::Udp;

constexpr uint32_t kLan = Ip(192, 168, 1, 10);
constexpr uint32_t kWan = Ip(100, 100, 7, 7);

struct Packet {
  uint64_t ts_usec;
  Bytes ip;
};

Bytes Tcp(uint32_t s, uint32_t d, uint16_t sp, uint16_t dp, const std::string& payload = "") {
  return packets::Tcp(s, d, sp, dp, Text(payload));
}

// A web connection's first four packets, a conference packet, a framed message and a ping.
std::vector<Packet> Sample() {
  return {
      {1000000, Tcp(kLan, kWan, 40000, 80)},
      {1010000, Tcp(kWan, kLan, 80, 40000)},
      {1020000, Tcp(kLan, kWan, 40000, 80, "GET / HTTP/1.1\r\n\r\n")},
      {1030000, Tcp(kWan, kLan, 80, 40000)},
      {1040000, Udp(kLan, kWan, 5555, 9000, Text("facemeetingv2.1#hello"))},
      {1050000, Udp(kLan, kWan, 5556, 8000, {0x02, 'h', 'i', 0x03})},
      {1060000, Icmp(kLan, kWan)},
  };
}

struct Outcome {
  int status;
  std::string out, err;
};

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qarn-replay-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  std::string WritePcap(const std::string& name, const std::vector<Packet>& pkts,
                        int link = PCAPW_LINK_ETHERNET, uint32_t snaplen = 0) {
    std::string path = Path(name);
    struct pcapw* w = pcapw_open(path.c_str(), link, snaplen);
    EXPECT_NE(w, nullptr);
    for (const Packet& p : pkts) EXPECT_EQ(pcapw_write_ip(w, p.ts_usec, p.ip.data(), p.ip.size()), 0);
    EXPECT_EQ(pcapw_close(w), 0);
    return path;
  }

  // The same packets behind a Linux cooked header, version 1 (link type 113) or 2 (276).
  std::string WriteCooked(const std::string& name, const std::vector<Packet>& pkts, bool v2) {
    std::string path = Path(name);
    struct pcapw* w = pcapw_open(path.c_str(), v2 ? 276 : 113, 0);
    EXPECT_NE(w, nullptr);
    for (const Packet& p : pkts) {
      Bytes frame(v2 ? 20 : 16, 0);
      frame[v2 ? 0 : 14] = 0x08;  // protocol 0x0800
      frame.insert(frame.end(), p.ip.begin(), p.ip.end());
      EXPECT_EQ(pcapw_write_frame(w, p.ts_usec, frame.data(), frame.size()), 0);
    }
    EXPECT_EQ(pcapw_close(w), 0);
    return path;
  }

  // The same packets as a pcapng file: section header, one raw-IP interface, enhanced blocks.
  std::string WritePcapng(const std::string& name, const std::vector<Packet>& pkts) {
    std::string path = Path(name);
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    u32(0x0a0d0d0a); u32(28); u32(0x1a2b3c4d); u16(1); u16(0);
    u32(0xffffffff); u32(0xffffffff); u32(28);
    u32(1); u32(20); u16(101); u16(0); u32(65535); u32(20);
    for (const Packet& p : pkts) {
      uint32_t padded = static_cast<uint32_t>((p.ip.size() + 3) & ~size_t{3});
      uint32_t total = 32 + padded;
      u32(6); u32(total); u32(0);
      u32(static_cast<uint32_t>(p.ts_usec >> 32)); u32(static_cast<uint32_t>(p.ts_usec));
      u32(static_cast<uint32_t>(p.ip.size())); u32(static_cast<uint32_t>(p.ip.size()));
      f.write(reinterpret_cast<const char*>(p.ip.data()), static_cast<std::streamsize>(p.ip.size()));
      for (size_t i = p.ip.size(); i < padded; i++) f.put(0);
      u32(total);
    }
    return path;
  }

  // Runs qarn-replay with args; with pipe_from, its standard input is that file through a pipe.
  Outcome Replay(const std::string& args, const std::string& pipe_from = "") {
    std::string err = Path("stderr");
    std::string cmd = pipe_from.empty() ? "" : "cat '" + pipe_from + "' | ";
    cmd += std::string(QARN_REPLAY) + " " + args + " 2>" + err;
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    EXPECT_NE(p, nullptr);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream e(err);
    std::stringstream ss;
    ss << e.rdbuf();
    r.err = ss.str();
    return r;
  }

  std::string dir_;
};

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

// The connection lines of a text report: they begin with the connection's number.
std::vector<std::string> Conns(const std::string& s) {
  std::vector<std::string> v;
  for (const std::string& l : Lines(s))
    if (!l.empty() && l[0] >= '0' && l[0] <= '9') v.push_back(l);
  return v;
}

// The JSON objects of one type, in order.
std::vector<std::string> Objects(const std::string& s, const std::string& type) {
  std::vector<std::string> v;
  for (const std::string& l : Lines(s))
    if (l.rfind("{\"type\":\"" + type + "\"", 0) == 0) v.push_back(l);
  return v;
}

TEST_F(ReplayTest, JsonGivesEveryPacketAndTheMarkOfEveryConnection) {
  Outcome r = Replay("--json " + WritePcap("sample.pcap", Sample()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("QARN VR Version: 2.0.02(2015-03-26)"), std::string::npos);
  std::vector<std::string> want = {
      R"({"type":"packet","n":1,"conn":1,"dir_code":0,"ret":0,"mark":206848,"prio_class":3})",
      R"({"type":"packet","n":2,"conn":1,"dir_code":1,"ret":0,"mark":206848,"prio_class":3})",
      R"({"type":"packet","n":3,"conn":1,"dir_code":0,"ret":0,"mark":206848,"prio_class":3})",
      R"({"type":"packet","n":4,"conn":1,"dir_code":1,"ret":0,"mark":0,"prio_class":65})",
      R"({"type":"packet","n":5,"conn":2,"dir_code":0,"ret":0,"mark":328704,"prio_class":1})",
      R"({"type":"packet","n":6,"conn":3,"dir_code":0,"ret":0,"mark":445441,"prio_class":6})",
      R"({"type":"packet","n":7,"conn":4,"dir_code":0,"ret":-1,"mark":0,"prio_class":null})",
  };
  std::vector<std::string> conns = {
      R"({"type":"connection","conn":1,"proto":6,"src":"192.168.1.10:40000",)"
      R"("dst":"100.100.7.7:80","fwd_packets":2,"reply_packets":2,"bytes":178,)"
      R"("duration":0.030000,"mark":0,"class":0,"group":0,"id":0,"app":"unclassified"})",
      R"({"type":"connection","conn":2,"proto":17,"src":"192.168.1.10:5555",)"
      R"("dst":"100.100.7.7:9000","fwd_packets":1,"reply_packets":0,"bytes":49,)"
      R"("duration":0.000000,"mark":328704,"class":5,"group":1,"id":0,"app":"conference"})",
      R"({"type":"connection","conn":3,"proto":17,"src":"192.168.1.10:5556",)"
      R"("dst":"100.100.7.7:8000","fwd_packets":1,"reply_packets":0,"bytes":32,)"
      R"("duration":0.000000,"mark":445441,"class":6,"group":51,"id":1,)"
      R"("app":"framed-messages"})",
      R"({"type":"connection","conn":4,"proto":1,"src":"192.168.1.10:0",)"
      R"("dst":"100.100.7.7:0","fwd_packets":1,"reply_packets":0,"bytes":28,)"
      R"("duration":0.000000,"mark":0,"class":0,"group":0,"id":0,"app":"unclassified"})",
  };
  EXPECT_EQ(Objects(r.out, "packet"), want);
  EXPECT_EQ(Objects(r.out, "connection"), conns);
}

TEST_F(ReplayTest, TextLinesAndTheSameResultForEveryFormat) {
  std::vector<Packet> pkts = Sample();
  Outcome eth = Replay(WritePcap("eth.pcap", pkts));
  ASSERT_EQ(eth.status, 0) << eth.err;
  std::vector<std::string> lines = Conns(eth.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1],
            "2 UDP 192.168.1.10:5555 -> 100.100.7.7:9000 fwd 1 reply 0 bytes 49 0.000 s "
            "mark 0x00050400 5/1/0 conference");
  EXPECT_EQ(lines[3],
            "4 ICMP 192.168.1.10:0 -> 100.100.7.7:0 fwd 1 reply 0 bytes 28 0.000 s "
            "mark 0x00000000 0/0/0 unclassified");
  EXPECT_EQ(Replay(WritePcap("raw.pcap", pkts, PCAPW_LINK_RAW)).out, eth.out);
  EXPECT_EQ(Replay(WritePcapng("raw.pcapng", pkts)).out, eth.out);
  EXPECT_EQ(Replay(WriteCooked("sll.pcap", pkts, false)).out, eth.out);
  EXPECT_EQ(Replay(WriteCooked("sll2.pcap", pkts, true)).out, eth.out);
}

TEST_F(ReplayTest, ListFileExemptsAListedHost) {
  std::ofstream(Path("list.txt")) << "# exempt one host\nrule 1\n"
                                  << "add 192.168.1.10 10.0.0.1-10.0.0.3  # and a range\n";
  Outcome r = Replay("--list " + Path("list.txt") + " " + WritePcap("s.pcap", Sample()));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& line : Conns(r.out))
    EXPECT_NE(line.find("63/0/0 exempt"), std::string::npos) << line;
  EXPECT_NE(r.err.find("Func = qarn_set_ip_list, Line = 117,startip:0xa000001,endip:0xa000003"),
            std::string::npos);
}

TEST_F(ReplayTest, ParametersAndLanNetworks) {
  std::vector<Packet> web = {{1000000, Tcp(kLan, kWan, 40000, 80)}};
  Outcome r = Replay("--json --param high_prio_per_ct=0 " + WritePcap("w.pcap", web));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out)[0],
            R"({"type":"packet","n":1,"conn":1,"dir_code":0,"ret":0,"mark":0,"prio_class":65})");
  r = Replay("--json --lan 100.100.0.0/16 " + WritePcap("w.pcap", web));
  EXPECT_NE(Lines(r.out)[0].find(R"("dir_code":1,)"), std::string::npos) << r.out;
}

TEST_F(ReplayTest, CutPacketsAreNotRecognised) {
  // snaplen 50 leaves 8 bytes of the signature after Ethernet 14, IP 20 and UDP 8 bytes
  std::vector<Packet> pkts = {{1000000, Udp(kLan, kWan, 5555, 9000, Text("facemeetingv2.1#"))}};
  Outcome r = Replay("--json " + WritePcap("cut.pcap", pkts, PCAPW_LINK_ETHERNET, 50));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Objects(r.out, "connection").back().find(R"("app":"unclassified")"),
            std::string::npos) << r.out;
}

// Connections whose deciding bytes lie within the first 42 bytes after the headers, one whose
// Content-Type lies further in, and framed messages whose last byte decides.
std::vector<Packet> MixedTraffic() {
  const uint32_t dns = Ip(198, 51, 100, 53), web = Ip(203, 0, 113, 80);
  const uint32_t peer = Ip(203, 0, 113, 9), mail = Ip(198, 51, 100, 25);
  std::vector<Packet> v;
  uint64_t t = 1000000;
  auto at = [&](Bytes ip) { v.push_back({t += 10000, std::move(ip)}); };
  const std::string body(1200, 'b');
  at(Udp(kLan, dns, 53000, 53, Bytes(300, 'q')));                       // 1 dns
  at(Tcp(kLan, Ip(198, 51, 100, 70), 43000, 1723, std::string(156, 'p')));  // 2 vpn
  at(Tcp(mail, kLan, 25, 44000, "220 mail.example ESMTP " + std::string(400, 'm')));  // 3 email
  // 4 web video: Content-Type within the first 42 payload bytes
  at(Tcp(kLan, web, 41000, 80));
  at(Tcp(web, kLan, 80, 41000));
  at(Tcp(kLan, web, 41000, 80, "GET /v HTTP/1.1\r\n\r\n"));
  at(Tcp(web, kLan, 80, 41000, "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n\r\n" + body));
  // 5 web page: Content-Type after 300 bytes of other headers
  at(Tcp(kLan, web, 41001, 80));
  at(Tcp(web, kLan, 80, 41001));
  at(Tcp(kLan, web, 41001, 80, "GET / HTTP/1.1\r\n\r\n"));
  at(Tcp(web, kLan, 80, 41001, "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(300, 'x') +
                                    "\r\nContent-Type: text/html\r\n\r\n" + body));
  at(Udp(kLan, peer, 5555, 9000, Text("facemeetingv2.1#" + body)));   // 6 conference
  Bytes lol = {0x29, 0xff, 0x00};
  lol.resize(900, 'g');
  at(Udp(kLan, peer, 5556, 5100, lol));                                // 7 game-udp
  Bytes framed(40, 'f');
  framed[2] = 0x02;
  framed.back() = 0x03;
  at(Tcp(kLan, web, 41002, 443, std::string(framed.begin(), framed.end())));  // 8 framed
  framed.resize(1000, 'f');
  framed.back() = 0x03;
  at(Tcp(kLan, web, 41003, 443, std::string(framed.begin(), framed.end())));  // 9 framed
  // 10 two-way UDP counted to a verdict, then re-checked: big forward, small replies
  for (int i = 0; i < 205; i++) {
    at(Udp(kLan, peer, 50000, 6881, Bytes(1200, 'u')));
    at(Udp(peer, kLan, 6881, 50000, Bytes(40, 'r')));
  }
  t += 400000000;  // past the first re-check, which waits for the tick counter to wrap
  at(Udp(kLan, peer, 50000, 6881, Bytes(1200, 'u')));
  return v;
}

TEST_F(ReplayTest, CutCaptureKeepsTheVerdictsOfWhatItHolds) {
  std::vector<Packet> pkts = MixedTraffic();
  Outcome whole = Replay(WritePcap("whole.pcap", pkts));
  ASSERT_EQ(whole.status, 0) << whole.err;
  std::vector<std::string> w = Conns(whole.out);
  ASSERT_EQ(w.size(), 10u) << whole.out;
  const char* apps[] = {" dns",        " vpn",       " email",           " web-video",
                        " web-page",   " conference", " game-udp",       " framed-messages",
                        " framed-messages", " upload"};
  for (size_t i = 0; i < w.size(); i++)
    EXPECT_EQ(w[i].substr(w[i].size() - std::strlen(apps[i])), apps[i]) << w[i];

  // 600 bytes keep every deciding byte but the long framed message's last one
  std::vector<std::string> c600 = Conns(Replay(WritePcap("c600.pcap", pkts, 1, 600)).out);
  // 96 bytes (42 after Ethernet, IP and TCP headers) lose the far Content-Type too
  std::vector<std::string> c96 = Conns(Replay(WritePcap("c96.pcap", pkts, 1, 96)).out);
  ASSERT_EQ(c600.size(), w.size());
  ASSERT_EQ(c96.size(), w.size());
  for (size_t i = 0; i < w.size(); i++) {
    SCOPED_TRACE(w[i]);
    if (i == 8) {
      EXPECT_EQ(c600[i].find("framed"), std::string::npos) << c600[i];
      EXPECT_EQ(c96[i].find("framed"), std::string::npos) << c96[i];
      continue;
    }
    EXPECT_EQ(c600[i], w[i]);
    if (i == 4)
      EXPECT_EQ(c96[i].find("web-page"), std::string::npos) << c96[i];
    else
      EXPECT_EQ(c96[i], w[i]);
  }
}

TEST_F(ReplayTest, BadArgumentsAreRefused) {
  std::string cap = WritePcap("s.pcap", Sample());
  std::ofstream(Path("bad.txt")) << "rule 1\nadd 10.0.0.300\n";
  const struct {
    const char* situation;
    std::string args;
    std::string message;
  } rows[] = {
      {"no capture", "", "no capture file given"},
      {"unknown option", "--frobnicate " + cap, "unknown option --frobnicate"},
      {"unknown parameter", "--param nosuch=1 " + cap, "no parameter nosuch"},
      {"parameter without a number", "--param check_pkt=many " + cap, "NAME=VALUE"},
      {"bad network", "--lan 10.0.0/8 " + cap, "--lan"},
      {"zero tick rate", "--hz 0 " + cap, "--hz"},
      {"missing capture", Path("none.pcap"), "cannot read capture"},
      {"bad list line", "--list " + Path("bad.txt") + " " + cap, "bad.txt:2: bad address range"},
      {"two captures", cap + " " + cap, "only one capture"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    Outcome r = Replay(row.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  Outcome help = Replay("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: qarn-replay", 0), 0u);
}

TEST_F(ReplayTest, CaptureCutShortStillReportsWhatWasRead) {
  std::string path = WritePcap("cut.pcap", Sample());
  truncate(path.c_str(), static_cast<off_t>(std::ifstream(path, std::ios::ate).tellg()) - 5);
  Outcome r = Replay(path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("reading " + path + ": truncated dump file"), std::string::npos) << r.err;
  std::vector<std::string> lines = Conns(r.out);
  ASSERT_EQ(lines.size(), 3u) << "the ping at the end is lost, the rest reported";
  EXPECT_EQ(lines[1].rfind("2 UDP 192.168.1.10:5555 -> 100.100.7.7:9000 fwd 1", 0), 0u);
}

TEST_F(ReplayTest, ReadsAPipeAndRefusesWhatIsNoCapture) {
  std::string cap = WritePcap("s.pcap", Sample());
  Outcome piped = Replay("/dev/stdin", cap);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, Replay(cap).out);
  std::ofstream(Path("notes.txt")) << "not a capture\n";
  Outcome r = Replay(Path("notes.txt"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot read capture " + Path("notes.txt") + ": unknown file format"),
            std::string::npos) << r.err;
}

TEST_F(ReplayTest, UnreadLinkTypeIsRefused) {
  std::string path = Path("wifi.pcap");
  struct pcapw* w = pcapw_open(path.c_str(), 105, 0);
  ASSERT_NE(w, nullptr);
  Bytes frame(40, 0);
  ASSERT_EQ(pcapw_write_frame(w, 1, frame.data(), frame.size()), 0);
  ASSERT_EQ(pcapw_close(w), 0);
  Outcome r = Replay(path);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("link type 105"), std::string::npos) << r.err;
}

// Frames the module never sees: an IPv6 packet, an ARP request and a later fragment.
std::vector<Bytes> Unread() {
  Bytes v6(14 + 40, 0), arp(14 + 28, 0);
  v6[12] = 0x86;
  v6[13] = 0xdd;
  v6[14] = 0x60;
  arp[12] = 0x08;
  arp[13] = 0x06;
  Bytes frag(14, 0);
  frag[12] = 0x08;
  Bytes ip = Udp(kLan, kWan, 5000, 6000, Text("later part"));
  ip[6] = 0x00;
  ip[7] = 0x10;  // fragment offset 128 bytes
  frag.insert(frag.end(), ip.begin(), ip.end());
  return {v6, arp, frag};
}

TEST_F(ReplayTest, ReportHasAHeaderBytesDurationsASummaryAndWhatWasSkipped) {
  std::string path = Path("r.pcap");
  struct pcapw* w = pcapw_open(path.c_str(), PCAPW_LINK_ETHERNET, 0);
  ASSERT_NE(w, nullptr);
  for (const Packet& p : Sample()) ASSERT_EQ(pcapw_write_ip(w, p.ts_usec, p.ip.data(), p.ip.size()), 0);
  for (const Bytes& f : Unread()) ASSERT_EQ(pcapw_write_frame(w, 1070000, f.data(), f.size()), 0);
  ASSERT_EQ(pcapw_close(w), 0);

  Outcome r = Replay(path);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> l = Lines(r.out);
  ASSERT_GE(l.size(), 12u) << r.out;
  EXPECT_EQ(l[0].rfind("# conn proto source -> destination", 0), 0u) << l[0];
  EXPECT_EQ(l[2],
            "2 UDP 192.168.1.10:5555 -> 100.100.7.7:9000 fwd 1 reply 0 bytes 49 0.000 s "
            "mark 0x00050400 5/1/0 conference");
  EXPECT_EQ(l[1],
            "1 TCP 192.168.1.10:40000 -> 100.100.7.7:80 fwd 2 reply 2 bytes 178 0.030 s "
            "mark 0x00000000 0/0/0 unclassified");
  std::string rest;
  for (size_t i = 5; i < l.size(); i++) rest += l[i] + "\n";
  EXPECT_NE(rest.find("application            connections    packets          bytes   share"),
            std::string::npos) << rest;
  EXPECT_NE(rest.find("conference                       1          1             49   17.1%"),
            std::string::npos) << rest;
  EXPECT_NE(rest.find("unclassified                     2          5            206   71.8%"),
            std::string::npos) << rest;
  EXPECT_NE(rest.find("total                            4          7            287  100.0%"),
            std::string::npos) << rest;
  EXPECT_NE(rest.find("skipped: 1 IPv6, 1 ARP, 1 fragments, 0 other frames"), std::string::npos)
      << rest;
  EXPECT_NE(rest.find("capture: 7 packets, 4 connections, 0.060 s"), std::string::npos) << rest;
  EXPECT_EQ(r.err.find("warning"), std::string::npos);
}

TEST_F(ReplayTest, ExplainNamesTheCheckAndThePacket) {
  Outcome r = Replay("--explain " + WritePcap("e.pcap", Sample()));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> l = Lines(r.out);
  ASSERT_GE(l.size(), 9u);
  EXPECT_EQ(l[2], "    no check set a mark");  // the web connection ends unclassified
  EXPECT_EQ(l[4], "    set by the conference signature on packet 5 (its 1 of the connection)");
  EXPECT_EQ(l[6], "    set by the framed-message check on packet 6 (its 1 of the connection)");
}

TEST_F(ReplayTest, JsonObjectsSayWhatTheyAre) {
  Outcome r = Replay("--json --explain " + WritePcap("j.pcap", Sample()));
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> types;
  for (const std::string& line : Lines(r.out)) {
    ASSERT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line;
    types[line.substr(9, line.find('"', 9) - 9)]++;
  }
  EXPECT_EQ(types["packet"], 7);
  EXPECT_EQ(types["connection"], 4);
  EXPECT_EQ(types["application"], 3);
  EXPECT_EQ(types["skipped"], 1);
  EXPECT_EQ(types["capture"], 1);
  EXPECT_NE(r.out.find(R"("app":"conference","check":"conference signature","set_at":5)"),
            std::string::npos) << r.out;
}

TEST_F(ReplayTest, StandardInputAndAWarningWithoutLanPackets) {
  std::string path = WritePcap("s.pcap", Sample());
  Outcome file = Replay(path);
  Outcome in = Replay("- < " + path);
  ASSERT_EQ(in.status, 0) << in.err;
  std::vector<std::string> a = Lines(file.out), b = Lines(in.out);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a, b);
  Outcome wan = Replay("--lan 172.16.0.0/12 " + path);
  EXPECT_NE(wan.err.find("warning: no packet came from the LAN side"), std::string::npos)
      << wan.err;
  Outcome ext = Replay("--param qarn_extended=1 " + path);
  EXPECT_NE(ext.out.find("capture: 7 packets, 4 connections, 0.060 s; qarn_extended=1"),
            std::string::npos) << ext.out;
}

}  // namespace
