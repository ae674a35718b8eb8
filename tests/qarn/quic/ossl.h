// OpenSSL's side of the QUIC tests: HKDF-Expand-Label and AES-128 of single blocks, to check
// the module's ciphers against and to protect the Initial packets the tests build.
#ifndef TESTS_QARN_QUIC_OSSL_H
#define TESTS_QARN_QUIC_OSSL_H

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ossl {

using Bytes = std::vector<uint8_t>;

// HKDF-Expand with TLS 1.3's HkdfLabel for label and an empty context.
inline Bytes ExpandLabel(const Bytes& secret, const std::string& label, size_t len) {
  std::string full = "tls13 " + label;
  Bytes info = {0, static_cast<uint8_t>(len), static_cast<uint8_t>(full.size())};
  info.insert(info.end(), full.begin(), full.end());
  info.push_back(0);
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  Bytes out(len);
  size_t n = len;
  EXPECT_EQ(EVP_PKEY_derive_init(c), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_hkdf_mode(c, EVP_PKEY_HKDEF_MODE_EXPAND_ONLY), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_hkdf_md(c, EVP_sha256()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set1_hkdf_key(c, secret.data(), static_cast<int>(secret.size())), 1);
  EXPECT_EQ(EVP_PKEY_CTX_add1_hkdf_info(c, info.data(), static_cast<int>(info.size())), 1);
  EXPECT_EQ(EVP_PKEY_derive(c, out.data(), &n), 1);
  EVP_PKEY_CTX_free(c);
  return out;
}

// AES-128 of whole blocks (ECB).
inline Bytes Aes128(const Bytes& key, const Bytes& in) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 16);
  int n = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, key.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EXPECT_EQ(EVP_EncryptUpdate(c, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
  EVP_CIPHER_CTX_free(c);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace ossl

#endif
