// libnftables: commands run as one transaction each, and the elements of a set's listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

struct nft_ctx;

namespace admit {

class Nft {
 public:
  Nft();
  ~Nft();
  Nft(const Nft&) = delete;
  Nft& operator=(const Nft&) = delete;

  // Runs the commands (nft's own syntax) as one transaction; false with nft's error text.
  bool run(const std::string& commands, std::string* error);
  // Runs a listing command; its text in out.
  bool query(const std::string& command, std::string* out, std::string* error);

 private:
  nft_ctx* ctx_;
};

// One element of a set read straight from the kernel over nfnetlink: a look-up by key whose
// cost does not grow with the set (libnftables would fetch every element of the set first).
class ElementReader {
 public:
  ElementReader() = default;
  ~ElementReader();
  ElementReader(const ElementReader&) = delete;
  ElementReader& operator=(const ElementReader&) = delete;

  bool open(std::string* error);
  // The element of the table's set (family inet) with this key: 1 with the real seconds
  // left of its time-out in expires (-1 when it has none), 0 when there is no such element
  // (or it has timed out), -1 when the kernel could not be asked.
  int get(const std::string& table, const std::string& set, const std::string& key,
          double* expires);

 private:
  int fd_ = -1;
  uint32_t seq_ = 0;
};

// The key bytes of an element: an address (network order), and with a MAC address the
// concatenation as the kernel keeps it (each part padded to 4 bytes).
std::string element_key(uint32_t addr, const Mac* mac);

// One element of a set of addresses, or of addresses and MAC addresses.
struct SetElement {
  uint32_t addr = 0;  // network order
  bool has_mac = false;
  Mac mac{};
  double expires = -1;  // real seconds left; -1 when the element has no time-out
};

// The elements of a set as nft lists them ("elements = { 10.0.0.5 . aa:..:ff timeout 3s
// expires 2s968ms, ... }"); an empty set lists no elements line.
std::vector<SetElement> parse_elements(const std::string& listing);

// "1h2m3s512ms" in seconds; -1 when it is not a duration.
double parse_duration(const std::string& text);

}  // namespace admit
