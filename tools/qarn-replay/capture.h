// Capture files for qarn-replay: classic pcap (microsecond or nanosecond time stamps, either
// byte order) and pcapng (any number of sections and interfaces, enhanced, simple and
// obsolete packet blocks), read from memory. A regular file is mapped, anything else read
// in full; packets are handed out as pointers into that memory, with no copy and no
// allocation per packet. A large mapped file is mapped in ahead of the reader, and given
// back behind it, by a second thread.
#ifndef QARN_REPLAY_CAPTURE_H
#define QARN_REPLAY_CAPTURE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace capture {

// Link types that qarn-replay can find IPv4 packets in.
constexpr int kLinkEthernet = 1;
constexpr int kLinkRaw = 101;        // raw IP
constexpr int kLinkRawBsd = 12;      // raw IP as some systems number it
constexpr int kLinkRawOpenBsd = 14;  // the same
constexpr int kLinkLinuxSll = 113;   // Linux cooked capture
constexpr int kLinkIpv4 = 228;
constexpr int kLinkLinuxSll2 = 276;  // Linux cooked capture, version 2

// One captured frame. `data` points into the reader's memory and stays valid until the
// reader is closed or destroyed.
struct Frame {
  const uint8_t* data;
  uint32_t caplen;
  int linktype;
  uint64_t ts_usec;  // microseconds since the epoch
};

class Reader {
 public:
  Reader() = default;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens a capture and reads its file header (for pcapng, the blocks up to the first
  // interface). False with *error set when the file cannot be read or is no capture of a
  // known format.
  bool open(const std::string& path, std::string* error);
  // Reads a capture held in memory (not copied: it must outlive the reader).
  bool open_memory(const uint8_t* data, size_t size, std::string* error);
  // The link type of the file (pcap) or of its first interface (pcapng).
  int linktype() const { return first_linktype_; }
  // 1 and *frame set for the next frame; 0 at the end of the file; -1 when the file is cut
  // short or corrupt, with the reason in error().
  int next(Frame* frame);
  const std::string& error() const { return error_; }

 private:
  struct Interface {
    int linktype;
    uint64_t units_per_second;  // time stamp resolution: 10^n or 2^n
    int64_t offset_seconds;
  };

  bool start(std::string* error);
  bool read_pcap_header(std::string* error);
  int next_pcap(Frame* frame);
  int next_pcapng(Frame* frame);
  // Reads the pcapng section header at pos_; -1 with error_ set when it is not one.
  int read_section_header();
  bool read_interface(const uint8_t* body, size_t len);
  uint32_t u32(const uint8_t* p) const;
  uint16_t u16(const uint8_t* p) const;
  void prefetch();
  int fail(const std::string& why);
  void release();
  void start_ahead();
  void stop_ahead();
  void run_ahead();

  const uint8_t* base_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  size_t prefetched_ = 0;  // lines before this offset have been asked for
  size_t released_ = 0;    // pages before this offset have been given back
  bool mapped_ = false;
  // The read-ahead thread, for a large mapped file: it maps pages a window ahead of
  // `reached_` (pos_ as the reader last published it) and gives back pages behind it.
  std::thread ahead_;
  std::atomic<size_t> reached_{0};
  std::atomic<bool> stop_{false};
  std::vector<uint8_t> owned_;  // the content when it could not be mapped
  bool pcapng_ = false;
  bool swapped_ = false;    // the file's byte order is not this machine's
  bool nanoseconds_ = false;
  size_t record_header_ = 16;  // pcap: 24 in the modified format
  int first_linktype_ = -1;
  std::vector<Interface> interfaces_;
  std::string error_;
};

}  // namespace capture

#endif
