// qarn-samples: writes the demo's sample captures, one pcap file per kind of traffic that
// the qarn module recognises. Every packet is built here; LAN hosts are in 192.168.1.0/24,
// remote hosts in the address ranges reserved for documentation.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include "pcapwriter.h"
}

namespace {

const char kUsage[] =
    "usage: qarn-samples [--large N] OUTDIR\n"
    "Writes sample captures for qarn-replay into OUTDIR (created with its parents when\n"
    "missing):\n"
    "  http.pcap      web page, image, script, video, audio, download and X-Requester responses\n"
    "  ranged.pcap    a ranged (206 Partial Content) download\n"
    "  dns.pcap       DNS queries and answers\n"
    "  vpn.pcap       PPTP, L2TP and IPsec connections from the LAN\n"
    "  mail.pcap      mail greetings on ports 25 and 443, and HTTPS on 443\n"
    "  game.pcap      the UDP game signature, a listed game server, the game's UDP ports\n"
    "  p2p.pcap       UDP endpoints reaching each P2P verdict\n"
    "  bulk.pcap      a bulk download that trips the reply-rate check\n"
    "  --large N      also large.pcap: the above traffic repeated over about N packets\n";

uint32_t addr(const char* dotted) {
  unsigned a, b, c, d;
  if (std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) std::abort();
  return a << 24 | b << 16 | c << 8 | d;
}

// One capture file: packets at increasing time stamps, one millisecond apart unless a step
// says otherwise.
class Capture {
 public:
  explicit Capture(const std::string& path) : path_(path) {
    w_ = pcapw_open(path.c_str(), PCAPW_LINK_ETHERNET, 0);
  }
  ~Capture() {
    if (w_) pcapw_close(w_);
  }
  bool ok() const { return w_ != nullptr && ok_; }
  const std::string& path() const { return path_; }
  bool close() {
    bool good = ok() && pcapw_close(w_) == 0;
    w_ = nullptr;
    return good;
  }
  void wait(uint64_t usec) { ts_ += usec; }
  unsigned long packets() const { return packets_; }

  void tcp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, uint8_t flags,
           uint32_t seq, uint32_t ack, const std::string& payload = "") {
    size_t n = pcapw_build_tcp(buf_, sizeof(buf_), src, dst, sport, dport, flags, seq, ack,
                               payload.data(), payload.size());
    write(n);
  }
  void udp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport,
           const std::string& payload) {
    size_t n = pcapw_build_udp(buf_, sizeof(buf_), src, dst, sport, dport, payload.data(),
                               payload.size());
    write(n);
  }

 private:
  void write(size_t n) {
    if (!w_ || n == 0 || pcapw_write_ip(w_, ts_, buf_, n) != 0) ok_ = false;
    ts_ += 1000;
    packets_++;
  }
  std::string path_;
  pcapw* w_ = nullptr;
  bool ok_ = true;
  uint64_t ts_ = 1700000000ull * 1000000ull;
  unsigned long packets_ = 0;
  uint8_t buf_[2048];
};

// A TCP connection: handshake, the client's request, the server's answers, the client's
// acknowledgements. Sequence numbers follow the bytes sent.
class TcpSession {
 public:
  TcpSession(Capture& cap, const char* client, uint16_t cport, const char* server,
             uint16_t sport)
      : cap_(cap), c_(addr(client)), s_(addr(server)), cport_(cport), sport_(sport) {
    cap_.tcp(c_, cport_, s_, sport_, PCAPW_SYN, cseq_++, 0);
    cap_.tcp(s_, sport_, c_, cport_, PCAPW_SYN | PCAPW_ACK, sseq_++, cseq_);
    cap_.tcp(c_, cport_, s_, sport_, PCAPW_ACK, cseq_, sseq_);
  }
  void client(const std::string& data) {
    cap_.tcp(c_, cport_, s_, sport_, PCAPW_ACK | PCAPW_PSH, cseq_, sseq_, data);
    cseq_ += static_cast<uint32_t>(data.size());
  }
  void server(const std::string& data) {
    cap_.tcp(s_, sport_, c_, cport_, PCAPW_ACK | PCAPW_PSH, sseq_, cseq_, data);
    sseq_ += static_cast<uint32_t>(data.size());
  }
  void client_ack() { cap_.tcp(c_, cport_, s_, sport_, PCAPW_ACK, cseq_, sseq_); }
  void close() {
    cap_.tcp(c_, cport_, s_, sport_, PCAPW_FIN | PCAPW_ACK, cseq_++, sseq_);
    cap_.tcp(s_, sport_, c_, cport_, PCAPW_FIN | PCAPW_ACK, sseq_++, cseq_);
    cap_.tcp(c_, cport_, s_, sport_, PCAPW_ACK, cseq_, sseq_);
  }

 private:
  Capture& cap_;
  uint32_t c_, s_;
  uint16_t cport_, sport_;
  uint32_t cseq_ = 1000, sseq_ = 5000;
};

std::string response(const std::string& status, const std::string& headers) {
  return "HTTP/1.1 " + status + "\r\nServer: sample\r\nDate: Tue, 14 Nov 2023 22:13:20 GMT\r\n" +
         headers + "Connection: keep-alive\r\n\r\n";
}

void web_exchange(Capture& cap, const char* client, uint16_t cport, const char* server,
                 const std::string& path, const std::string& response, int body_packets) {
  TcpSession t(cap, client, cport, server, 80);
  t.client("GET " + path + " HTTP/1.1\r\nHost: www.example.com\r\nAccept: */*\r\n\r\n");
  t.server(response);
  for (int i = 0; i < body_packets; i++) {
    t.server(std::string(1200, static_cast<char>('a' + i % 26)));
    if (i % 2) t.client_ack();
  }
  t.client_ack();
  t.close();
}

void write_http(Capture& cap) {
  struct {
    const char* path;
    const char* status;
    const char* headers;
  } const pages[] = {
      {"/index.html", "200 OK", "Content-Type: text/html; charset=utf-8\r\nContent-Length: 2400\r\n"},
      {"/logo.png", "200 OK", "Content-Type: image/png\r\nContent-Length: 2400\r\n"},
      {"/app.js", "200 OK", "Content-Type: application/javascript\r\nContent-Length: 2400\r\n"},
      {"/clip.mp4", "200 OK", "Content-Type: video/mp4\r\nContent-Length: 2400\r\n"},
      {"/song.mp3", "200 OK", "Content-Type: audio/mpeg\r\nContent-Length: 2400\r\n"},
      {"/setup.exe", "200 OK",
       "Content-Type: application/octet-stream\r\nContent-Length: 2400\r\n"},
      {"/stream", "200 OK", "Content-Type: \r\nX-Requester: GRPS-player\r\n"},
      {"/data.bin", "200 OK", "Content-Type: font/woff2\r\nContent-Length: 2400\r\n"},
  };
  uint16_t cport = 41000;
  for (const auto& p : pages)
    web_exchange(cap, "192.168.1.10", cport++, "203.0.113.80", p.path,
                response(p.status, p.headers), 2);
}

void write_ranged(Capture& cap) {
  TcpSession t(cap, "192.168.1.11", 42000, "203.0.113.81", 80);
  t.client("GET /big.zip HTTP/1.1\r\nHost: dl.example.com\r\nRange: bytes=1048576-\r\n\r\n");
  t.server(response("206 Partial Content",
                    "Content-Type: application/zip\r\nContent-Range: bytes 1048576-1073741823/"
                    "1073741824\r\n"));
  for (int i = 0; i < 20; i++) {
    t.server(std::string(1400, 'z'));
    if (i % 4 == 3) t.client_ack();
  }
  t.close();
}

// A DNS query for www.example.com (type A) and its answer.
void write_dns(Capture& cap) {
  const std::string question("\x03www\x07" "example\x03" "com\x00\x00\x01\x00\x01", 21);
  for (uint16_t i = 0; i < 3; i++) {
    uint16_t port = static_cast<uint16_t>(53000 + i);
    std::string id = {static_cast<char>(0x12), static_cast<char>(0x30 + i)};
    cap.udp(addr("192.168.1.12"), port, addr("198.51.100.53"), 53,
            id + std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10) + question);
    cap.udp(addr("198.51.100.53"), 53, addr("192.168.1.12"), port,
            id + std::string("\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00", 10) + question +
                std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x0e\x10\x00\x04\xcb\x00\x71\x07",
                            16));
  }
}

void write_vpn(Capture& cap) {
  const uint16_t ports[] = {1723, 1701, 4500};
  uint16_t cport = 43000;
  for (uint16_t p : ports) {
    TcpSession t(cap, "192.168.1.13", cport++, "198.51.100.70", p);
    t.client(std::string(156, '\x00'));
    t.server(std::string(156, '\x01'));
    t.close();
  }
}

void write_mail(Capture& cap) {
  {
    TcpSession t(cap, "192.168.1.14", 44000, "198.51.100.25", 25);
    t.server("220 mail.example.net ESMTP ready\r\n");
    t.client("EHLO client.example.org\r\n");
    t.server("250-mail.example.net\r\n250 8BITMIME\r\n");
    t.client("QUIT\r\n");
    t.server("221 bye\r\n");
    t.close();
  }
  {
    TcpSession t(cap, "192.168.1.14", 44001, "198.51.100.26", 443);
    t.server("220 mail.example.net ESMTP on 443\r\n");
    t.client("EHLO client.example.org\r\n");
    t.server("250 mail.example.net\r\n");
    t.close();
  }
  {
    TcpSession t(cap, "192.168.1.14", 44002, "198.51.100.27", 443);
    t.client(std::string("\x16\x03\x01\x00\xc8\x01\x00\x00\xc4\x03\x03", 11) +
             std::string(190, 'h'));
    t.server(std::string("\x16\x03\x03\x00\x5a\x02\x00\x00\x56\x03\x03", 11) +
             std::string(80, 's'));
    t.close();
  }
}

void write_game(Capture& cap) {
  // the game's own UDP signature on ports 5000 to 5200
  for (int i = 0; i < 4; i++) {
    cap.udp(addr("192.168.1.15"), 45000, addr("198.51.100.90"), 5100,
            std::string("\x29\xff\x00", 3) + std::string(40, 'g'));
    cap.udp(addr("198.51.100.90"), 5100, addr("192.168.1.15"), 45000, std::string(60, 'G'));
  }
  // a server of the built-in table (the first address of the default list)
  TcpSession t(cap, "192.168.1.15", 45001, "198.18.89.117", 7000);
  t.client(std::string(64, 'l'));
  t.server(std::string(200, 'L'));
  t.close();
  // the game's UDP ports with its 4- and 5-byte datagrams
  for (int i = 0; i < 3; i++) {
    cap.udp(addr("192.168.1.15"), 45002, addr("198.51.100.91"), 12100, "ping");
    cap.udp(addr("198.51.100.91"), 12100, addr("192.168.1.15"), 45002, "pong!");
  }
}

// P2P endpoints: each LAN port below shows one way to a verdict.
void write_p2p(Capture& cap) {
  const uint32_t lan = addr("192.168.1.16");
  const uint32_t remote = addr("203.0.113.60");
  auto send = [&](uint16_t sport, uint16_t dport, size_t len, int times) {
    for (int i = 0; i < times; i++) cap.udp(lan, sport, remote, dport, std::string(len, 'p'));
  };
  // signature lengths on new connections, then a slow connection, then a fresh one:
  // 34 bytes give 8/53/9, 95 bytes 8/53/13, 20 bytes 7/52/63; the endpoint's first
  // connection takes the verdict on its next packet
  const struct {
    uint16_t sport;
    size_t len;
  } signatures[] = {{50001, 34}, {50002, 95}, {50003, 20}};
  for (const auto& s : signatures) {
    send(s.sport, 20000, 60, 1);
    send(s.sport, 20001, s.len, 1);
    send(s.sport, 20002, s.len, 1);
    send(s.sport, 20003, 60, 21);
    send(s.sport, 20004, 60, 2);
    send(s.sport, 20000, 60, 1);
  }
  // many hits without signatures: ten connections of 21 packets, then a fresh one: 10/57/1
  send(50004, 21000, 60, 1);
  for (uint16_t d = 21001; d <= 21010; d++) send(50004, d, 60, 21);
  send(50004, 21011, 60, 2);
  send(50004, 21000, 60, 1);
  // one connection counted to 200: with replies 5/50/3, without 10/57/1, to port 8000 no mark
  send(50005, 22000, 80, 1);
  cap.udp(remote, 22000, lan, 50005, std::string(80, 'r'));
  send(50005, 22000, 80, 200);
  send(50006, 22001, 80, 201);
  send(50007, 8000, 80, 201);
}

// A download from a non-web port, fast enough to trip the reply-rate check once it has
// 2000 reply packets.
void write_bulk(Capture& cap) {
  TcpSession t(cap, "192.168.1.17", 46000, "203.0.113.90", 21000);
  t.client("RETR image.iso\r\n");
  for (int i = 0; i < 2100; i++) {
    t.server(std::string(512, 'b'));
    if (i % 10 == 9) t.client_ack();
  }
  t.close();
}

using Writer = void (*)(Capture&);

struct Sample {
  const char* file;
  Writer write;
};
const Sample kSamples[] = {
    {"http.pcap", write_http}, {"ranged.pcap", write_ranged}, {"dns.pcap", write_dns},
    {"vpn.pcap", write_vpn},   {"mail.pcap", write_mail},     {"game.pcap", write_game},
    {"p2p.pcap", write_p2p},   {"bulk.pcap", write_bulk},
};

// All samples again and again, each round a second later, until about `packets` are written.
// Packets of one round reuse the same connections, so later rounds meet settled ones.
void write_large(Capture& cap, unsigned long packets) {
  while (cap.packets() < packets && cap.ok()) {
    for (const Sample& s : kSamples) s.write(cap);
    cap.wait(1000000);
  }
}

// Creates dir and any missing parent, as mkdir -p does.
bool make_dirs(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); i++) {
    if (i < dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool finish(Capture& cap) {
  if (cap.close()) return true;
  std::fprintf(stderr, "qarn-samples: cannot write %s: %s\n", cap.path().c_str(),
               std::strerror(errno));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long large = 0;
  const char* outdir = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--large" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      large = std::strtoul(argv[++i], &end, 10);
      if (errno || !end || *end || large == 0 || argv[i][0] == '-') {
        std::fprintf(stderr, "qarn-samples: --large wants a packet count, not '%s'\n", argv[i]);
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "qarn-samples: unknown option '%s'\n%s", argv[i], kUsage);
      return 2;
    } else if (!outdir) {
      outdir = argv[i];
    } else {
      std::fprintf(stderr, "qarn-samples: one OUTDIR only\n%s", kUsage);
      return 2;
    }
  }
  if (!outdir) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!make_dirs(outdir)) {
    std::fprintf(stderr, "qarn-samples: cannot create %s: %s\n", outdir, std::strerror(errno));
    return 1;
  }
  for (const Sample& s : kSamples) {
    Capture cap(std::string(outdir) + "/" + s.file);
    s.write(cap);
    if (!finish(cap)) return 1;
  }
  if (large) {
    Capture cap(std::string(outdir) + "/large.pcap");
    write_large(cap, large);
    if (!finish(cap)) return 1;
  }
  return 0;
}
