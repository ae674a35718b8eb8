#include "wire.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kmsg_layout.h"

namespace admit {

namespace {

uint32_t u32_at(const uint8_t* p, size_t off) {
  uint32_t v;
  std::memcpy(&v, p + off, 4);
  return v;
}

uint16_t u16_at(const uint8_t* p, size_t off) {
  uint16_t v;
  std::memcpy(&v, p + off, 2);
  return v;
}

void put_u32(uint8_t* p, size_t off, uint32_t v) { std::memcpy(p + off, &v, 4); }

// DNS wire form to dotted text. Stops at a zero length or the end of the data; false when a
// label claims more bytes than there are.
bool dns_name(const uint8_t* p, size_t n, std::string* out) {
  out->clear();
  size_t i = 0;
  while (i < n && p[i] != 0) {
    size_t len = p[i++];
    if (len > n - i) {
      out->append(reinterpret_cast<const char*>(p + i), n - i);
      return false;
    }
    if (!out->empty()) out->push_back('.');
    out->append(reinterpret_cast<const char*>(p + i), len);
    i += len;
  }
  return true;
}

void decode_kernel(const uint8_t* p, JsonLine* line, KernelMessage* km) {
  km->nl_len = u32_at(p, KMSG_OFF_NL_LEN);
  km->nl_type = u16_at(p, KMSG_OFF_NL_TYPE);
  km->nl_flags = u16_at(p, KMSG_OFF_NL_FLAGS);
  km->nl_seq = u32_at(p, KMSG_OFF_NL_SEQ);
  km->nl_pid = u32_at(p, KMSG_OFF_NL_PID);
  km->length = u32_at(p, KMSG_OFF_LENGTH);
  km->command = u32_at(p, KMSG_OFF_COMMAND);
  km->addr = u32_at(p, KMSG_OFF_ADDR);
  km->kind = u32_at(p, KMSG_OFF_KIND);
  std::memcpy(km->mac.data(), p + KMSG_OFF_MAC, 6);
  km->quota = u32_at(p, KMSG_OFF_QUOTA);
  km->recheck = u32_at(p, KMSG_OFF_RECHECK);
  km->reserved_zero = p[KMSG_OFF_MAC + 6] == 0 && p[KMSG_OFF_MAC + 7] == 0;
  for (size_t i = KMSG_OFF_RECHECK + 4; i < KMSG_SIZE; ++i)
    if (p[i] != 0) km->reserved_zero = false;

  line->str("msg", "kernel")
      .num("nl_len", uint64_t{km->nl_len})
      .num("nl_type", uint64_t{km->nl_type})
      .num("nl_flags", uint64_t{km->nl_flags})
      .num("nl_seq", uint64_t{km->nl_seq})
      .num("nl_pid", uint64_t{km->nl_pid})
      .num("length", uint64_t{km->length})
      .str("command", command_name(km->command))
      .num("code", uint64_t{km->command});
  if (km->command == KMSG_TIMEOUTS) {
    line->num("idle", uint64_t{km->addr}).num("total", uint64_t{km->kind});
  } else {
    line->str("addr", addr_text(km->addr)).num("kind", uint64_t{km->kind});
  }
  line->str("mac", mac_text(km->mac))
      .num("quota_seconds", uint64_t{km->quota})
      .num("recheck_seconds", uint64_t{km->recheck})
      .boolean("reserved_zero", km->reserved_zero);
}

void decode_whitelist(const uint8_t* p, size_t n, JsonLine* line, WhitelistMessage* wl) {
  const uint32_t nl_len = u32_at(p, 0);
  line->str("msg", "whitelist")
      .num("nl_len", uint64_t{nl_len})
      .num("nl_type", uint64_t{u16_at(p, 4)})
      .num("nl_flags", uint64_t{u16_at(p, 6)})
      .num("nl_seq", uint64_t{u32_at(p, 8)})
      .num("nl_pid", uint64_t{u32_at(p, 12)});
  // The netlink length says how much of the datagram is the message.
  size_t end = nl_len < n ? nl_len : n;
  const char* error = nullptr;
  if (nl_len != n) error = "netlink length differs from the datagram's length";
  if (end < 16 + WL_FAMILY_HDR_LEN) {
    line->str("error", "too short for the family header").str("hex", hex(p, n));
    return;
  }
  const uint8_t* fam = p + 16;
  wl->type = u32_at(fam, WL_FAMILY_OFF_TYPE);
  wl->subtype = u32_at(fam, WL_FAMILY_OFF_SUBTYPE);
  const char* record = "unknown";
  if (wl->type == WL_NAME_TYPE && wl->subtype == WL_NAME_SUBTYPE) record = "WL_NAME";
  if (wl->type == WL_ADDR_TYPE && wl->subtype == WL_ADDR_SUBTYPE) record = "WL_ADDR";
  line->num("family_type", uint64_t{wl->type})
      .num("family_subtype", uint64_t{wl->subtype})
      .num("family_mark", uint64_t{fam[WL_FAMILY_OFF_MARK]})
      .str("record", record);

  std::string others = "[";
  size_t off = 16 + WL_FAMILY_HDR_LEN;
  while (off < end) {
    if (end - off < 4) {
      error = "attribute header cut off";
      break;
    }
    const uint16_t alen = u16_at(p, off);
    const uint16_t atype = u16_at(p, off + 2);
    if (alen < 4 || alen > end - off) {
      error = "attribute length overruns the message";
      break;
    }
    const uint8_t* data = p + off + 4;
    const size_t dlen = alen - 4u;
    if (atype == WL_ATTR_NAME && !wl->has_name) {
      wl->has_name = true;
      if (!dns_name(data, dlen, &wl->name)) error = "DNS label overruns the name attribute";
      line->str("name", wl->name).str("name_hex", hex(data, dlen));
    } else if (atype == WL_ATTR_ADDR && dlen == 4 && !wl->has_addr) {
      wl->has_addr = true;
      wl->addr = u32_at(data, 0);
      line->str("addr", addr_text(wl->addr));
    } else {
      if (others.size() > 1) others += ",";
      others += JsonLine().num("type", uint64_t{atype}).str("hex", hex(data, dlen)).text();
    }
    off += (alen + 3u) & ~3u;
  }
  if (others.size() > 1) line->raw("other_attrs", others + "]");
  if (error) line->str("error", error).str("hex", hex(p, n));
}

}  // namespace

void JsonLine::key(const char* k) {
  if (body_.size() > 1) body_ += ",";
  body_ += json_quote(k);
  body_ += ":";
}

JsonLine& JsonLine::str(const char* k, const std::string& value) {
  key(k);
  body_ += json_quote(value);
  return *this;
}

JsonLine& JsonLine::num(const char* k, double value) {
  key(k);
  char buf[64];
  if (std::isfinite(value))
    std::snprintf(buf, sizeof buf, "%.3f", value);
  else
    std::snprintf(buf, sizeof buf, "null");
  body_ += buf;
  return *this;
}

JsonLine& JsonLine::num(const char* k, uint64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::boolean(const char* k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::raw(const char* k, const std::string& json) {
  key(k);
  body_ += json;
  return *this;
}

std::string json_quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      // Bytes outside printable ASCII are shown by value so every line stays valid JSON.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string addr_text(uint32_t addr_net) {
  char buf[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = addr_net;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::string mac_text(const Mac& mac) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buf;
}

bool parse_addr(const std::string& text, uint32_t* addr_net) {
  in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *addr_net = a.s_addr;
  return true;
}

bool parse_mac(const std::string& text, Mac* mac) {
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != ':') return false;
      ++pos;
    }
    unsigned v = 0;
    size_t digits = 0;
    for (; pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos])); ++pos) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[pos])));
      v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
      if (++digits > 2) return false;
    }
    if (digits == 0) return false;
    (*mac)[i] = static_cast<uint8_t>(v);
  }
  return pos == text.size();
}

bool parse_u32(const std::string& text, uint32_t* value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xffffffffULL) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

void encode_event(uint32_t code, uint32_t addr_net, uint32_t kind, const Mac& mac,
                  uint8_t out[]) {
  std::memset(out, 0, KMSG_SIZE);
  put_u32(out, KMSG_OFF_NL_LEN, KMSG_SIZE);
  put_u32(out, KMSG_OFF_LENGTH, KMSG_PAYLOAD_LEN);
  put_u32(out, KMSG_OFF_COMMAND, code);
  put_u32(out, KMSG_OFF_ADDR, addr_net);
  put_u32(out, KMSG_OFF_KIND, kind);
  std::memcpy(out + KMSG_OFF_MAC, mac.data(), 6);
}

const char* command_name(uint32_t code) {
  switch (code) {
    case KMSG_PERMIT: return "KMSG_PERMIT";
    case KMSG_REVOKE: return "KMSG_REVOKE";
    case KMSG_HELLO: return "KMSG_HELLO";
    case KMSG_TIMEOUTS: return "KMSG_TIMEOUTS";
    case KMSG_MAC_REVOKE: return "KMSG_MAC_REVOKE";
    default: return "UNKNOWN";
  }
}

const char* event_name(uint32_t code) {
  switch (code) {
    case KEV_HOST_UP: return "KEV_HOST_UP";
    case KEV_HOST_DOWN: return "KEV_HOST_DOWN";
    case KEV_RECHECK: return "KEV_RECHECK";
    default: return "UNKNOWN";
  }
}

MessageClass decode_message(const uint8_t* p, size_t n, JsonLine* line, KernelMessage* km,
                            WhitelistMessage* wl) {
  line->num("len", uint64_t{n});
  if (n == KMSG_SIZE && u16_at(p, KMSG_OFF_NL_TYPE) == 0) {
    decode_kernel(p, line, km);
    return MessageClass::kernel;
  }
  if (n >= 16 && u16_at(p, 4) == WL_NLMSG_TYPE) {
    decode_whitelist(p, n, line, wl);
    return MessageClass::whitelist;
  }
  line->str("msg", "raw").str("hex", hex(p, n));
  return MessageClass::raw;
}

}  // namespace admit
