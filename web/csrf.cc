#include "csrf.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"

namespace web {
namespace {

constexpr size_t kKeySize = 32;

std::string mac_hex(const std::string& key, const std::string& user, int64_t issued) {
  const std::string data = "portal-web admin\n" + user + "\n" + std::to_string(issued);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len);
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < len; ++i) {
    s += kHex[out[i] >> 4];
    s += kHex[out[i] & 15];
  }
  return s;
}

// Reads the key from an existing file; false when the file is absent or not fit to hold it.
bool read_key(const std::string& path, std::string* key) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  unsigned char buf[kKeySize];
  const bool fit = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                   (st.st_mode & 077) == 0 && st.st_size == static_cast<off_t>(kKeySize) &&
                   read(fd, buf, sizeof(buf)) == static_cast<ssize_t>(sizeof(buf));
  close(fd);
  if (!fit) {
    errno = EPERM;
    return false;
  }
  key->assign(reinterpret_cast<const char*>(buf), sizeof(buf));
  return true;
}

bool make_key(const std::string& path) {
  unsigned char buf[kKeySize];
  if (RAND_bytes(buf, sizeof(buf)) != 1) return false;
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);  // mode 0600, never through a link
  if (fd < 0) return false;
  const bool written = write(fd, buf, sizeof(buf)) == static_cast<ssize_t>(sizeof(buf)) &&
                       fsync(fd) == 0;
  close(fd);
  // link() never replaces: of two pages making a key at once, one key wins.
  const bool linked = written && link(temp.c_str(), path.c_str()) == 0;
  const bool lost_race = !linked && written && errno == EEXIST;
  unlink(temp.c_str());
  return linked || lost_race;
}

}  // namespace

std::string key_path() {
  const char* p = std::getenv("PORTAL_WEB_KEY");
  if (p && *p) return p;
  return core::fixed_path("/tmp/portal-web.key");
}

bool load_key(const std::string& path, std::string* key) {
  if (read_key(path, key)) return true;
  if (errno != ENOENT) return false;
  return make_key(path) && read_key(path, key);
}

std::string issue_token(const std::string& key, const std::string& user, int64_t now) {
  return std::to_string(now) + "-" + mac_hex(key, user, now);
}

bool token_valid(const std::string& key, const std::string& user, const std::string& token,
                 int64_t now) {
  const size_t dash = token.find('-');
  if (dash == std::string::npos || dash == 0 || dash > 19) return false;
  int64_t issued = 0;
  for (size_t i = 0; i < dash; ++i) {
    if (token[i] < '0' || token[i] > '9') return false;
    issued = issued * 10 + (token[i] - '0');
  }
  if (issued > now + 60 || now - issued > kTokenLifetime) return false;
  const std::string want = mac_hex(key, user, issued);
  const std::string got = token.substr(dash + 1);
  return got.size() == want.size() && CRYPTO_memcmp(got.data(), want.data(), want.size()) == 0;
}

}  // namespace web
