// QUIC version 1 client Initial packets built here with OpenSSL (HKDF, AES-128-GCM, header
// protection), read through the hook in extended mode: the server name found wherever it
// lies whole in one CRYPTO frame, missed when split, and every packet the reader cannot read
// still marked as QUIC as before; the default mode marks nothing of it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ossl.h"
#include "qarn_fixture.h"

namespace qarn_test {
namespace {

constexpr uint32_t kServer = Ip(203, 0, 113, 30);
constexpr uint32_t kQuic = 0x42c07;       // quic
constexpr uint32_t kQuicVideo = 0x7d003;  // quic-video
constexpr uint32_t kVersion1 = 1;

Bytes& Add(Bytes& a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Be(uint64_t v, int n) {
  Bytes b;
  for (int i = n - 1; i >= 0; i--) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}

// A variable-length integer in its shortest form, or n bytes when n is given.
Bytes Varint(uint64_t v, int n = 0) {
  if (!n) n = v < 64 ? 1 : v < 16384 ? 2 : v < (1u << 30) ? 4 : 8;
  Bytes b = Be(v, n);
  b[0] |= static_cast<uint8_t>((n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3) << 6);
  return b;
}

// The Initial secret of one side ("client in" or "server in").
Bytes InitialSecret(const Bytes& dcid, const std::string& side) {
  static const Bytes salt = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                             0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  Bytes prk(32);
  size_t n = prk.size();
  EVP_PKEY_derive_init(c);
  EVP_PKEY_CTX_set_hkdf_mode(c, EVP_PKEY_HKDEF_MODE_EXTRACT_ONLY);
  EVP_PKEY_CTX_set_hkdf_md(c, EVP_sha256());
  EVP_PKEY_CTX_set1_hkdf_salt(c, salt.data(), static_cast<int>(salt.size()));
  EVP_PKEY_CTX_set1_hkdf_key(c, dcid.data(), static_cast<int>(dcid.size()));
  EXPECT_EQ(EVP_PKEY_derive(c, prk.data(), &n), 1);
  EVP_PKEY_CTX_free(c);
  return ossl::ExpandLabel(prk, side, 32);
}

// Ciphertext and tag.
Bytes Gcm(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& plain) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  Bytes out(plain.size() + 16);
  int n = 0;
  EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  EVP_EncryptInit_ex(c, nullptr, nullptr, key.data(), nonce.data());
  EVP_EncryptUpdate(c, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
  EVP_EncryptUpdate(c, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(c, out.data() + n, &n);
  EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size());
  EVP_CIPHER_CTX_free(c);
  return out;
}

struct Initial {
  Bytes dcid = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
  Bytes scid = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t version = kVersion1;
  std::string keys = "client in";
  uint32_t pn = 0;
  int pn_len = 2;
  size_t size = 1200;  // the UDP payload, padded to it
  Bytes token;
};

// A protected Initial packet carrying frames, padded with PADDING frames.
Bytes Protect(const Initial& in, const Bytes& frames) {
  Bytes head = {static_cast<uint8_t>(0xc0 | (in.pn_len - 1))};
  Add(head, Be(in.version, 4));
  head.push_back(static_cast<uint8_t>(in.dcid.size()));
  Add(head, in.dcid);
  head.push_back(static_cast<uint8_t>(in.scid.size()));
  Add(head, in.scid);
  Add(head, Varint(in.token.size()));
  Add(head, in.token);
  size_t rest = in.size - head.size() - 2;  // the length field takes two bytes
  Add(head, Varint(rest, 2));
  size_t pn_off = head.size();
  Add(head, Be(in.pn, in.pn_len));
  Bytes plain = frames;
  EXPECT_LE(plain.size(), rest - in.pn_len - 16) << "the frames do not fit";
  plain.resize(rest - in.pn_len - 16, 0);
  Bytes secret = InitialSecret(in.dcid, in.keys);
  Bytes key = ossl::ExpandLabel(secret, "quic key", 16),
        iv = ossl::ExpandLabel(secret, "quic iv", 12),
        hp = ossl::ExpandLabel(secret, "quic hp", 16);
  for (int i = 0; i < 4; i++) iv[11 - i] ^= static_cast<uint8_t>(in.pn >> (8 * i));
  Bytes pkt = head;
  Add(pkt, Gcm(key, iv, head, plain));
  Bytes mask = ossl::Aes128(hp, Bytes(pkt.begin() + pn_off + 4, pkt.begin() + pn_off + 20));
  pkt[0] ^= mask[0] & 0x0f;
  for (int i = 0; i < in.pn_len; i++) pkt[pn_off + i] ^= mask[1 + i];
  return pkt;
}

// A client hello (handshake message) with a key share before its server name (none when the
// name is empty); a browser's post-quantum share makes it longer than one Initial packet.
Bytes Hello(const std::string& name, size_t share) {
  Bytes exts = {0x00, 0x0b, 0x00, 0x02, 0x01, 0x00};  // ec point formats
  Add(exts, {0x00, 0x33});                            // key share
  Add(exts, Be(share, 2));
  exts.resize(exts.size() + share, 0x5a);
  if (!name.empty()) {
    Add(exts, {0x00, 0x00});  // server name
    Add(exts, Be(name.size() + 5, 2));
    Add(exts, Be(name.size() + 3, 2));
    exts.push_back(0);
    Add(exts, Be(name.size(), 2));
    exts.insert(exts.end(), name.begin(), name.end());
  }
  Add(exts, {0x00, 0x2b, 0x00, 0x03, 0x02, 0x03, 0x04});  // supported versions
  Bytes body = {0x03, 0x03};
  body.resize(2 + 32, 0x77);                        // random
  body.push_back(0);                                // no session id
  Add(body, {0x00, 0x02, 0x13, 0x01, 0x01, 0x00});  // a suite, no compression
  Add(body, Be(exts.size(), 2));
  Add(body, exts);
  Bytes hs = {0x01};
  Add(hs, Be(body.size(), 3));
  return Add(hs, body);
}

// The offset of the name's first byte in a hello.
size_t NameAt(const Bytes& hello, const std::string& name) {
  std::string s(hello.begin(), hello.end());
  return s.find(name);
}

Bytes Crypto(const Bytes& hello, size_t from, size_t to) {
  Bytes f = {0x06};
  Add(f, Varint(from));
  Add(f, Varint(to - from));
  return f.insert(f.end(), hello.begin() + static_cast<long>(from),
                  hello.begin() + static_cast<long>(to)),
         f;
}

class QuicTest : public QarnTest {
 protected:
  // The connection's mark after the client's packets (and the default mode's beside it).
  uint32_t Marks(const std::vector<Bytes>& payloads, uint32_t plain = 0) {
    for (int extended : {0, 1}) {
      EXPECT_EQ(kstub_param_set("qarn_extended", extended), 0);
      uint16_t port = port_++;
      relayk_result last{};
      for (const Bytes& b : payloads) last = Send(Udp(kLan, kServer, port, 443, b));
      uint32_t mark = relayk_conn_get(last.conn, RELAYK_MARK);
      if (!extended) {
        EXPECT_EQ(mark, plain) << "the default mode";
      } else {
        EXPECT_EQ(kstub_param_set("qarn_extended", 0), 0);
        return mark;
      }
    }
    return ~0u;
  }
  uint16_t port_ = 40000;
};

TEST_F(QuicTest, NameInOnePacketIsLookedUp) {
  const std::string video = "rr4---sn-4g5e6nz7.GoogleVideo.com", other = "www.example.org";
  Initial in;
  Bytes h = Hello(video, 200);
  EXPECT_EQ(Marks({Protect(in, Crypto(h, 0, h.size()))}), kQuicVideo);
  h = Hello(other, 200);
  EXPECT_EQ(Marks({Protect(in, Crypto(h, 0, h.size()))}), kQuic);
  // a hello without a name at all is read to its end and stays quic
  h = Hello("", 200);
  EXPECT_EQ(Marks({Protect(in, Crypto(h, 0, h.size()))}), kQuic);
  // another connection ID, a four-byte packet number, a token, a larger datagram
  in.dcid = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  in.scid = {};
  in.pn = 0x01020304;
  in.pn_len = 4;
  in.token = Bytes(90, 0xee);
  in.size = 1350;
  h = Hello("youtube.com", 200);
  EXPECT_EQ(Marks({Protect(in, Crypto(h, 0, h.size()))}), kQuicVideo);
}

TEST_F(QuicTest, NameInAReorderedFrameAfterPingAndPadding) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 300);
  size_t cut = NameAt(h, name) - 20;  // the name lies whole in the frame after the cut
  Bytes frames = Crypto(h, cut, h.size());
  frames.insert(frames.begin(), {0x01, 0x00, 0x00, 0x00});  // PING and PADDING first
  Add(frames, {0x01});
  Add(frames, Crypto(h, 0, cut));
  EXPECT_EQ(Marks({Protect(Initial{}, frames)}), kQuicVideo);
  // the same with the frames the other way round, and the name in the first frame
  Bytes back = Crypto(h, 0, NameAt(h, name) + name.size() + 3);
  Add(back, Crypto(h, NameAt(h, name) + name.size() + 3, h.size()));
  EXPECT_EQ(Marks({Protect(Initial{}, back)}), kQuicVideo);
}

TEST_F(QuicTest, NameSplitBetweenFramesIsMissed) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 300);
  size_t cut = NameAt(h, name) + 4;
  Bytes frames = Crypto(h, cut, h.size());
  Add(frames, Crypto(h, 0, cut));
  EXPECT_EQ(Marks({Protect(Initial{}, frames)}), kQuic);
  // the extension's head split from its name
  frames = Crypto(h, 0, NameAt(h, name));
  Add(frames, Crypto(h, NameAt(h, name), h.size()));
  EXPECT_EQ(Marks({Protect(Initial{}, frames)}), kQuic);
}

TEST_F(QuicTest, HelloOverTwoPacketsIsReadInBoth) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 1000);  // the name past the first packet's frame
  Initial first, second;
  second.pn = 1;
  size_t cut = 1000;
  ASSERT_LT(cut, NameAt(h, name) - 9);
  Bytes p1 = Protect(first, Crypto(h, 0, cut)), p2 = Protect(second, Crypto(h, cut, h.size()));
  EXPECT_EQ(Marks({p1}), 0u) << "the first packet leaves the connection to the second";
  EXPECT_EQ(Marks({p1, p2}), kQuicVideo);
  // the second packet first: it holds the name
  EXPECT_EQ(Marks({p2, p1}), kQuicVideo);
  // the name split between the packets: both read, and the connection left to what follows:
  // the server's answer, or the client's fifth packet, settles it as quic
  cut = NameAt(h, name) + 3;
  p1 = Protect(first, Crypto(h, 0, cut));
  p2 = Protect(second, Crypto(h, cut, h.size()));
  EXPECT_EQ(Marks({p1, p2}), 0u);
  Initial server;
  server.keys = "server in";
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  Send(Udp(kLan, kServer, 44000, 443, p1));
  EXPECT_EQ(Send(Udp(kLan, kServer, 44000, 443, p2)).mark, 0u);
  EXPECT_EQ(Send(Udp(kServer, kLan, 443, 44000, Protect(server, Crypto(h, 0, 90)))).mark, kQuic);
  for (int i = 0; i < 4; i++) Send(Udp(kLan, kServer, 44001, 443, p1));
  EXPECT_EQ(Send(Udp(kLan, kServer, 44001, 443, p1)).mark, kQuic);
  // a first packet without the name after the server has answered settles it at once
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  Send(Udp(kLan, kServer, 45000, 443, Bytes(40, 0x41)));  // short headers: no Initial
  Send(Udp(kServer, kLan, 443, 45000, Bytes(40, 0x42)));
  relayk_result r = Send(Udp(kLan, kServer, 45000, 443, p1));
  EXPECT_EQ(relayk_conn_get(r.conn, RELAYK_MARK), kQuic);
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

TEST_F(QuicTest, WhatCannotBeReadStaysQuic) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 200);
  Bytes frames = Crypto(h, 0, h.size());
  Bytes good = Protect(Initial{}, frames);

  // the tag is not checked: a changed tag still reads
  Bytes tag = good;
  tag[tag.size() - 1] ^= 1;
  EXPECT_EQ(Marks({tag}), kQuicVideo);
  // a changed ciphertext byte in the frames' first block does not
  Bytes broken = good;
  broken[30] ^= 0x80;
  EXPECT_EQ(Marks({broken}), kQuic);
  // keys of another connection ID; the server's keys
  Initial other;
  other.dcid = {1, 1, 1, 1, 1, 1, 1, 1};
  Bytes wrong = Protect(other, frames);
  wrong[6] ^= 0xff;  // the packet names a connection ID it was not protected with
  EXPECT_EQ(Marks({wrong}), kQuic);
  Initial server;
  server.keys = "server in";
  EXPECT_EQ(Marks({Protect(server, frames)}), kQuic);
  // a draft version is quic as before; version 2 is not recognised at all
  Initial draft;
  draft.version = 0xff00001d;
  EXPECT_EQ(Marks({Protect(draft, frames)}), kQuic);
  Initial v2;
  v2.version = 0x6b3343cf;
  EXPECT_EQ(Marks({Protect(v2, frames)}), 0u);
  // a length field beyond the datagram; a connection ID longer than 20 bytes
  Bytes longer = good;
  longer[6 + 8 + 1 + 8 + 1] = 0x7f;  // the length field's high byte
  EXPECT_EQ(Marks({longer}), kQuic);
  Bytes cid = good;
  cid[5] = 21;
  EXPECT_EQ(Marks({cid}), kQuic);
}

TEST_F(QuicTest, CutCaptureAndServerPackets) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 200);
  Bytes good = Protect(Initial{}, Crypto(h, 0, h.size()));
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  // a capture cut before the name: the UDP and IP lengths still say 1200 bytes
  for (size_t keep : {size_t{28 + 30}, size_t{28 + 200}, size_t{28 + 40 + NameAt(h, name)}}) {
    Bytes cut = Udp(kLan, kServer, static_cast<uint16_t>(46000 + keep), 443, good);
    cut.resize(keep);
    EXPECT_EQ(Send(cut).mark, kQuic) << keep;
  }
  // the server's Initial, from port 443, with the server's keys
  Initial server;
  server.keys = "server in";
  EXPECT_EQ(Send(Udp(kServer, kLan, 443, 47000, Protect(server, Crypto(h, 0, 100)))).mark, kQuic);
  // a client Initial sent from port 443 is not read as a client's
  EXPECT_EQ(Send(Udp(kLan, kServer, 443, 47001, good)).mark, kQuic);
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

// Changed bytes anywhere (header, connection IDs, lengths, ciphertext) and cut captures: the
// reader reads only what the packet holds and marks nothing but quic, quic-video or nothing.
TEST_F(QuicTest, ChangedAndCutPacketsAreReadSafely) {
  const std::string name = "www.youtube.com";
  Bytes h = Hello(name, 300);
  Bytes frames = Crypto(h, 0, 100);
  Add(frames, {0x01, 0x00});
  Add(frames, Crypto(h, 100, h.size()));
  Bytes good = Protect(Initial{}, frames);
  std::mt19937 rng(7);
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  for (int i = 0; i < 3000; i++) {
    Bytes b = good;
    for (unsigned n = rng() % 4 + 1; n > 0; n--)
      b[rng() % (i % 2 ? 64 : b.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
    Bytes pkt = Udp(kLan, kServer, static_cast<uint16_t>(20000 + i % 5000), 443, b);
    if (i % 3 == 0) pkt.resize(28 + rng() % b.size());
    uint32_t mark = Send(pkt).mark;
    ASSERT_TRUE(mark == 0 || mark == kQuic || mark == kQuicVideo) << i << ": " << mark;
  }
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

}  // namespace
}  // namespace qarn_test
