// The module's SHA-256, HMAC-SHA256, HKDF-Expand-Label and AES-128 against OpenSSL's on
// random inputs of many lengths, and the Initial keys of RFC 9001's example.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include "recognise/crypto.h"
}

#include "ossl.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Hex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes OsslSha256(const Bytes& m) {
  Bytes out(32);
  unsigned n = 0;
  EXPECT_EQ(EVP_Digest(m.data(), m.size(), out.data(), &n, EVP_sha256(), nullptr), 1);
  return out;
}

Bytes OsslHmac(const Bytes& k, const Bytes& m) {
  Bytes out(32);
  unsigned n = 0;
  EXPECT_NE(
      HMAC(EVP_sha256(), k.data(), static_cast<int>(k.size()), m.data(), m.size(), out.data(), &n),
      nullptr);
  return out;
}

// HKDF-Expand-Label with the secret prepared as an HMAC key.
Bytes OurExpandLabel(const Bytes& secret, const char* label, size_t len) {
  qarn_hmac_key k;
  qarn_hmac_sha256_key(&k, secret.data(), static_cast<unsigned>(secret.size()));
  Bytes out(len);
  qarn_hkdf_expand_label(&k, label, out.data(), static_cast<unsigned>(len));
  return out;
}

Bytes OurSha256InPieces(const Bytes& m, std::mt19937& rng) {
  qarn_sha256 s;
  qarn_sha256_init(&s);
  size_t at = 0;
  while (at < m.size()) {
    size_t n = std::min<size_t>(m.size() - at, rng() % 150);
    qarn_sha256_update(&s, m.data() + at, static_cast<unsigned>(n));
    at += n;
  }
  Bytes out(32);
  qarn_sha256_final(&s, out.data());
  return out;
}

TEST(CryptoTest, Sha256AsOpenSsl) {
  std::mt19937 rng(1);
  for (size_t len = 0; len < 300; len++) {
    Bytes m = Random(rng, len);
    SCOPED_TRACE(len);
    EXPECT_EQ(OurSha256InPieces(m, rng), OsslSha256(m));
  }
  Bytes big = Random(rng, 5000);
  EXPECT_EQ(OurSha256InPieces(big, rng), OsslSha256(big));
}

TEST(CryptoTest, HmacSha256AsOpenSsl) {
  std::mt19937 rng(2);
  for (int i = 0; i < 400; i++) {
    Bytes k = Random(rng, rng() % 150);  // keys shorter and longer than a block
    Bytes m = Random(rng, rng() % 300);
    Bytes ours(32);
    qarn_hmac_sha256(k.data(), static_cast<unsigned>(k.size()), m.data(),
                     static_cast<unsigned>(m.size()), ours.data());
    ASSERT_EQ(ours, OsslHmac(k, m)) << "key " << k.size() << ", message " << m.size();
  }
}

TEST(CryptoTest, ExpandLabelAsOpenSslHkdf) {
  std::mt19937 rng(3);
  const char* labels[] = {"client in", "server in", "quic key", "quic iv", "quic hp", "x"};
  for (int i = 0; i < 120; i++) {
    Bytes secret = Random(rng, 32);
    std::string label = labels[i % 6];
    size_t len = 1 + rng() % 32;
    ASSERT_EQ(OurExpandLabel(secret, label.c_str(), len), ossl::ExpandLabel(secret, label, len))
        << label << " " << len;
  }
}

TEST(CryptoTest, Aes128AsOpenSsl) {
  std::mt19937 rng(4);
  for (int i = 0; i < 2000; i++) {
    Bytes key = Random(rng, 16), in = Random(rng, 16), ours(16);
    qarn_aes128 k;
    qarn_aes128_init(&k, key.data());
    qarn_aes128_encrypt(&k, in.data(), ours.data());
    ASSERT_EQ(ours, ossl::Aes128(key, in)) << i;
  }
  // FIPS-197's example
  Bytes ours(16);
  qarn_aes128 k;
  qarn_aes128_init(&k, Hex("000102030405060708090a0b0c0d0e0f").data());
  qarn_aes128_encrypt(&k, Hex("00112233445566778899aabbccddeeff").data(), ours.data());
  EXPECT_EQ(ours, Hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

// RFC 9001, appendix A.1: the client's Initial keys for Destination Connection ID
// 0x8394c8f03e515708.
TEST(CryptoTest, InitialKeysOfTheRfcExample) {
  Bytes salt = Hex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a");
  Bytes dcid = Hex("8394c8f03e515708");
  Bytes secret(32);
  qarn_hmac_sha256(salt.data(), 20, dcid.data(), 8, secret.data());
  EXPECT_EQ(secret, Hex("7db5df06e7a69e432496adedb00851923595221596ae2ae9fb8115c1e9ed0a44"));
  Bytes client = OurExpandLabel(secret, "client in", 32);
  EXPECT_EQ(client, Hex("c00cf151ca5be075ed0ebfb5c80323c42d6b7db67881289af4008f1f6c357aea"));
  EXPECT_EQ(OurExpandLabel(client, "quic key", 16), Hex("1f369613dd76d5467730efcbe3b1a22d"));
  EXPECT_EQ(OurExpandLabel(client, "quic iv", 12), Hex("fa044b2f42a3fd3b46fb255c"));
  EXPECT_EQ(OurExpandLabel(client, "quic hp", 16), Hex("9f50449e04a0e810283a1e9933adedd2"));
}

}  // namespace
