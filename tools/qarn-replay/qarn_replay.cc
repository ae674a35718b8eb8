// qarn-replay: runs the IPv4 packets of a capture file through the qarn module as relayk
// would, in capture order, and prints what the module made of every connection.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    "                   [--json] CAPTURE\n"
    "Runs every IPv4 packet of CAPTURE (pcap or pcapng; Ethernet, Linux cooked, raw IP or\n"
    "IPv4 link type) through the qarn module and prints one line per connection.\n"
    "  --lan CIDR          a LAN network (repeatable; default 192.168.0.0/16 and 10.0.0.0/8)\n"
    "  --hz N              ticks per second (default 100)\n"
    "  --param NAME=VALUE  a module parameter, set at load (repeatable)\n"
    "  --list FILE         List commands to deliver before the first packet, one a line:\n"
    "                      'rule N' or 'add A.B.C.D[-E.F.G.H] ...'; '#' starts a comment\n"
    "  --json              one JSON object per packet, then one per connection\n"
    "Kernel log lines go to standard error.\n";

constexpr int kListType = 120;
constexpr int kLinuxSll2 = 276;  // Linux cooked capture, version 2
constexpr uint32_t kCmdRule = 16;
constexpr uint32_t kCmdAdd = 17;

struct Options {
  std::vector<std::pair<uint32_t, unsigned>> lans;
  unsigned hz = 100;
  std::vector<std::pair<std::string, int>> params;
  std::string list_file;
  bool json = false;
  std::string capture;
};

// One List command: the 32-byte header of eight words in host byte order, then the ranges.
using ListCommand = std::vector<uint32_t>;

int Fail(const std::string& message) {
  std::fprintf(stderr, "qarn-replay: %s\n", message.c_str());
  return 2;
}

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

bool ParseInt(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// Dotted-quad text to a host-order address; only four decimal parts of 0 to 255.
bool ParseAddress(const std::string& text, uint32_t* out) {
  uint32_t addr = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; part++) {
    size_t dot = part < 3 ? text.find('.', pos) : text.size();
    if (dot == std::string::npos) return false;
    unsigned long v;
    if (!ParseUnsigned(text.substr(pos, dot - pos), 255, &v)) return false;
    addr = addr << 8 | static_cast<uint32_t>(v);
    pos = dot + 1;
  }
  *out = addr;
  return true;
}

bool ParseCidr(const std::string& text, uint32_t* net, unsigned* prefix) {
  size_t slash = text.find('/');
  unsigned long len = 32;
  if (slash != std::string::npos && !ParseUnsigned(text.substr(slash + 1), 32, &len))
    return false;
  if (!ParseAddress(text.substr(0, slash), net)) return false;
  *prefix = static_cast<unsigned>(len);
  return true;
}

ListCommand MakeHeader(uint32_t cmd, uint32_t arg, uint32_t num) {
  ListCommand c(8, 0);
  c[0] = cmd;
  c[1] = arg;
  c[2] = 32 + 12 * num;
  c[3] = num;
  c[7] = static_cast<uint32_t>(getpid());
  return c;
}

// Reads the List file; on a bad line sets *error and returns false.
bool ReadListFile(const std::string& path, std::vector<ListCommand>* out, std::string* error) {
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
      if (args.size() != 1 || !ParseInt(args[0], &value)) {
        *error = where + "expected 'rule N'";
        return false;
      }
      out->push_back(MakeHeader(kCmdRule, static_cast<uint32_t>(value), 0));
    } else if (verb == "add") {
      if (args.empty()) {
        *error = where + "expected 'add A.B.C.D[-E.F.G.H] ...'";
        return false;
      }
      ListCommand c = MakeHeader(kCmdAdd, 0, static_cast<uint32_t>(args.size()));
      for (const std::string& range : args) {
        size_t dash = range.find('-');
        uint32_t first, last;
        if (!ParseAddress(range.substr(0, dash), &first) ||
            (dash != std::string::npos && !ParseAddress(range.substr(dash + 1), &last))) {
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
int ParseArgs(int argc, char** argv, Options* o, bool* done) {
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
      if (!value(&v) || !ParseCidr(v, &net, &prefix))
        return Fail("--lan needs a network such as 192.168.0.0/16");
      o->lans.emplace_back(net, prefix);
    } else if (a == "--hz") {
      unsigned long hz;
      if (!value(&v) || !ParseUnsigned(v, 100000, &hz) || hz == 0)
        return Fail("--hz needs a tick rate from 1 to 100000");
      o->hz = static_cast<unsigned>(hz);
    } else if (a == "--param") {
      int n;
      size_t eq;
      if (!value(&v) || (eq = v.find('=')) == std::string::npos || eq == 0 ||
          !ParseInt(v.substr(eq + 1), &n))
        return Fail("--param needs NAME=VALUE with an integer value");
      o->params.emplace_back(v.substr(0, eq), n);
    } else if (a == "--list") {
      if (!value(&o->list_file)) return Fail("--list needs a file");
    } else if (!a.empty() && a[0] == '-') {
      return Fail("unknown option " + a + "\n" + kUsage);
    } else if (o->capture.empty()) {
      o->capture = a;
    } else {
      return Fail("only one capture file");
    }
  }
  if (o->capture.empty()) return Fail(std::string("no capture file given\n") + kUsage);
  return 0;
}

// The IPv4 packet inside a captured frame, or nullptr.
const uint8_t* FindIpv4(int linktype, const uint8_t* frame, uint32_t caplen, uint32_t* len) {
  size_t off;
  uint16_t ethertype;
  switch (linktype) {
    case DLT_EN10MB:
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
    case DLT_LINUX_SLL:
      if (caplen < 16 || (frame[14] << 8 | frame[15]) != 0x0800) return nullptr;
      off = 16;
      break;
    case kLinuxSll2:
      if (caplen < 20 || (frame[0] << 8 | frame[1]) != 0x0800) return nullptr;
      off = 20;
      break;
    default:  // raw IP and IPv4
      off = 0;
      break;
  }
  if (caplen < off + 20 || (frame[off] >> 4) != 4) return nullptr;
  *len = caplen - static_cast<uint32_t>(off);
  // As the kernel's IP input does: bytes beyond the total length (link padding) are cut.
  uint32_t tot_len = static_cast<uint32_t>(frame[off + 2] << 8 | frame[off + 3]);
  if (tot_len >= 20 && tot_len < *len) *len = tot_len;
  return frame + off;
}

std::string AddressText(uint32_t addr, unsigned port) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", addr >> 24, (addr >> 16) & 255,
                (addr >> 8) & 255, addr & 255, port);
  return buf;
}

std::string ProtoName(unsigned proto) {
  switch (proto) {
    case 1: return "ICMP";
    case 6: return "TCP";
    case 17: return "UDP";
    default: return "IP" + std::to_string(proto);
  }
}

// The module's own name of a mark, "other" for a mark that it does not set.
const char* AppNameOf(unsigned mark) {
  enum qarn_app app = qarn_app_of_mark(mark);
  return app == QARN_APP_COUNT ? "other" : qarn_apps[app].name;
}

void PrintConnections(bool json) {
  unsigned count = relayk_conn_count();
  for (unsigned c = 1; c <= count; c++) {
    unsigned proto = static_cast<unsigned>(relayk_conn_get(c, RELAYK_PROTO));
    std::string src = AddressText(static_cast<uint32_t>(relayk_conn_get(c, RELAYK_FWD_SADDR)),
                                  static_cast<unsigned>(relayk_conn_get(c, RELAYK_FWD_SPORT)));
    std::string dst = AddressText(static_cast<uint32_t>(relayk_conn_get(c, RELAYK_FWD_DADDR)),
                                  static_cast<unsigned>(relayk_conn_get(c, RELAYK_FWD_DPORT)));
    unsigned long long fwd = relayk_conn_get(c, RELAYK_FWD_PACKETS);
    unsigned long long rep = relayk_conn_get(c, RELAYK_REPLY_PACKETS);
    unsigned mark = static_cast<unsigned>(relayk_conn_get(c, RELAYK_MARK));
    unsigned cls = QARN_APP_CLASS(mark), group = QARN_PRIO_GROUP(mark), id = QARN_APP_ID(mark);
    const char* app = AppNameOf(mark);
    if (json)
      std::printf("{\"conn\":%u,\"proto\":%u,\"src\":\"%s\",\"dst\":\"%s\",\"fwd_packets\":%llu,"
                  "\"reply_packets\":%llu,\"mark\":%u,\"class\":%u,\"group\":%u,\"id\":%u,"
                  "\"app\":\"%s\"}\n",
                  c, proto, src.c_str(), dst.c_str(), fwd, rep, mark, cls, group, id, app);
    else
      std::printf("%u %s %s -> %s fwd %llu reply %llu mark 0x%08x %u/%u/%u %s\n", c,
                  ProtoName(proto).c_str(), src.c_str(), dst.c_str(), fwd, rep, mark, cls,
                  group, id, app);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  bool done;
  if (int status = ParseArgs(argc, argv, &opt, &done)) return status;
  if (done) return 0;

  std::vector<ListCommand> commands;
  std::string error;
  if (!opt.list_file.empty() && !ReadListFile(opt.list_file, &commands, &error))
    return Fail(error);

  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* cap = pcap_open_offline(opt.capture.c_str(), errbuf);
  if (!cap) return Fail("cannot read capture " + opt.capture + ": " + errbuf);
  int linktype = pcap_datalink(cap);
  if (linktype != DLT_EN10MB && linktype != DLT_LINUX_SLL && linktype != kLinuxSll2 &&
      linktype != DLT_RAW &&
      linktype != DLT_IPV4 && linktype != 12 && linktype != 14) {
    pcap_close(cap);
    return Fail("capture " + opt.capture + " has link type " + std::to_string(linktype) +
                "; only Ethernet, Linux cooked, raw IP and IPv4 are read");
  }

  relayk_reset(opt.hz);
  for (const auto& lan : opt.lans) relayk_add_lan(lan.first, lan.second);
  for (const auto& p : opt.params) {
    if (kstub_param_set(p.first.c_str(), p.second) != 0) {
      pcap_close(cap);
      return Fail("the module has no parameter " + p.first);
    }
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

  struct pcap_pkthdr* hdr;
  const u_char* frame;
  unsigned long n = 0;
  int rc;
  while ((rc = pcap_next_ex(cap, &hdr, &frame)) == 1) {
    uint32_t len;
    const uint8_t* ip = FindIpv4(linktype, frame, hdr->caplen, &len);
    if (!ip) continue;
    relayk_clock_follow(static_cast<unsigned long long>(hdr->ts.tv_sec) * 1000000ULL +
                        static_cast<unsigned long long>(hdr->ts.tv_usec));
    relayk_result res;
    if (relayk_packet_in(ip, len, nullptr, &res) != 0) continue;
    n++;
    if (opt.json) {
      std::printf("{\"n\":%lu,\"conn\":", n);
      if (res.conn)
        std::printf("%u", res.conn);
      else
        std::printf("null");
      std::printf(",\"dir_code\":%u,\"ret\":%d,\"mark\":%u,\"prio_class\":", res.dir_code,
                  res.ret, res.mark);
      if (res.prio_class)
        std::printf("%u}\n", res.prio_class);
      else
        std::printf("null}\n");
    }
  }
  bool read_error = rc == -1;
  if (read_error)
    std::fprintf(stderr, "qarn-replay: reading %s: %s\n", opt.capture.c_str(), pcap_geterr(cap));
  pcap_close(cap);
  cleanup_module();

  PrintConnections(opt.json);
  return read_error ? 1 : 0;
}
