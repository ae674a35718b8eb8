// Byte layout of messages built with the netlink attribute helpers, and the capacity edges:
// the last piece that fits and the first that does not, with the bytes beyond untouched.
#include "nlattr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSentinel = 0xA5;

void put16(Bytes* b, uint16_t v) {
  uint8_t raw[2];
  std::memcpy(raw, &v, 2);
  b->insert(b->end(), raw, raw + 2);
}

void put32(Bytes* b, uint32_t v) {
  uint8_t raw[4];
  std::memcpy(raw, &v, 4);
  b->insert(b->end(), raw, raw + 4);
}

// A netlink header in host byte order.
Bytes header(uint32_t len, uint16_t type) {
  Bytes b;
  put32(&b, len);
  put16(&b, type);
  put16(&b, 0);  // flags
  put32(&b, 0);  // sequence
  put32(&b, 0);  // port id
  return b;
}

void append(Bytes* b, std::initializer_list<uint8_t> bytes) { b->insert(b->end(), bytes); }

// A buffer whose every byte is the sentinel, so stray writes show.
struct Buffer {
  explicit Buffer(size_t n) : bytes(n, kSentinel) {}
  Bytes bytes;
  void* data() { return bytes.data(); }
  Bytes head(size_t n) const { return Bytes(bytes.begin(), bytes.begin() + n); }
  bool untouched_from(size_t off) const {
    for (size_t i = off; i < bytes.size(); ++i)
      if (bytes[i] != kSentinel) return false;
    return true;
  }
};

TEST(NlattrLayout, AttributesArePaddedWithZerosToFourBytes) {
  struct Row {
    const char* situation;
    Bytes data;
    Bytes attr;  // what lands after the header
  };
  const Row rows[] = {
      {"empty data", {}, {4, 0, 9, 0}},
      {"one byte", {0x11}, {5, 0, 9, 0, 0x11, 0, 0, 0}},
      {"three bytes", {1, 2, 3}, {7, 0, 9, 0, 1, 2, 3, 0}},
      {"four bytes need no padding", {1, 2, 3, 4}, {8, 0, 9, 0, 1, 2, 3, 4}},
      {"five bytes", {1, 2, 3, 4, 5}, {9, 0, 9, 0, 1, 2, 3, 4, 5, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    Buffer buf(64);
    nlmsghdr* hdr = nlmsg_put_header(buf.data(), 64, 28);
    ASSERT_EQ(nla_attr_put(hdr, 64, 9, row.data.size(), row.data.data()), 0);
    Bytes want = header(static_cast<uint32_t>(16 + row.attr.size()), 28);
    want.insert(want.end(), row.attr.begin(), row.attr.end());
    EXPECT_EQ(buf.head(want.size()), want);
    EXPECT_TRUE(buf.untouched_from(want.size()));
  }
}

TEST(NlattrLayout, WholeMessageWithFamilyHeaderAndTwoAttributes) {
  Buffer buf(128);
  nlmsghdr* hdr = nlmsg_put_header(buf.data(), 128, 28);
  auto* fam = static_cast<uint8_t*>(nlmsg_put_extra_header(hdr, 128, 28));
  ASSERT_NE(fam, nullptr);
  fam[12] = 6;
  const uint8_t name[] = {2, 'w', 'x', 2, 'q', 'q', 3, 'c', 'o', 'm'};
  const uint8_t addr[] = {10, 0, 0, 1};
  ASSERT_EQ(nla_attr_put(hdr, 128, 8, sizeof name, name), 0);
  ASSERT_EQ(nla_attr_put(hdr, 128, 1, sizeof addr, addr), 0);

  Bytes want = header(16 + 28 + 16 + 8, 28);
  Bytes family(28, 0);
  family[12] = 6;
  want.insert(want.end(), family.begin(), family.end());
  append(&want, {14, 0, 8, 0, 2, 'w', 'x', 2, 'q', 'q', 3, 'c', 'o', 'm', 0, 0});
  append(&want, {8, 0, 1, 0, 10, 0, 0, 1});
  EXPECT_EQ(hdr->nlmsg_len, want.size());
  EXPECT_EQ(buf.head(want.size()), want);
  EXPECT_TRUE(buf.untouched_from(want.size()));
}

// Each piece is tried with a capacity that holds it exactly and one byte less; the smaller
// one must fail, leave the message as it was and write nothing.
TEST(NlattrCapacity, LastPieceThatFitsAndFirstThatDoesNot) {
  static const uint8_t data[5] = {1, 2, 3, 4, 5};
  struct Row {
    const char* situation;
    size_t exact;  // capacity that holds the piece exactly
    bool (*put)(nlmsghdr*, size_t cap);
  };
  const Row rows[] = {
      {"family header", 16 + 28,
       [](nlmsghdr* h, size_t cap) { return nlmsg_put_extra_header(h, cap, 28) != nullptr; }},
      {"family header rounded up", 16 + 8,
       [](nlmsghdr* h, size_t cap) { return nlmsg_put_extra_header(h, cap, 5) != nullptr; }},
      {"attribute with padding", 16 + 12,
       [](nlmsghdr* h, size_t cap) { return nla_attr_put(h, cap, 8, 5, data) == 0; }},
      {"empty attribute", 16 + 4,
       [](nlmsghdr* h, size_t cap) { return nla_attr_put(h, cap, 8, 0, nullptr) == 0; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    for (size_t cap : {row.exact, row.exact - 1}) {
      Buffer buf(row.exact + 16);
      nlmsghdr* hdr = nlmsg_put_header(buf.data(), cap, 28);
      ASSERT_NE(hdr, nullptr);
      const bool fits = cap == row.exact;
      EXPECT_EQ(row.put(hdr, cap), fits) << "capacity " << cap;
      EXPECT_EQ(hdr->nlmsg_len, fits ? row.exact : 16u);
      EXPECT_TRUE(buf.untouched_from(fits ? row.exact : 16));
    }
  }
}

TEST(NlattrCapacity, RefusedCallsWriteNothing) {
  uint8_t small[15];
  std::memset(small, kSentinel, sizeof small);
  EXPECT_EQ(nlmsg_put_header(small, sizeof small, 28), nullptr);
  for (uint8_t b : small) EXPECT_EQ(b, kSentinel);
  EXPECT_EQ(nlmsg_put_header(nullptr, 64, 28), nullptr);

  Buffer buf(64);
  nlmsghdr* hdr = nlmsg_put_header(buf.data(), 64, 28);
  EXPECT_EQ(nla_attr_put(hdr, 64, 8, 3, nullptr), -1) << "no data for a non-empty attribute";
  EXPECT_EQ(nlmsg_put_extra_header(hdr, 64, SIZE_MAX), nullptr) << "size that wraps when rounded";
  EXPECT_EQ(nla_attr_put(nullptr, 64, 8, 0, nullptr), -1);
  EXPECT_EQ(nlmsg_put_extra_header(nullptr, 64, 4), nullptr);
  EXPECT_EQ(hdr->nlmsg_len, 16u);
  hdr->nlmsg_len = 65;  // a length the buffer cannot hold
  EXPECT_EQ(nla_attr_put(hdr, 64, 8, 0, nullptr), -1);
  EXPECT_EQ(nlmsg_put_extra_header(hdr, 64, 4), nullptr);
  EXPECT_TRUE(buf.untouched_from(16));
}

TEST(NlattrCapacity, AttributeLengthFieldLimit) {
  const size_t largest = 0xFFFF - 4;
  std::vector<uint8_t> data(largest + 1, 0x42);
  Buffer buf(16 + 4 + largest + 16);
  nlmsghdr* hdr = nlmsg_put_header(buf.data(), buf.bytes.size(), 28);
  EXPECT_EQ(nla_attr_put(hdr, buf.bytes.size(), 8, largest + 1, data.data()), -1);
  EXPECT_EQ(hdr->nlmsg_len, 16u);
  ASSERT_EQ(nla_attr_put(hdr, buf.bytes.size(), 8, largest, data.data()), 0);
  uint16_t nla_len;
  std::memcpy(&nla_len, buf.bytes.data() + 16, 2);
  EXPECT_EQ(nla_len, 0xFFFF);
  EXPECT_EQ(hdr->nlmsg_len, 16 + 0x10000u);  // 0xFFFF rounded up to 4
}

}  // namespace
