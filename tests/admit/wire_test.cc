// What admitsim accepts on its command line and how it reads datagrams that are not what the
// daemon should send.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "wire.h"

namespace admit {
namespace {

TEST(AdmitWire, AddressAndMacTexts) {
  struct Row {
    const char* text;
    bool ok;
  } macs[] = {
      {"00:11:22:33:44:55", true}, {"AA:bb:Cc:dD:ee:FF", true}, {"0:1:2:3:4:5", true},
      {"00:11:22:33:44", false},   {"00:11:22:33:44:55:66", false}, {"000:11:22:33:44:55", false},
      {"00-11-22-33-44-55", false}, {"00:11:22:33:44:5g", false}, {"", false},
      {"00:11:22:33:44:", false},
  };
  for (const auto& r : macs) {
    Mac m{};
    EXPECT_EQ(parse_mac(r.text, &m), r.ok) << r.text;
  }
  Mac m{};
  ASSERT_TRUE(parse_mac("a:B:0c:dd:e:f0", &m));
  EXPECT_EQ(mac_text(m), "0a:0b:0c:dd:0e:f0");

  struct AddrRow {
    const char* text;
    bool ok;
  } addrs[] = {{"10.0.0.5", true},  {"255.255.255.255", true}, {"10.0.0", false},
               {"10.0.0.256", false}, {"10.0.0.5 ", false},    {"host", false}};
  for (const auto& r : addrs) {
    uint32_t a = 0;
    EXPECT_EQ(parse_addr(r.text, &a), r.ok) << r.text;
  }
  uint32_t a = 0;
  ASSERT_TRUE(parse_addr("10.1.2.3", &a));
  EXPECT_EQ(a, inet_addr("10.1.2.3"));
  EXPECT_EQ(addr_text(a), "10.1.2.3");

  struct NumRow {
    const char* text;
    bool ok;
    uint32_t value;
  } nums[] = {{"0", true, 0},           {"4294967295", true, 4294967295u}, {"0x10", true, 16},
              {"4294967296", false, 0}, {"-1", false, 0}, {"12a", false, 0}, {"", false, 0},
              {" 1", false, 0}};
  for (const auto& r : nums) {
    uint32_t v = 99;
    EXPECT_EQ(parse_u32(r.text, &v), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(v, r.value) << r.text;
    }
  }
}

TEST(AdmitWire, EventRequests) {
  struct Row {
    std::vector<std::string> words;
    bool ok;
  } rows[] = {
      {{"host-up", "10.0.0.5", "00:11:22:33:44:55", "1"}, true},
      {{"host-up", "10.0.0.5", "00:11:22:33:44:55"}, false},
      {{"host-up", "10.0.0.5", "nomac", "0"}, false},
      {{"host-up", "10.0.0.5", "00:11:22:33:44:55", "kind"}, false},
      {{"host-down", "10.0.0.5"}, true},
      {{"host-down", "10.0.0.5", "extra"}, false},
      {{"recheck", "ten"}, false},
      {{"seen", "10.0.0.5", "00:11:22:33:44:55"}, true},
      {{"raw", "42", "10.0.0.5"}, true},
      {{"raw", "10.0.0.5", "42"}, false},
      {{"raw", "99999999999", "10.0.0.5"}, false},
      {{"reboot"}, false},
      {{}, false},
  };
  for (const auto& r : rows) {
    EventRequest req;
    std::string error;
    const bool ok = parse_event_request(r.words, &req, &error);
    std::string joined;
    for (const auto& w : r.words) joined += w + " ";
    EXPECT_EQ(ok, r.ok) << joined;
    EXPECT_EQ(error.empty(), r.ok) << joined << ": " << error;
  }
}

std::vector<uint8_t> whitelist(uint32_t nl_len, std::vector<uint8_t> attrs) {
  std::vector<uint8_t> m(16 + 28, 0);
  const uint16_t type = 28;
  std::memcpy(&m[4], &type, 2);
  const uint32_t ftype = 1, fsub = 11;
  std::memcpy(&m[16], &ftype, 4);
  std::memcpy(&m[20], &fsub, 4);
  m[28] = 6;
  for (uint8_t c : attrs) m.push_back(c);
  if (nl_len == 0) nl_len = static_cast<uint32_t>(m.size());
  std::memcpy(&m[0], &nl_len, 4);
  return m;
}

TEST(AdmitWire, MalformedDatagramsAreShownNotTrusted) {
  struct Row {
    const char* situation;
    std::vector<uint8_t> msg;
    const char* want;  // expected in the journal object
    bool name_kept;
  } rows[] = {
      {"name attribute", whitelist(0, {12, 0, 8, 0, 3, 'a', 'b', 'c', 2, 'd', 'e', 0}),
       "\"name\":\"abc.de\",\"name_hex\":\"0361626302646500\"", true},
      {"attribute longer than the message", whitelist(0, {200, 0, 8, 0, 1, 'a', 0, 0}),
       "\"error\":\"attribute length overruns the message\"", false},
      {"label longer than its attribute", whitelist(0, {8, 0, 8, 0, 9, 'a', 'b', 'c'}),
       "\"error\":\"DNS label overruns the name attribute\"", true},
      {"netlink length beyond the datagram", whitelist(400, {8, 0, 8, 0, 1, 'a', 0, 0}),
       "\"error\":\"netlink length differs from the datagram's length\"", true},
      {"no room for the family header", std::vector<uint8_t>{20, 0, 0, 0, 28, 0, 0, 0, 0, 0, 0,
                                                             0, 0, 0, 0, 0, 1, 2, 3, 4},
       "\"error\":\"too short for the family header\"", false},
      {"short message of type 0", std::vector<uint8_t>(24, 0), "\"msg\":\"raw\",\"hex\":\"0000",
       false},
  };
  for (const auto& r : rows) {
    JsonLine line;
    KernelMessage km{};
    WhitelistMessage wl;
    decode_message(r.msg.data(), r.msg.size(), &line, &km, &wl);
    EXPECT_NE(line.text().find(r.want), std::string::npos) << r.situation << ": " << line.text();
    EXPECT_EQ(wl.has_name, r.name_kept) << r.situation;
  }
}

TEST(AdmitWire, KernelMessageReservedBytes) {
  std::vector<uint8_t> m(360, 0);
  JsonLine clean;
  KernelMessage km{};
  WhitelistMessage wl;
  ASSERT_EQ(decode_message(m.data(), m.size(), &clean, &km, &wl), MessageClass::kernel);
  EXPECT_TRUE(km.reserved_zero);
  for (size_t off : {38u, 39u, 48u, 359u}) {
    m.assign(360, 0);
    m[off] = 1;
    JsonLine line;
    decode_message(m.data(), m.size(), &line, &km, &wl);
    EXPECT_FALSE(km.reserved_zero) << off;
  }
  m.assign(360, 0);
  m[47] = 1;  // last byte of recheck_seconds, not reserved
  JsonLine line;
  decode_message(m.data(), m.size(), &line, &km, &wl);
  EXPECT_TRUE(km.reserved_zero);
}

TEST(AdmitWire, JsonQuoting) {
  EXPECT_EQ(json_quote(std::string("a\"b\\c\n\x01\xff", 8)), "\"a\\\"b\\\\c\\u000a\\u0001\\u00ff\"");
}

}  // namespace
}  // namespace admit
