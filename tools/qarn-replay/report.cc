#include "report.h"

#include <cinttypes>
#include <map>

extern "C" {
#include "recognise/apps.h"
}

namespace report {
namespace {

std::string address_text(uint32_t addr, unsigned port) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", addr >> 24, (addr >> 16) & 255,
                (addr >> 8) & 255, addr & 255, port);
  return buf;
}

std::string proto_name(unsigned proto) {
  switch (proto) {
    case 1:
      return "ICMP";
    case 6:
      return "TCP";
    case 17:
      return "UDP";
    default:
      return "IP" + std::to_string(proto);
  }
}

// The module's own name of a mark, "other" for a mark that it does not set.
const char* app_name_of(uint32_t mark) {
  enum qarn_app app = qarn_app_of_mark(mark);
  return app == QARN_APP_COUNT ? "other" : qarn_apps[app].name;
}

const char* check_of(uint32_t mark) {
  enum qarn_app app = qarn_app_of_mark(mark);
  return app == QARN_APP_COUNT ? "a check outside this table" : qarn_apps[app].check;
}

double seconds(uint64_t usec) { return static_cast<double>(usec) / 1e6; }

}  // namespace

void Report::packet(uint64_t ts_usec, const relayk_result& res) {
  if (packets_++ == 0) first_usec_ = ts_usec;
  last_usec_ = ts_usec;
  if (res.dir_code == 0) lan_packets_++;
  if (!res.conn) return;
  if (conns_.size() < res.conn) conns_.resize(res.conn);
  Conn& c = conns_[res.conn - 1];
  if (c.packets++ == 0) c.first_usec = ts_usec;
  c.last_usec = ts_usec;
  if (res.mark != c.mark) {
    c.mark = res.mark;
    c.set_at = packets_;
    c.set_at_conn = c.packets;
  }
}

void Report::skip(Kind kind) {
  switch (kind) {
    case Kind::kIpv6:
      skipped_.ipv6++;
      break;
    case Kind::kArp:
      skipped_.arp++;
      break;
    case Kind::kFragment:
      skipped_.fragments++;
      break;
    default:
      skipped_.other++;
      break;
  }
}

void Report::print_connections(std::FILE* out) const {
  unsigned count = relayk_conn_count();
  for (unsigned c = 1; c <= count; c++) {
    unsigned proto = static_cast<unsigned>(relayk_conn_get(c, RELAYK_PROTO));
    std::string src = address_text(static_cast<uint32_t>(relayk_conn_get(c, RELAYK_FWD_SADDR)),
                                  static_cast<unsigned>(relayk_conn_get(c, RELAYK_FWD_SPORT)));
    std::string dst = address_text(static_cast<uint32_t>(relayk_conn_get(c, RELAYK_FWD_DADDR)),
                                  static_cast<unsigned>(relayk_conn_get(c, RELAYK_FWD_DPORT)));
    unsigned long long fwd = relayk_conn_get(c, RELAYK_FWD_PACKETS);
    unsigned long long rep = relayk_conn_get(c, RELAYK_REPLY_PACKETS);
    unsigned long long bytes =
        relayk_conn_get(c, RELAYK_FWD_BYTES) + relayk_conn_get(c, RELAYK_REPLY_BYTES);
    uint32_t mark = static_cast<uint32_t>(relayk_conn_get(c, RELAYK_MARK));
    unsigned cls = QARN_APP_CLASS(mark), group = QARN_PRIO_GROUP(mark), id = QARN_APP_ID(mark);
    const Conn none;
    const Conn& k = c <= conns_.size() ? conns_[c - 1] : none;
    double duration = seconds(k.last_usec - k.first_usec);
    const char* app = app_name_of(mark);
    if (opt_.json) {
      std::fprintf(
          out,
          "{\"type\":\"connection\",\"conn\":%u,\"proto\":%u,\"src\":\"%s\",\"dst\":\"%s\","
          "\"fwd_packets\":%llu,\"reply_packets\":%llu,\"bytes\":%llu,\"duration\":%.6f,"
          "\"mark\":%u,\"class\":%u,\"group\":%u,\"id\":%u,\"app\":\"%s\"",
          c, proto, src.c_str(), dst.c_str(), fwd, rep, bytes, duration, mark, cls, group, id, app);
      if (opt_.explain)
        std::fprintf(out, ",\"check\":\"%s\",\"set_at\":%" PRIu64 ",\"set_at_conn\":%" PRIu64,
                     mark ? check_of(mark) : "none", k.set_at, k.set_at_conn);
      std::fputs("}\n", out);
      continue;
    }
    std::fprintf(out,
                 "%u %s %s -> %s fwd %llu reply %llu bytes %llu %.3f s mark 0x%08x %u/%u/%u %s\n",
                 c, proto_name(proto).c_str(), src.c_str(), dst.c_str(), fwd, rep, bytes, duration,
                 mark, cls, group, id, app);
    if (opt_.explain) {
      if (mark)
        std::fprintf(
            out, "    set by the %s on packet %" PRIu64 " (its %" PRIu64 " of the connection)\n",
            check_of(mark), k.set_at, k.set_at_conn);
      else
        std::fputs("    no check set a mark\n", out);
    }
  }
}

void Report::print_summary(std::FILE* out) const {
  struct Row {
    uint64_t conns = 0, packets = 0, bytes = 0;
  };
  std::map<std::string, Row> rows;
  Row total;
  unsigned count = relayk_conn_count();
  for (unsigned c = 1; c <= count; c++) {
    Row& r = rows[app_name_of(static_cast<uint32_t>(relayk_conn_get(c, RELAYK_MARK)))];
    uint64_t p = relayk_conn_get(c, RELAYK_FWD_PACKETS) + relayk_conn_get(c, RELAYK_REPLY_PACKETS);
    uint64_t b = relayk_conn_get(c, RELAYK_FWD_BYTES) + relayk_conn_get(c, RELAYK_REPLY_BYTES);
    r.conns++;
    r.packets += p;
    r.bytes += b;
    total.conns++;
    total.packets += p;
    total.bytes += b;
  }
  auto share = [&](uint64_t b) {
    return total.bytes ? 100.0 * static_cast<double>(b) / static_cast<double>(total.bytes) : 0.0;
  };
  if (opt_.json) {
    for (const auto& [app, r] : rows)
      std::fprintf(out,
                   "{\"type\":\"application\",\"app\":\"%s\",\"connections\":%" PRIu64
                   ",\"packets\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"share\":%.2f}\n",
                   app.c_str(), r.conns, r.packets, r.bytes, share(r.bytes));
    std::fprintf(out,
                 "{\"type\":\"skipped\",\"ipv6\":%" PRIu64 ",\"arp\":%" PRIu64
                 ",\"fragments\":%" PRIu64 ",\"other\":%" PRIu64 "}\n",
                 skipped_.ipv6, skipped_.arp, skipped_.fragments, skipped_.other);
    return;
  }
  std::fprintf(out, "\n%-22s %11s %10s %14s %7s\n", "application", "connections", "packets",
               "bytes", "share");
  for (const auto& [app, r] : rows)
    std::fprintf(out, "%-22s %11" PRIu64 " %10" PRIu64 " %14" PRIu64 " %6.1f%%\n", app.c_str(),
                 r.conns, r.packets, r.bytes, share(r.bytes));
  std::fprintf(out, "%-22s %11" PRIu64 " %10" PRIu64 " %14" PRIu64 " %6.1f%%\n", "total",
               total.conns, total.packets, total.bytes, total.bytes ? 100.0 : 0.0);
  std::fprintf(out,
               "skipped: %" PRIu64 " IPv6, %" PRIu64 " ARP, %" PRIu64 " fragments, %" PRIu64
               " other frames\n",
               skipped_.ipv6, skipped_.arp, skipped_.fragments, skipped_.other);
}

void Report::finish(std::FILE* out, std::FILE* err) const {
  std::string params;
  for (const auto& p : opt_.params) params += " " + p.first + "=" + std::to_string(p.second);
  double span = packets_ ? seconds(last_usec_ - first_usec_) : 0.0;
  if (!opt_.json)
    std::fputs(
        "# conn proto source -> destination, packets each way, bytes, duration, mark, "
        "class/group/id, application\n",
        out);
  print_connections(out);
  print_summary(out);
  if (opt_.json)
    std::fprintf(out,
                 "{\"type\":\"capture\",\"packets\":%" PRIu64
                 ",\"connections\":%u,\"duration\":%.6f}\n",
                 packets_, relayk_conn_count(), span);
  else
    std::fprintf(out, "capture: %" PRIu64 " packets, %u connections, %.3f s%s%s\n", packets_,
                 relayk_conn_count(), span, params.empty() ? "" : ";", params.c_str());
  if (packets_ && !lan_packets_)
    std::fprintf(err,
                 "qarn-replay: warning: no packet came from the LAN side; name the LAN with "
                 "--lan CIDR\n");
}

}  // namespace report
