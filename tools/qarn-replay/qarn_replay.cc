// qarn-replay: runs the IPv4 packets of a capture file through the qarn module as relayk
// would, in capture order, and prints what the module made of every connection.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "report.h"

extern "C" {
#include "kstub/kstub.h"
#include "recognise/apps.h"
#include "relayk/relayk.h"
int init_module(void);
void cleanup_module(void);
}

namespace {

const char kUsage[] =
    "usage: qarn-replay [--lan CIDR]... [--hz N] [--param NAME=VALUE]... [--list FILE]\n"
    "                   [--json] [--explain] CAPTURE\n"
    "Runs every IPv4 packet of CAPTURE (pcap or pcapng; Ethernet, Linux cooked, raw IP or\n"
    "IPv4 link type; - for standard input) through the qarn module and prints a header line,\n"
    "one line per connection (packets, bytes, duration, mark and application), a summary per\n"
    "application and the frames skipped (IPv6, ARP, later fragments, other).\n"
    "  --lan CIDR          a LAN network (repeatable; default 192.168.0.0/16 and 10.0.0.0/8)\n"
    "  --hz N              ticks per second (default 100)\n"
    "  --param NAME=VALUE  a module parameter, set at load (repeatable)\n"
    "  --list FILE         List commands to deliver before the first packet, one a line:\n"
    "                      'rule N' or 'add A.B.C.D[-E.F.G.H] ...'; '#' starts a comment\n"
    "  --json              JSON objects, each with a type: one per packet, then one per\n"
    "                      connection, application, the skipped frames and the capture\n"
    "  --explain           which check set each connection's mark, and on which packet\n"
    "Kernel log lines go to standard error.\n";

constexpr int kListType = 120;

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
constexpr uint32_t kCmdRule = 16;
constexpr uint32_t kCmdAdd = 17;

struct Options {
  std::vector<std::pair<uint32_t, unsigned>> lans;
  unsigned hz = 100;
  std::vector<std::pair<std::string, int>> params;
  std::string list_file;
  bool json = false;
  bool explain = false;
  std::string capture;
};

// One List command: the 32-byte header of eight words in host byte order, then the ranges.
using ListCommand = std::vector<uint32_t>;

int fail(const std::string& message) {
  std::fprintf(stderr, "qarn-replay: %s\n", message.c_str());
  return 2;
}

bool parse_unsigned(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

bool parse_int(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// Dotted-quad text to a host-order address; only four decimal parts of 0 to 255.
bool parse_address(const std::string& text, uint32_t* out) {
  uint32_t addr = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; part++) {
    size_t dot = part < 3 ? text.find('.', pos) : text.size();
    if (dot == std::string::npos) return false;
    unsigned long v;
    if (!parse_unsigned(text.substr(pos, dot - pos), 255, &v)) return false;
    addr = addr << 8 | static_cast<uint32_t>(v);
    pos = dot + 1;
  }
  *out = addr;
  return true;
}

bool parse_cidr(const std::string& text, uint32_t* net, unsigned* prefix) {
  size_t slash = text.find('/');
  unsigned long len = 32;
  if (slash != std::string::npos && !parse_unsigned(text.substr(slash + 1), 32, &len))
    return false;
  if (!parse_address(text.substr(0, slash), net)) return false;
  *prefix = static_cast<unsigned>(len);
  return true;
}

ListCommand make_header(uint32_t cmd, uint32_t arg, uint32_t num) {
  ListCommand c(8, 0);
  c[0] = cmd;
  c[1] = arg;
  c[2] = 32 + 12 * num;
  c[3] = num;
  c[7] = static_cast<uint32_t>(getpid());
  return c;
}

// Reads the List file; on a bad line sets *error and returns false.
bool read_list_file(const std::string& path, std::vector<ListCommand>* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read list file " + path;
    return false;
  }
  std::string line;
  for (int lineno = 1; std::getline(in, line); lineno++) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb)) continue;
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    std::string where = path + ":" + std::to_string(lineno) + ": ";
    if (verb == "rule") {
      int value;
      if (args.size() != 1 || !parse_int(args[0], &value)) {
        *error = where + "expected 'rule N'";
        return false;
      }
      out->push_back(make_header(kCmdRule, static_cast<uint32_t>(value), 0));
    } else if (verb == "add") {
      if (args.empty()) {
        *error = where + "expected 'add A.B.C.D[-E.F.G.H] ...'";
        return false;
      }
      ListCommand c = make_header(kCmdAdd, 0, static_cast<uint32_t>(args.size()));
      for (const std::string& range : args) {
        size_t dash = range.find('-');
        uint32_t first, last;
        if (!parse_address(range.substr(0, dash), &first) ||
            (dash != std::string::npos && !parse_address(range.substr(dash + 1), &last))) {
          *error = where + "bad address range '" + range + "'";
          return false;
        }
        if (dash == std::string::npos) last = first;
        c.push_back(0);
        c.push_back(first);
        c.push_back(last);
      }
      out->push_back(c);
    } else {
      *error = where + "unknown command '" + verb + "'";
      return false;
    }
  }
  return true;
}

// Returns 0 to go on, an exit status otherwise.
int parse_args(int argc, char** argv, Options* o, bool* done) {
  *done = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      *done = true;
      return 0;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--lan") {
      uint32_t net;
      unsigned prefix;
      if (!value(&v) || !parse_cidr(v, &net, &prefix))
        return fail("--lan needs a network such as 192.168.0.0/16");
      o->lans.emplace_back(net, prefix);
    } else if (a == "--hz") {
      unsigned long hz;
      if (!value(&v) || !parse_unsigned(v, 100000, &hz) || hz == 0)
        return fail("--hz needs a tick rate from 1 to 100000");
      o->hz = static_cast<unsigned>(hz);
    } else if (a == "--param") {
      int n;
      size_t eq;
      if (!value(&v) || (eq = v.find('=')) == std::string::npos || eq == 0 ||
          !parse_int(v.substr(eq + 1), &n))
        return fail("--param needs NAME=VALUE with an integer value");
      o->params.emplace_back(v.substr(0, eq), n);
    } else if (a == "--explain") {
      o->explain = true;
    } else if (a == "--list") {
      if (!value(&o->list_file)) return fail("--list needs a file");
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown option " + a + "\n" + kUsage);
    } else if (o->capture.empty()) {
      o->capture = a;
    } else {
      return fail("only one capture file");
    }
  }
  if (o->capture.empty()) return fail(std::string("no capture file given\n") + kUsage);
  return 0;
}

// The IPv4 packet inside a captured frame, or nullptr (also for a link type not read).
const uint8_t* find_ipv4(int linktype, const uint8_t* frame, uint32_t caplen, uint32_t* len) {
  size_t off;
  uint16_t ethertype;
  switch (linktype) {
    case capture::kLinkEthernet:
      off = 12;
      if (caplen < off + 2) return nullptr;
      ethertype = static_cast<uint16_t>(frame[off] << 8 | frame[off + 1]);
      while ((ethertype == 0x8100 || ethertype == 0x88a8) && caplen >= off + 6) {
        off += 4;
        ethertype = static_cast<uint16_t>(frame[off] << 8 | frame[off + 1]);
      }
      if (ethertype != 0x0800) return nullptr;
      off += 2;
      break;
    case capture::kLinkLinuxSll:
      if (caplen < 16 || (frame[14] << 8 | frame[15]) != 0x0800) return nullptr;
      off = 16;
      break;
    case capture::kLinkLinuxSll2:
      if (caplen < 20 || (frame[0] << 8 | frame[1]) != 0x0800) return nullptr;
      off = 20;
      break;
    case capture::kLinkRaw:
    case capture::kLinkRawBsd:
    case capture::kLinkRawOpenBsd:
    case capture::kLinkIpv4:
      off = 0;
      break;
    default:
      return nullptr;
  }
  if (caplen < off + 20 || (frame[off] >> 4) != 4) return nullptr;
  *len = caplen - static_cast<uint32_t>(off);
  // As the kernel's IP input does: bytes beyond the total length (link padding) are cut.
  uint32_t tot_len = static_cast<uint32_t>(frame[off + 2] << 8 | frame[off + 3]);
  if (tot_len >= 20 && tot_len < *len) *len = tot_len;
  return frame + off;
}

// What a frame that carries no IPv4 packet for the module holds.
report::Kind frame_kind(int linktype, const uint8_t* frame, uint32_t caplen) {
  uint16_t ethertype = 0;
  switch (linktype) {
    case capture::kLinkEthernet: {
      size_t off = 12;
      if (caplen < off + 2) return report::Kind::kOther;
      ethertype = static_cast<uint16_t>(frame[off] << 8 | frame[off + 1]);
      while ((ethertype == 0x8100 || ethertype == 0x88a8) && caplen >= off + 6) {
        off += 4;
        ethertype = static_cast<uint16_t>(frame[off] << 8 | frame[off + 1]);
      }
      break;
    }
    case capture::kLinkLinuxSll:
      if (caplen >= 16) ethertype = static_cast<uint16_t>(frame[14] << 8 | frame[15]);
      break;
    case capture::kLinkLinuxSll2:
      if (caplen >= 2) ethertype = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
      break;
    default:
      if (caplen >= 1 && frame[0] >> 4 == 6) return report::Kind::kIpv6;
      return report::Kind::kOther;
  }
  if (ethertype == 0x86dd) return report::Kind::kIpv6;
  if (ethertype == 0x0806) return report::Kind::kArp;
  return report::Kind::kOther;
}

// A fragment after the first: it holds no transport header to key a connection by.
bool later_fragment(const uint8_t* ip) { return ((ip[6] & 0x1f) | ip[7]) != 0; }

bool link_type_read(int linktype) {
  switch (linktype) {
    case capture::kLinkEthernet:
    case capture::kLinkLinuxSll:
    case capture::kLinkLinuxSll2:
    case capture::kLinkRaw:
    case capture::kLinkRawBsd:
    case capture::kLinkRawOpenBsd:
    case capture::kLinkIpv4:
      return true;
    default:
      return false;
  }
}

// Standard output through one buffer, written out when full and at the end.
class Output {
 public:
  ~Output() { flush(); }
  void put(const char* s, size_t n) {
    if (n > sizeof buf_ - len_) {
      flush();
      if (n > sizeof buf_) return write_all(s, n);
    }
    std::memcpy(buf_ + len_, s, n);
    len_ += n;
  }
  void put(const char* s) { put(s, std::strlen(s)); }
  void put(char c) {
    if (len_ == sizeof buf_) flush();
    buf_[len_++] = c;
  }
  void put_unsigned(unsigned long long v) {
    char digits[20];
    size_t n = 0;
    do {
      digits[sizeof digits - ++n] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    put(digits + sizeof digits - n, n);
  }
  // A label, then a number: a JSON key or the words of a text line.
  void put_field(const char* label, unsigned long long v) {
    put(label);
    put_unsigned(v);
  }
  void put_or_null(unsigned long long v) {  // 0 means "not there"
    if (v)
      put_unsigned(v);
    else
      put("null");
  }
  void put_signed(long long v) {
    if (v < 0) {
      put('-');
      put_unsigned(0ULL - static_cast<unsigned long long>(v));
    } else {
      put_unsigned(static_cast<unsigned long long>(v));
    }
  }
  void put_hex8(uint32_t v) {  // as %08x
    char digits[8];
    for (int i = 7; i >= 0; i--, v >>= 4) digits[i] = "0123456789abcdef"[v & 15];
    put(digits, 8);
  }
  void put_endpoint(uint32_t addr, unsigned port) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      put_unsigned((addr >> shift) & 255);
      put(shift ? '.' : ':');
    }
    put_unsigned(port);
  }
  void flush() {
    write_all(buf_, len_);
    len_ = 0;
  }
  // The first write error, or 0.
  int error() const { return error_; }

 private:
  void write_all(const char* s, size_t n) {
    while (n > 0 && !error_) {
      ssize_t w = ::write(1, s, n);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        error_ = errno;
        return;
      }
      s += w;
      n -= static_cast<size_t>(w);
    }
  }

  char buf_[1 << 16];
  size_t len_ = 0;
  int error_ = 0;
};

void put_packet_json(Output& out, unsigned long n, const relayk_result& res) {
  out.put_field("{\"type\":\"packet\",\"n\":", n);
  out.put(",\"conn\":");
  out.put_or_null(res.conn);
  out.put_field(",\"dir_code\":", res.dir_code);
  out.put(",\"ret\":");
  out.put_signed(res.ret);
  out.put_field(",\"mark\":", res.mark);
  out.put(",\"prio_class\":");
  out.put_or_null(res.prio_class);
  out.put("}\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  bool done;
  if (int status = parse_args(argc, argv, &opt, &done)) return status;
  if (done) return 0;

  std::vector<ListCommand> commands;
  std::string error;
  if (!opt.list_file.empty() && !read_list_file(opt.list_file, &commands, &error))
    return fail(error);

  capture::Reader reader;
  if (!reader.open(opt.capture == "-" ? "/dev/stdin" : opt.capture, &error))
    return fail("cannot read capture " + opt.capture + ": " + error);
  if (!link_type_read(reader.linktype()))
    return fail("capture " + opt.capture + " has link type " +
                std::to_string(reader.linktype()) +
                "; only Ethernet, Linux cooked, raw IP and IPv4 are read");

  // One thread runs the module here, so its locks need no atomic instructions.
  kstub_one_thread();
  relayk_reset(opt.hz);
  for (const auto& lan : opt.lans) relayk_add_lan(lan.first, lan.second);
  for (const auto& p : opt.params) {
    if (kstub_param_set(p.first.c_str(), p.second) != 0)
      return fail("the module has no parameter " + p.first);
  }

  init_module();
  for (const ListCommand& c : commands) {
    if (relayk_netlink_deliver(kListType, c.data(), static_cast<unsigned>(c.size() * 4)) < 0)
      std::fprintf(stderr, "qarn-replay: the module took no List command\n");
    uint32_t reply[8];
    unsigned pid;
    while (relayk_netlink_take_reply(&pid, reply, sizeof reply) >= 0) {
    }
  }

  // The module reads the capture's memory in place, except under AddressSanitizer, where
  // each packet is copied so that a read past its end is caught. relayk's own questions
  // (is this an e-mail port, a P2P peer) are left out: their answers are not reported, and
  // the tests behind them change nothing.
  relayk_in_opts in{};
  in.in_place = !kAddressSanitizer;
  in.no_queries = 1;
  Output out;
  report::Options ro;
  ro.json = opt.json;
  ro.explain = opt.explain;
  ro.capture = opt.capture;
  ro.params = opt.params;
  report::Report rep(ro);
  capture::Frame frame;
  unsigned long n = 0;
  int rc;
  while ((rc = reader.next(&frame)) == 1) {
    uint32_t len;
    const uint8_t* ip = find_ipv4(frame.linktype, frame.data, frame.caplen, &len);
    if (!ip) {
      rep.skip(frame_kind(frame.linktype, frame.data, frame.caplen));
      continue;
    }
    if (later_fragment(ip)) {
      rep.skip(report::Kind::kFragment);
      continue;
    }
    relayk_clock_follow(frame.ts_usec);
    relayk_result res;
    if (relayk_packet_in(ip, len, &in, &res) != 0) {
      rep.skip(report::Kind::kOther);
      continue;
    }
    n++;
    rep.packet(frame.ts_usec, res);
    if (opt.json) put_packet_json(out, n, res);
  }
  bool read_error = rc < 0;
  if (read_error)
    std::fprintf(stderr, "qarn-replay: reading %s: %s\n", opt.capture.c_str(),
                 reader.error().c_str());
  cleanup_module();

  out.flush();
  rep.finish(stdout, stderr);
  int write_error = out.error();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) write_error = write_error ? write_error : errno;
  if (write_error) {
    std::fprintf(stderr, "qarn-replay: writing the output: %s\n", std::strerror(write_error));
    return 1;
  }
  return read_error ? 1 : 0;
}
