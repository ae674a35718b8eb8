// bench_hook: what the recognition hook costs per packet (bench_replay times qarn-replay).
//
// The module is loaded as on the router. One packet of each kind goes through relayk's
// packet path; inside that one call the hook is called again and again on the very packet
// and connection record, with the connection's fields put back before each call, so every
// call takes the same path:
//   settled        a web-page connection, past its re-check: leaves after step 5
//   unclassified   a LAN-side TCP packet to a non-web port with mark 0: every check runs
//   wan-http       a download response from port 80 with mark 0: every check, then the
//                  Content-Type search and rules
//   lan-udp-p2p    a LAN-side UDP packet of a counted P2P connection: every check, then the
//                  endpoint lookup under the tracker's lock
//   quic           a QUIC client Initial (extended mode): keys derived, the payload decrypted
//                  up to the server name, which lies behind 900 bytes of padding; without a
//                  name, the whole packet decrypted
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include "frame/relayk_if.h"
#include "kstub/kstub.h"
#include "pcapwriter.h"
#include "recognise/crypto.h"
#include "recognise/hook.h"
#include "relayk/relayk.h"
int init_module(void);
void cleanup_module(void);
}

namespace {

using Clock = std::chrono::steady_clock;

uint32_t addr(const char* dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted, &a) != 1) std::abort();
  return ntohl(a.s_addr);
}

std::vector<uint8_t> tcp_packet(const char* s, uint16_t sp, const char* d, uint16_t dp,
                         const std::string& payload) {
  std::vector<uint8_t> b(2048);
  b.resize(pcapw_build_tcp(b.data(), b.size(), addr(s), addr(d), sp, dp, PCAPW_ACK, 1, 1,
                           payload.data(), payload.size()));
  return b;
}

std::vector<uint8_t> udp_packet(const char* s, uint16_t sp, const char* d, uint16_t dp,
                         const std::string& payload) {
  std::vector<uint8_t> b(2048);
  b.resize(pcapw_build_udp(b.data(), b.size(), addr(s), addr(d), sp, dp, payload.data(),
                           payload.size()));
  return b;
}

// A TLS record with a client hello naming the server, as a browser's begins.
std::string client_hello(const std::string& name) {
  auto be16 = [](size_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v)}; };
  std::string sni = be16(0) + be16(name.size() + 5) + be16(name.size() + 3) + '\0' +
                    be16(name.size()) + name;
  std::string exts = std::string("\x00\x0b\x00\x02\x01\x00", 6) + sni;
  std::string body = std::string("\x03\x03", 2) + std::string(32, 'r') + '\x20' +
                     std::string(32, 's') + std::string("\x00\x04\x13\x01\x13\x02\x01\x00", 8) +
                     be16(exts.size()) + exts;
  std::string hs = std::string(1, '\x01') + '\0' + be16(body.size()) + body;
  return std::string("\x16\x03\x01", 3) + be16(hs.size()) + hs;
}

// A QUIC version 1 client Initial of 1200 bytes: PADDING frames, then a CRYPTO frame with
// the hello. Protected with the module's own ciphers; the tag is left zero, as it is not read.
std::string quic_initial(const std::string& hello, size_t padding) {
  static const uint8_t salt[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                   0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
  const uint8_t dcid[8] = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
  std::string head = std::string("\xc0\x00\x00\x00\x01\x08", 6) +
                     std::string(reinterpret_cast<const char*>(dcid), 8) + std::string(2, '\0');
  size_t rest = 1200 - head.size() - 2;  // packet number and payload, tag included
  head += static_cast<char>(0x40 | rest >> 8);
  head += static_cast<char>(rest & 0xff);
  size_t pn_off = head.size();
  head += '\0';  // packet number 0 in one byte
  std::string plain(padding, '\0');
  plain += std::string("\x06\x00", 2);
  plain += static_cast<char>(0x40 | hello.size() >> 8);
  plain += static_cast<char>(hello.size() & 0xff);
  plain += hello;
  plain.resize(rest - 1 - 16, '\0');
  uint8_t secret[32], client[32], key[16], iv[12], hp[16], block[16], ks[16];
  qarn_hmac_key prk;
  qarn_hmac_sha256(salt, sizeof salt, dcid, sizeof dcid, secret);
  qarn_hmac_sha256_key(&prk, secret, 32);
  qarn_hkdf_expand_label(&prk, "client in", client, 32);
  qarn_hmac_sha256_key(&prk, client, 32);
  qarn_hkdf_expand_label(&prk, "quic key", key, 16);
  qarn_hkdf_expand_label(&prk, "quic iv", iv, 12);
  qarn_hkdf_expand_label(&prk, "quic hp", hp, 16);
  qarn_aes128 k;
  qarn_aes128_init(&k, key);
  for (size_t at = 0; at < plain.size(); at += 16) {
    std::memcpy(block, iv, 12);
    uint32_t ctr = static_cast<uint32_t>(at / 16 + 2);
    for (int i = 0; i < 4; i++) block[12 + i] = static_cast<uint8_t>(ctr >> (24 - 8 * i));
    qarn_aes128_encrypt(&k, block, ks);
    for (size_t i = at; i < plain.size() && i < at + 16; i++) plain[i] ^= static_cast<char>(ks[i - at]);
  }
  std::string pkt = head + plain + std::string(16, '\0');
  qarn_aes128_init(&k, hp);
  qarn_aes128_encrypt(&k, reinterpret_cast<const uint8_t*>(pkt.data()) + pn_off + 4, ks);
  pkt[0] = static_cast<char>(pkt[0] ^ (ks[0] & 0x0f));
  pkt[pn_off] = static_cast<char>(pkt[pn_off] ^ ks[1]);
  return pkt;
}

// The connection fields that a call may change, put back before each call.
struct Fields {
  uint32_t mark, p2p_state, p2p_count;
};

// What the timing hook does with the packet relayk hands it.
struct Timing {
  long calls = 0;
  Fields restore{};
  double ns_per_call = 0;
};
Timing* g_timing = nullptr;

int timing_hook(sk_buff* skb) {
  nf_conn* ct = relayk_conn(skb);
  Timing& t = *g_timing;
  auto start = Clock::now();
  for (long i = 0; i < t.calls; i++) {
    relayk_set_ct_app_mark(ct, t.restore.mark);
    relayk_set_ct_p2p_state(ct, t.restore.p2p_state);
    relayk_set_ct_p2p_count(ct, t.restore.p2p_count);
    func_match_hook(skb);
  }
  t.ns_per_call = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                  static_cast<double>(t.calls);
  return 0;
}

// Runs pkt through relayk once as usual, then again with the timing hook in the
// recognition hook's place, which calls the hook `calls` times with the connection's mark
// and P2P fields set to f before each call.
double time_hook_with(const std::vector<uint8_t>& pkt, long calls, const Fields& f,
                    uint32_t want_mark) {
  relayk_result res;
  relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), nullptr, &res);
  Timing t;
  t.calls = calls;
  t.restore = f;
  g_timing = &t;
  relayk_set_sys_app_recognize(timing_hook);
  relayk_packet_in(pkt.data(), static_cast<unsigned>(pkt.size()), nullptr, &res);
  relayk_set_sys_app_recognize(func_match_hook);
  g_timing = nullptr;
  // the calls must have taken the path they are named after
  uint32_t mark = static_cast<uint32_t>(relayk_conn_get(res.conn, RELAYK_MARK));
  if (mark != want_mark) {
    std::fprintf(stderr, "bench_hook: mark 0x%x after the calls, not 0x%x\n", mark, want_mark);
    std::exit(1);
  }
  return t.ns_per_call;
}

double best(int rounds, const std::function<double()>& f) {
  double best = 1e300;
  for (int i = 0; i < rounds; i++) best = std::min(best, f());
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  long calls = 2000000;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--calls" && i + 1 < argc) {
      calls = std::atol(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_hook [--calls N]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  if (calls <= 0) {
    std::fprintf(stderr, "bench_hook: the count must be positive\n");
    return 2;
  }

  kstub_printk_mode(KSTUB_PRINTK_CAPTURE);
  relayk_reset(100);
  init_module();

  // settled: a web page past its first re-check
  auto page = tcp_packet("203.0.113.80", 80, "192.168.1.10", 41000, std::string(1200, 'a'));
  double settled = best(3, [&] { return time_hook_with(page, calls, {0x42c01, 0, 0}, 0x42c01); });

  auto syn = tcp_packet("192.168.1.10", 41001, "203.0.113.81", 5222, "");
  double unclassified = best(3, [&] { return time_hook_with(syn, calls, {0, 0, 0}, 0); });

  std::string resp =
      "HTTP/1.1 200 OK\r\nServer: bench\r\nDate: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
      "Content-Length: 1048576\r\nContent-Type: application/octet-stream\r\n\r\n";
  relayk_result res;
  auto req = tcp_packet("192.168.1.10", 41002, "203.0.113.82", 80, "GET /f HTTP/1.1\r\n\r\n");
  for (int i = 0; i < 3; i++)  // past the first packets that web connections get
    relayk_packet_in(req.data(), static_cast<unsigned>(req.size()), nullptr, &res);
  auto http = tcp_packet("203.0.113.82", 80, "192.168.1.10", 41002, resp);
  double wan = best(3, [&] { return time_hook_with(http, calls, {0, 0, 0}, 0x9d802); });

  auto udp = udp_packet("192.168.1.10", 41003, "203.0.113.83", 30000, std::string(60, 'p'));
  double p2p = best(3, [&] { return time_hook_with(udp, calls, {0, 1, 0}, 0); });

  // the same paths with qarn_extended=1, and a TLS client hello that its checks read
  kstub_param_set("qarn_extended", 1);
  double ext_settled = best(3, [&] { return time_hook_with(page, calls, {0x42c01, 0, 0}, 0x42c01); });
  double ext_unclassified = best(3, [&] { return time_hook_with(syn, calls, {0, 0, 0}, 0); });
  double ext_wan = best(3, [&] { return time_hook_with(http, calls, {0, 0, 0}, 0x9d802); });
  double ext_p2p = best(3, [&] { return time_hook_with(udp, calls, {0, 1, 0}, 0); });
  auto hello = tcp_packet("192.168.1.10", 41004, "203.0.113.84", 443, client_hello("rr1.googlevideo.com"));
  double ext_tls = best(3, [&] { return time_hook_with(hello, calls, {0, 0, 0}, 0x7d002); });
  // QUIC costs microseconds: fewer calls
  long quic_calls = std::max(1L, calls / 100);
  auto quic = udp_packet("192.168.1.10", 41005, "203.0.113.85", 443,
                         quic_initial(client_hello("rr1.googlevideo.com").substr(5), 900));
  double ext_quic =
      best(3, [&] { return time_hook_with(quic, quic_calls, {0, 0, 0}, 0x7d003); });
  auto quic_unnamed = udp_packet("192.168.1.10", 41006, "203.0.113.86", 443,
                                 quic_initial(client_hello("").substr(5), 900));
  double ext_quic_unnamed =
      best(3, [&] { return time_hook_with(quic_unnamed, quic_calls, {0, 0, 0}, 0x42c07); });
  kstub_param_set("qarn_extended", 0);

  cleanup_module();
  kstub_printk_clear();

  std::printf("%-44s %14s\n", "case", "result");
  std::printf("%-44s %11.1f ns\n", "hook, settled connection", settled);
  std::printf("%-44s %11.1f ns\n", "hook, first packet of unclassified connection", unclassified);
  std::printf("%-44s %11.1f ns\n", "hook, WAN-side HTTP response", wan);
  std::printf("%-44s %11.1f ns\n", "hook, LAN-side UDP through the P2P tracker", p2p);
  std::printf("%-44s %11.1f ns\n", "extended: settled connection", ext_settled);
  std::printf("%-44s %11.1f ns\n", "extended: first packet of unclassified", ext_unclassified);
  std::printf("%-44s %11.1f ns\n", "extended: WAN-side HTTP response", ext_wan);
  std::printf("%-44s %11.1f ns\n", "extended: LAN-side UDP through the P2P tracker", ext_p2p);
  std::printf("%-44s %11.1f ns\n", "extended: TLS client hello, server name", ext_tls);
  std::printf("%-44s %11.1f ns\n", "extended: QUIC initial, server name", ext_quic);
  std::printf("%-44s %11.1f ns\n", "extended: QUIC initial, no name (all read)", ext_quic_unnamed);
  return 0;
}
