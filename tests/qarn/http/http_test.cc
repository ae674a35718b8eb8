// The HTTP content classifier: the header search on its own, against a plain reference on
// random input, and qarn_check_wan on responses that pass relayk's packet path.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check_harness.h"

extern "C" {
#include "frame/params.h"
#include "recognise/http.h"
}

namespace {

using qarn_test::CheckHarness;
using qarn_test::Packet;

struct Found {
  int ret;
  int offset;
  int length;
};

// The text is copied to a heap block of exactly its size, so that AddressSanitizer catches
// a read of even one byte past it.
Found search(const std::string& text, const std::string& pattern, char stop = '\r') {
  Found f{0, -1, -1};
  std::unique_ptr<unsigned char[]> exact(new unsigned char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  f.ret = pattern_match(exact.get(), static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(pattern.data()),
                        static_cast<int>(pattern.size()), static_cast<unsigned char>(stop),
                        &f.offset, &f.length);
  return f;
}

TEST(PreBmbc, ShiftIsDistanceOfLastPlaceBeforeTheFinalByte) {
  int32_t table[256];
  const std::string p = "abcab";
  pre_bmbc(reinterpret_cast<const unsigned char*>(p.data()), 5, table);
  EXPECT_EQ(table['a'], 1);  // index 3 wins over index 0
  EXPECT_EQ(table['b'], 3);  // the final 'b' does not count
  EXPECT_EQ(table['c'], 2);
  EXPECT_EQ(table['z'], 5);
  EXPECT_EQ(table[0xff], 5);  // bytes are read unsigned
}

// Offsets count only when the pattern was found, lengths only when a stop byte followed.
::testing::AssertionResult same(const Found& got, const Found& want) {
  if (got.ret != want.ret || (want.ret != 0 && got.offset != want.offset) ||
      (want.ret == 1 && got.length != want.length))
    return ::testing::AssertionFailure()
           << "got " << got.ret << "/" << got.offset << "/" << got.length << ", want "
           << want.ret << "/" << want.offset << "/" << want.length;
  return ::testing::AssertionSuccess();
}

struct SearchRow {
  const char* situation;
  std::string text;
  std::string pattern;
  Found want;
};

TEST(PatternMatch, Cases) {
  const std::string ct = "Content-Type: ";
  const std::vector<SearchRow> rows = {
      {"value ended by CR LF", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", ct,
       {1, 31, 9}},
      {"empty value", "HTTP/1.1 200 OK\r\nContent-Type: \r\n\r\n", ct, {1, 31, 0}},
      {"value runs to the end of the text", "HTTP/1.1 200 OK\r\nContent-Type: text/ht", ct,
       {-1, 31, -1}},
      {"pattern is the whole text", "Content-Type: ", ct, {-1, 14, -1}},
      {"pattern at the very start", "Content-Type: a\r", ct, {1, 14, 1}},
      {"not in the text", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", ct, {0, -1, -1}},
      {"text shorter than the pattern", "Content-Type:", ct, {0, -1, -1}},
      {"empty text", "", ct, {0, -1, -1}},
      // four window starts in a row see CR LF CR LF: each ':' under the pattern's last byte
      // shifts by one, so the search stops before the header that follows
      {"blank line seen at four window starts ends the search",
       std::string("\r\n\r\n") + "123456789::::" + "Content-Type: text/html\r\n", ct,
       {0, -1, -1}},
      // the first window's last byte 'y' jumps four bytes, past the blank line
      {"blank line jumped over is not noticed", "\r\n\r\nContent-Type: text/html\r\n", ct,
       {1, 18, 9}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_TRUE(same(search(r.text, r.pattern), r.want));
  }
}

TEST(PatternMatch, StopByteIsTheCallersChoice) {
  Found f = search("X-Requester: GRPS;more\r\n", "X-Requester: ", ';');
  EXPECT_EQ(f.ret, 1);
  EXPECT_EQ(f.offset, 13);
  EXPECT_EQ(f.length, 4);
}

TEST(PatternMatch, ReadsNothingPastTheText) {
  // the text is cut from a larger buffer whose tail would complete the match and the value
  const std::string buffer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
  for (size_t n = 0; n <= buffer.size(); n++) {
    Found f = search(buffer.substr(0, n), "Content-Type: ");
    if (n < 31) EXPECT_EQ(f.ret, 0) << n;
    else if (n < 41) EXPECT_EQ(f.ret, -1) << n;
    else EXPECT_EQ(f.ret, 1) << n;
  }
}

// The plain reference: every window start in turn, leftmost occurrence first.
Found naive(const std::string& text, const std::string& pat, char stop) {
  if (text.size() < pat.size()) return {0, -1, -1};
  for (size_t s = 0; s + pat.size() <= text.size(); s++) {
    if (text.compare(s, pat.size(), pat) != 0) continue;
    size_t off = s + pat.size();
    size_t q = text.find(stop, off);
    if (q == std::string::npos) return {-1, static_cast<int>(off), -1};
    return {1, static_cast<int>(off), static_cast<int>(q - off)};
  }
  return {0, -1, -1};
}

// Whether CR LF CR LF occurs as a subsequence of text[0..end]: the line-end counter can only
// end the search after seeing those four bytes in that order at window starts.
bool blank_line_before(const std::string& text, size_t end) {
  const char want[] = "\r\n\r\n";
  int k = 0;
  for (size_t i = 0; i <= end && i < text.size() && k < 4; i++)
    if (text[i] == want[k]) k++;
  return k == 4;
}

std::string random_text(std::mt19937& rng, const std::string& alphabet, size_t n) {
  std::string s(n, ' ');
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (auto& c : s) c = alphabet[pick(rng)];
  return s;
}

TEST(PatternMatch, AgreesWithPlainSearchOnRandomTextsWithoutLineFeeds) {
  // without line feeds the line-end counter never passes 1, so only the shifts are tested
  std::mt19937 rng(7);
  const std::string alphabets[] = {"ab", "abc\r", "abcdefgh", "aab:\r "};
  for (int round = 0; round < 20000; round++) {
    const std::string& abc = alphabets[round % 4];
    std::string pat = random_text(rng, abc, 1 + rng() % 6);
    std::string text = random_text(rng, abc, rng() % 40);
    if (rng() % 2 && text.size() > pat.size())  // plant the pattern often enough
      text.replace(rng() % (text.size() - pat.size()), pat.size(), pat);
    char stop = "\rab"[rng() % 3];
    Found want = naive(text, pat, stop);
    Found got = search(text, pat, stop);
    ASSERT_TRUE(same(got, want)) << "text '" << text << "' pattern '" << pat << "'";
  }
}

TEST(PatternMatch, StopsOnlyAfterABlankLineOnRandomHeaderTexts) {
  // With line ends about, the search may end early, but only where CR LF CR LF came before
  // the leftmost occurrence; otherwise it agrees with the plain search.
  std::mt19937 rng(11);
  int stopped_early = 0;
  for (int round = 0; round < 20000; round++) {
    std::string pat = random_text(rng, "ab:\r\n", 1 + rng() % 5);
    std::string text = random_text(rng, "ab:\r\n\r\n", rng() % 48);
    if (rng() % 2 && text.size() > pat.size())
      text.replace(rng() % (text.size() - pat.size()), pat.size(), pat);
    Found want = naive(text, pat, '\r');
    Found got = search(text, pat, '\r');
    if (got.ret == 0 && want.ret != 0) {
      stopped_early++;
      ASSERT_TRUE(blank_line_before(text, want.offset - pat.size()))
          << "stopped without a blank line: " << testing::PrintToString(text) << " / "
          << testing::PrintToString(pat);
      continue;
    }
    ASSERT_TRUE(same(got, want)) << testing::PrintToString(text) << " / "
                                 << testing::PrintToString(pat);
  }
  EXPECT_GT(stopped_early, 0);  // the inputs do reach the blank-line rule
}

// qarn_check_wan on responses from a web server to a LAN client.
class WanCheck : public ::testing::Test {
 protected:
  void SetUp() override { qarn_debug = 0; }
  void TearDown() override { qarn_debug = 0; }

  static std::string response(const std::string& status, const std::string& headers) {
    return "HTTP/1.1 " + status + "\r\nServer: test\r\n" + headers + "\r\n";
  }

  // The client's request opens the connection; the response comes back as its first reply.
  qarn_test::Outcome respond(const std::string& payload, uint16_t port = 80,
                             uint32_t mark = 0) {
    const uint16_t client = next_client++;  // a new connection each time
    h.run(qarn_test::tcp("192.168.1.10", client, "203.0.113.5", port, "GET / HTTP/1.1\r\n\r\n"),
          noop);
    if (mark) relayk_conn_set(relayk_conn_count(), RELAYK_MARK, mark);
    return h.run(qarn_test::tcp("203.0.113.5", port, "192.168.1.10", client, payload), wan);
  }

  CheckHarness h;
  uint16_t next_client = 40000;
  qarn_test::Check noop = [](sk_buff*, nf_conn*, qarn_flow*) { return 0; };
  qarn_test::Check wan = [](sk_buff* skb, nf_conn* ct, qarn_flow* flow) {
    return flow ? qarn_check_wan(skb, ct, flow, reinterpret_cast<iphdr*>(skb->data)) : -9;
  };
};

constexpr uint32_t kPage = 0x42c01, kVideo = 0x7d001, kDownload = 0x9d802, kRanged = 0xae404;

struct TypeRow {
  const char* situation;
  std::string status;
  std::string headers;
  int ret;
  uint32_t mark;  // 0: left alone
};

TEST_F(WanCheck, ContentTypeRules) {
  const std::vector<TypeRow> rows = {
      {"html page", "200 OK", "Content-Type: text/html\r\n", 0, kPage},
      {"text with a charset is a page, never a download", "200 OK",
       "Content-Type: text/plain;charset=utf-8\r\n", 0, kPage},
      {"image", "200 OK", "Content-Type: image/png\r\n", 0, kPage},
      {"'text' alone is too short for rule 1", "200 OK", "Content-Type: text\r\n", -1, 0},
      {"javascript", "200 OK", "Content-Type: application/javascript\r\n", 0, kPage},
      {"x-javascript", "200 OK", "Content-Type: application/x-javascript\r\n", 0, kPage},
      {"'application/x-ja' alone is too short for rule 2", "200 OK",
       "Content-Type: application/x-ja\r\n", -1, 0},
      {"video", "200 OK", "Content-Type: video/mp4\r\n", 0, kVideo},
      {"audio", "200 OK", "Content-Type: audio/mpeg\r\n", 0, kVideo},
      {"flash player", "200 OK", "Content-Type: application/x-shockwave-flash\r\n", 0, kVideo},
      {"'video' alone is too short for rule 3", "200 OK", "Content-Type: video\r\n", -1, 0},
      {"vendor type", "200 OK", "Content-Type: application/vnd.android.package-archive\r\n",
       0, kDownload},
      {"json without charset is no known type", "200 OK", "Content-Type: application/json\r\n",
       -1, 0},
      {"unknown type", "200 OK", "Content-Type: font/woff2\r\n", -1, 0},
      {"header names are case sensitive", "200 OK", "content-type: text/html\r\n", -1, 0},
      {"empty value falls through to X-Requester", "200 OK",
       "Content-Type: \r\nX-Requester: GRPS-client\r\n", 0, kVideo},
      {"unknown type falls through to X-Requester", "200 OK",
       "Content-Type: font/woff2\r\nX-Requester: GRPSx\r\n", 0, kVideo},
      {"X-Requester alone", "200 OK", "X-Requester: GRPS1\r\n", 0, kVideo},
      {"X-Requester of exactly 'GRPS' is too short", "200 OK", "X-Requester: GRPS\r\n", -1, 0},
      {"X-Requester of another value", "200 OK", "X-Requester: GPRS1\r\n", -1, 0},
      {"no header at all", "200 OK", "Connection: close\r\n", -1, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    auto out = respond(response(r.status, r.headers));
    EXPECT_EQ(out.check, r.ret);
    EXPECT_EQ(out.relayk.mark, r.mark);
  }
}

// Every download type: status 200 is a download, 206 (bytes 9 to 11) a ranged download.
TEST_F(WanCheck, EveryDownloadTypeIsADownload) {
  const char* types[] = {"application/zip", "application/octet-stream",
                         "application/x-iso9660-image", "application/x-zip-compressed",
                         "application/x-rar-compressed", "application/x-msdownload",
                         "application/vnd.", "application/download",
                         "application/multipart-formdata", "application/json;charset=utf-8"};
  for (const char* t : types) {
    SCOPED_TRACE(t);
    auto out = respond(response("200 OK", std::string("Content-Type: ") + t + "\r\n"));
    EXPECT_EQ(out.check, 0);
    EXPECT_EQ(out.relayk.mark, kDownload);
    out = respond(response("206 Partial Content", std::string("Content-Type: ") + t + "\r\n"));
    EXPECT_EQ(out.relayk.mark, kRanged);
  }
}

TEST_F(WanCheck, KeepsTheMarksHighBits) {
  auto out = respond(response("200 OK", "Content-Type: text/html\r\n"), 80, 0xffc00000u);
  EXPECT_EQ(out.relayk.mark, 0xffc00000u | kPage);
}

TEST_F(WanCheck, OnlyEarlyTcpRepliesFromWebPorts) {
  const std::string page = response("200 OK", "Content-Type: text/html\r\n");
  EXPECT_EQ(respond(page, 8080).relayk.mark, kPage);
  EXPECT_EQ(respond(page, 81).check, -1);

  // the tenth reply packet is too late, the ninth is not
  h.run(qarn_test::tcp("192.168.1.11", 40001, "203.0.113.6", 80, "GET /"), noop);
  const Packet reply = qarn_test::tcp("203.0.113.6", 80, "192.168.1.11", 40001, page);
  relayk_conn_set(relayk_conn_count(), RELAYK_REPLY_PACKETS, 8);
  auto ninth = h.run(reply, wan);
  EXPECT_EQ(ninth.check, 0);
  relayk_conn_set(relayk_conn_count(), RELAYK_MARK, 0);
  auto tenth = h.run(reply, wan);
  EXPECT_EQ(tenth.check, -1);
  EXPECT_EQ(tenth.relayk.mark, 0u);

  // a UDP datagram that looks like a response
  h.run(qarn_test::udp("192.168.1.12", 40002, "203.0.113.7", 80, "x"), noop);
  EXPECT_EQ(h.run(qarn_test::udp("203.0.113.7", 80, "192.168.1.12", 40002, page), wan).check,
            -1);
}

TEST_F(WanCheck, ShortAndForeignPayloadsWithTraces) {
  qarn_debug = QARN_DEBUG_HTTP;
  h.log();
  EXPECT_EQ(respond("HTTP/1.1 200 OK\r\n\r\n").check, -1);  // 19 bytes
  EXPECT_EQ(h.log(), "[qarn_check_http]:677 len:19, little the 20\n");
  EXPECT_EQ(respond("SSH-2.0-OpenSSH_9.0\r\n").check, -1);
  EXPECT_EQ(h.log(), "[qarn_check_http]:684 is not HTTP packet!\n");
  // exactly 20 bytes get past the length test
  EXPECT_EQ(respond("HTTP/1.1 200 OK\r\n\r\n.").check, -1);
  EXPECT_EQ(h.log(), "");
}

TEST_F(WanCheck, TracesOnlyUnderTheirBits) {
  const std::string page = response("200 OK", "Content-Type: text/html\r\n");
  const std::string zip = response("200 OK", "Content-Type: application/zip\r\n");
  const std::string ranged = response("206 Partial Content", "Content-Type: application/zip\r\n");
  h.log();
  respond(page);
  respond(zip);
  EXPECT_EQ(h.log(), "");

  qarn_debug = QARN_DEBUG_HTTP;
  respond(page);
  EXPECT_EQ(h.log(),
            "[qarn_check_http]:694 match the Content-Type: , checklen:9, offset: text/html\n"
            "[qarn_check_http]:706 checklen:9, HTTP_WEB_PAGE\n\n");
  respond(response("200 OK", "Content-Type: application/x-javascript\r\n"));
  EXPECT_NE(h.log().find("[qarn_check_http]:713 checklen:24, HTTP_WEB_PAGE\n\n"),
            std::string::npos);
  respond(response("200 OK", "Content-Type: video/mp4\r\n"));
  EXPECT_NE(h.log().find("[qarn_check_http]:722 checklen:9, HTTP_WEB_VIDEO\n\n"),
            std::string::npos);
  respond(ranged);
  EXPECT_NE(h.log().find("[qarn_check_http]:757 checklen:15, HTTP_WEB_P2P\n\n"),
            std::string::npos);
  respond(zip);
  std::string log = h.log();
  EXPECT_NE(log.find("[qarn_check_http]:762 checklen:15, HTTP_WEB_DOWNLOAD\n\n"),
            std::string::npos);
  EXPECT_EQ(log.find("web_download test"), std::string::npos);

  qarn_debug = QARN_DEBUG_DOWNLOAD;
  respond(zip);
  EXPECT_EQ(h.log(), "qarn_check_wan-1335:web_download test\n");
}

TEST_F(WanCheck, ResponseCutShortIsNotClassified) {
  // the value runs to the end of the packet: no stop byte, so no Content-Type rule applies
  auto out = respond("HTTP/1.1 200 OK\r\nContent-Type: application/octet-str");
  EXPECT_EQ(out.check, -1);
  EXPECT_EQ(out.relayk.mark, 0u);
  // a download type longer than a value that the packet ends right after
  out = respond("HTTP/1.1 200 OK\r\nContent-Type: application/x-iso\r");
  EXPECT_EQ(out.check, -1);
}

}  // namespace
