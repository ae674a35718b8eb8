// What admitsim reads and writes on the Kernel channel: the event datagram it sends, the
// decoding of every datagram it receives into one journal object, and the texts of addresses
// and MAC addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace admit {

using Mac = std::array<uint8_t, 6>;

// One JSON object on one line, built field by field in the order added.
class JsonLine {
 public:
  JsonLine& str(const char* key, const std::string& value);
  JsonLine& num(const char* key, double value);
  JsonLine& num(const char* key, uint64_t value);
  JsonLine& boolean(const char* key, bool value);
  JsonLine& raw(const char* key, const std::string& json);  // value already in JSON form
  std::string text() const { return body_ + "}"; }

 private:
  void key(const char* k);
  std::string body_ = "{";
};

std::string json_quote(const std::string& s);
std::string hex(const uint8_t* p, size_t n);

// "a.b.c.d" of an address in network byte order.
std::string addr_text(uint32_t addr_net);
// "aa:bb:cc:dd:ee:ff", lower case.
std::string mac_text(const Mac& mac);
// Strict dotted quad; false when text is not one.
bool parse_addr(const std::string& text, uint32_t* addr_net);
// Six hexadecimal groups of one or two digits separated by ':'.
bool parse_mac(const std::string& text, Mac* mac);
// A decimal (or 0x hexadecimal) number of at most 32 bits.
bool parse_u32(const std::string& text, uint32_t* value);

// The datagram of one Kernel event: KMSG_SIZE bytes, netlink length KMSG_SIZE, type, flags,
// sequence and port id 0, payload length KMSG_PAYLOAD_LEN, the code, the address (network
// order), the kind and the MAC address; every other byte 0.
void encode_event(uint32_t code, uint32_t addr_net, uint32_t kind, const Mac& mac,
                  uint8_t out[]);

// Name of a Kernel message command or event code, "UNKNOWN" for others.
const char* command_name(uint32_t code);
const char* event_name(uint32_t code);

// The fields of a received Kernel message.
struct KernelMessage {
  uint32_t nl_len, nl_pid, length, command, addr, kind, quota, recheck;
  uint16_t nl_type, nl_flags;
  uint32_t nl_seq;
  Mac mac;
  bool reserved_zero;  // bytes that the layout keeps 0 are 0
};

// The fields of a received whitelist message that admitsim keeps.
struct WhitelistMessage {
  uint32_t type = 0, subtype = 0;
  bool has_name = false, has_addr = false;
  std::string name;  // decoded from DNS wire form
  uint32_t addr = 0;
};

enum class MessageClass { kernel, whitelist, raw };

// Classifies a received datagram and adds its decoded fields to line: a Kernel message
// (exactly KMSG_SIZE bytes, netlink type 0), a whitelist message (netlink type
// WL_NLMSG_TYPE), anything else raw hex. km or wl is filled for the first two classes.
MessageClass decode_message(const uint8_t* p, size_t n, JsonLine* line, KernelMessage* km,
                            WhitelistMessage* wl);

}  // namespace admit
