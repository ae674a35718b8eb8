#include "capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace capture {
namespace {

constexpr uint32_t kPcapMicro = 0xa1b2c3d4;
constexpr uint32_t kPcapNano = 0xa1b23c4d;
constexpr uint32_t kPcapModified = 0xa1b2cd34;  // 24-byte record headers
constexpr uint32_t kPcapngSection = 0x0a0d0d0a;
constexpr uint32_t kPcapngByteOrder = 0x1a2b3c4d;

constexpr uint32_t kBlockInterface = 1;
constexpr uint32_t kBlockPacketObsolete = 2;
constexpr uint32_t kBlockSimplePacket = 3;
constexpr uint32_t kBlockEnhancedPacket = 6;

constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTsResolution = 9;
constexpr uint16_t kOptionTsOffset = 14;

constexpr size_t kPcapFileHeader = 24;

// Pages already read are given back in steps of this size, so a large capture does not stay
// resident (they are read again from the file should a frame be touched later).
constexpr size_t kGiveBack = size_t{16} << 20;
// The read-ahead thread gives back in smaller steps, as it costs the reader nothing.
constexpr size_t kAheadGiveBack = size_t{4} << 20;
// A mapped file of at least this size gets the read-ahead thread; the thread maps pages up
// to kAheadWindow beyond the reader, kAheadStep at a time, and publishes are that far apart.
constexpr size_t kAheadMinimum = size_t{32} << 20;
constexpr size_t kAheadWindow = size_t{8} << 20;
constexpr size_t kAheadStep = size_t{1} << 20;

uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// Gives the step of pages at *released back to the kernel once the reader, at `reached`, is
// two steps beyond it, so one step stays behind the reader; returns whether it did.
bool give_back_behind(const uint8_t* base, size_t* released, size_t reached, size_t step) {
  if (reached < *released + 2 * step) return false;
  madvise(const_cast<uint8_t*>(base) + *released, step, MADV_DONTNEED);
  *released += step;
  return true;
}

// A time stamp of `units` per second and a section offset, in microseconds.
uint64_t to_usec(uint64_t ts, uint64_t units, int64_t offset_seconds) {
  uint64_t seconds = ts / units, frac = ts % units, usec;
  if (units == 1000000) {
    usec = frac;
  } else if ((units & (units - 1)) == 0) {  // 2^b units per second
    int b = __builtin_ctzll(units);
    usec = b <= 44 ? (frac * 1000000) >> b : ((frac >> (b - 44)) * 1000000) >> 44;
  } else if (units < 1000000) {
    usec = frac * (1000000 / units);
  } else {
    usec = frac / (units / 1000000);
  }
  return static_cast<uint64_t>(static_cast<int64_t>(seconds) + offset_seconds) * 1000000 + usec;
}

}  // namespace

Reader::~Reader() { release(); }

void Reader::release() {
  stop_ahead();
  if (mapped_) munmap(const_cast<uint8_t*>(base_), size_);
  mapped_ = false;
  base_ = nullptr;
  size_ = pos_ = prefetched_ = released_ = 0;
  owned_.clear();
}

bool Reader::open(const std::string& path, std::string* error) {
  release();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (m != MAP_FAILED) {
      base_ = static_cast<const uint8_t*>(m);
      size_ = static_cast<size_t>(st.st_size);
      mapped_ = true;
    }
  }
  if (!mapped_) {  // a pipe, a device, or a file that cannot be mapped: read it whole
    uint8_t buf[65536];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return false;
      }
      if (n == 0) break;
      owned_.insert(owned_.end(), buf, buf + n);
    }
    base_ = owned_.data();
    size_ = owned_.size();
  }
  ::close(fd);
  if (!start(error)) return false;
  start_ahead();
  return true;
}

void Reader::start_ahead() {
  if (!mapped_ || size_ < kAheadMinimum) return;
  reached_.store(pos_, std::memory_order_relaxed);
  stop_.store(false, std::memory_order_relaxed);
  try {
    ahead_ = std::thread(&Reader::run_ahead, this);
  } catch (const std::system_error&) {
    // No thread: the reader maps pages itself as it touches them and gives them back.
  }
}

void Reader::stop_ahead() {
  if (!ahead_.joinable()) return;
  stop_.store(true, std::memory_order_relaxed);
  ahead_.join();
}

// Asks the kernel to map the pages of [from, to) now, so the reader does not stop for page
// faults; where the kernel cannot (MADV_POPULATE_READ is from Linux 5.14), one byte of each
// page is read instead.
void Reader::run_ahead() {
  constexpr size_t kPage = 4096;
  uint8_t* base = const_cast<uint8_t*>(base_);
  size_t mapped = reached_.load(std::memory_order_relaxed) & ~(kPage - 1);
  size_t released = 0;
  bool populate = true;
  while (!stop_.load(std::memory_order_relaxed)) {
    size_t at = reached_.load(std::memory_order_acquire);
    bool idle = true;
    if (mapped < size_ && mapped < at + kAheadWindow) {
      size_t len = std::min(kAheadStep, size_ - mapped);
#ifdef MADV_POPULATE_READ
      if (populate && madvise(base + mapped, len, MADV_POPULATE_READ) != 0) populate = false;
#else
      populate = false;
#endif
      if (!populate) {
        volatile const uint8_t* p = base + mapped;
        for (size_t i = 0; i < len; i += kPage) (void)p[i];
      }
      mapped += len;
      idle = false;
    }
    if (give_back_behind(base, &released, at, kAheadGiveBack)) idle = false;
    if (idle) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

bool Reader::open_memory(const uint8_t* data, size_t size, std::string* error) {
  release();
  base_ = data;
  size_ = size;
  return start(error);
}

bool Reader::start(std::string* error) {
  pos_ = prefetched_ = released_ = 0;
  interfaces_.clear();
  first_linktype_ = -1;
  error_.clear();
  if (size_ < 4) {
    *error = "truncated dump file; the file is shorter than its header";
    return false;
  }
  pcapng_ = load32(base_) == kPcapngSection;
  if (!pcapng_) return read_pcap_header(error);
  if (read_section_header() < 0) {
    *error = error_;
    return false;
  }
  // The first interface gives the file's link type; next() reads from the same place again.
  size_t mark = pos_;
  for (size_t at = pos_; interfaces_.empty();) {
    if (size_ - at < 12) {
      *error = "pcapng file with no interface";
      return false;
    }
    uint32_t type = u32(base_ + at), len = u32(base_ + at + 4);
    if (len < 12 || len % 4 != 0 || len > size_ - at || type == kPcapngSection ||
        type == kBlockEnhancedPacket || type == kBlockPacketObsolete ||
        type == kBlockSimplePacket) {
      *error = "pcapng file whose first section does not begin with an interface";
      return false;
    }
    if (type == kBlockInterface && !read_interface(base_ + at + 8, len - 12)) {
      *error = "corrupt pcapng interface block";
      return false;
    }
    at += len;
  }
  first_linktype_ = interfaces_[0].linktype;
  interfaces_.clear();
  pos_ = mark;
  return true;
}

uint32_t Reader::u32(const uint8_t* p) const {
  uint32_t v = load32(p);
  return swapped_ ? swap32(v) : v;
}

uint16_t Reader::u16(const uint8_t* p) const {
  uint16_t v = load16(p);
  return swapped_ ? __builtin_bswap16(v) : v;
}

void Reader::prefetch() {
  // Records are read in file order but only their headers are touched, at strides the
  // processor's own prefetcher cannot follow: fetching every line a few kilobytes ahead
  // turns a memory stall per packet into a stream.
  constexpr size_t kAhead = 4096;
  size_t until = size_ - pos_ > kAhead ? pos_ + kAhead : size_;
  if (prefetched_ < pos_) prefetched_ = pos_;
  for (; prefetched_ < until; prefetched_ += 64) __builtin_prefetch(base_ + prefetched_);
  if (ahead_.joinable()) {  // the read-ahead thread maps and gives back pages
    if (pos_ - reached_.load(std::memory_order_relaxed) >= kAheadStep)
      reached_.store(pos_, std::memory_order_release);
    return;
  }
  if (mapped_) give_back_behind(base_, &released_, pos_, kGiveBack);
}

int Reader::fail(const std::string& why) {
  error_ = why;
  return -1;
}

bool Reader::read_pcap_header(std::string* error) {
  uint32_t magic = load32(base_);
  swapped_ = false;
  if (magic != kPcapMicro && magic != kPcapNano && magic != kPcapModified) {
    swapped_ = true;
    magic = swap32(magic);
    if (magic != kPcapMicro && magic != kPcapNano && magic != kPcapModified) {
      *error = "unknown file format";
      return false;
    }
  }
  if (size_ < kPcapFileHeader) {
    *error = "truncated dump file; the file is shorter than its header";
    return false;
  }
  nanoseconds_ = magic == kPcapNano;
  record_header_ = magic == kPcapModified ? 24 : 16;
  first_linktype_ = static_cast<int>(u32(base_ + 20) & 0x03ffffff);
  pos_ = kPcapFileHeader;
  return true;
}

int Reader::next(Frame* frame) {
  if (!error_.empty()) return -1;
  return pcapng_ ? next_pcapng(frame) : next_pcap(frame);
}

int Reader::next_pcap(Frame* frame) {
  size_t left = size_ - pos_;
  if (left == 0) return 0;
  if (left < record_header_)
    return fail("truncated dump file; tried to read " + std::to_string(record_header_) +
                " header bytes, only got " + std::to_string(left));
  const uint8_t* h = base_ + pos_;
  uint32_t caplen = u32(h + 8);
  left -= record_header_;
  if (caplen > left)
    return fail("truncated dump file; tried to read " + std::to_string(caplen) +
                " captured bytes, only got " + std::to_string(left));
  uint32_t frac = u32(h + 4);
  frame->data = h + record_header_;
  frame->caplen = caplen;
  frame->linktype = first_linktype_;
  frame->ts_usec = static_cast<uint64_t>(u32(h)) * 1000000 + (nanoseconds_ ? frac / 1000 : frac);
  pos_ += record_header_ + caplen;
  prefetch();
  return 1;
}

int Reader::read_section_header() {
  size_t left = size_ - pos_;
  const uint8_t* b = base_ + pos_;
  if (left < 28) return fail("truncated dump file; a pcapng section header is cut short");
  uint32_t order = load32(b + 8);
  if (order == kPcapngByteOrder)
    swapped_ = false;
  else if (swap32(order) == kPcapngByteOrder)
    swapped_ = true;
  else
    return fail("unknown file format");
  uint32_t len = u32(b + 4);
  if (len < 28 || len % 4 != 0 || len > left)
    return fail("pcapng section header of a bad length " + std::to_string(len));
  interfaces_.clear();
  pos_ += len;
  return 0;
}

bool Reader::read_interface(const uint8_t* body, size_t len) {
  if (len < 8) return false;
  Interface i{u16(body), 1000000, 0};
  for (size_t at = 8; at + 4 <= len;) {
    uint16_t code = u16(body + at), olen = u16(body + at + 2);
    at += 4;
    if (code == kOptionEnd) break;
    if (olen > len - at) return false;
    if (code == kOptionTsResolution && olen >= 1) {
      uint8_t r = body[at];
      unsigned exp = r & 0x7f;
      if (r & 0x80) {
        if (exp > 63) return false;
        i.units_per_second = uint64_t{1} << exp;
      } else {
        if (exp > 19) return false;
        i.units_per_second = 1;
        while (exp--) i.units_per_second *= 10;
      }
    } else if (code == kOptionTsOffset && olen >= 8) {
      uint64_t first = u32(body + at), second = u32(body + at + 4);
      bool big_endian = swapped_ != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
      i.offset_seconds =
          static_cast<int64_t>(big_endian ? first << 32 | second : second << 32 | first);
    }
    at += (olen + 3u) & ~size_t{3};
  }
  interfaces_.push_back(i);
  return true;
}

int Reader::next_pcapng(Frame* frame) {
  for (;;) {
    size_t left = size_ - pos_;
    if (left == 0) return 0;
    if (left < 12)
      return fail("truncated dump file; tried to read 12 block header bytes, only got " +
                  std::to_string(left));
    const uint8_t* b = base_ + pos_;
    if (load32(b) == kPcapngSection) {
      if (read_section_header() < 0) return -1;
      continue;
    }
    uint32_t type = u32(b), len = u32(b + 4);
    if (len < 12 || len % 4 != 0)
      return fail("pcapng block of a bad length " + std::to_string(len));
    if (len > left)
      return fail("truncated dump file; tried to read " + std::to_string(len) +
                  " block bytes, only got " + std::to_string(left));
    pos_ += len;
    const uint8_t* body = b + 8;
    size_t body_len = len - 12;
    uint32_t ifindex = 0, caplen;
    uint64_t ts = 0;
    const uint8_t* data;
    switch (type) {
      case kBlockInterface:
        if (!read_interface(body, body_len)) return fail("corrupt pcapng interface block");
        continue;
      case kBlockEnhancedPacket:
      case kBlockPacketObsolete:
        if (body_len < 20) return fail("pcapng packet block too short");
        ifindex = type == kBlockEnhancedPacket ? u32(body) : u16(body);
        ts = static_cast<uint64_t>(u32(body + 4)) << 32 | u32(body + 8);
        caplen = u32(body + 12);
        data = body + 20;
        if (caplen > body_len - 20)
          return fail("pcapng packet block with " + std::to_string(caplen) +
                      " captured bytes in a block of " + std::to_string(len));
        break;
      case kBlockSimplePacket:
        if (body_len < 4) return fail("pcapng simple packet block too short");
        caplen = u32(body);  // the original length; the block holds at most body_len - 4
        if (caplen > body_len - 4) caplen = static_cast<uint32_t>(body_len - 4);
        data = body + 4;
        break;
      default:  // statistics, name resolution, custom blocks
        continue;
    }
    if (ifindex >= interfaces_.size())
      return fail("pcapng packet of interface " + std::to_string(ifindex) +
                  ", which the section has not described");
    const Interface& i = interfaces_[ifindex];
    frame->data = data;
    frame->caplen = caplen;
    frame->linktype = i.linktype;
    frame->ts_usec = type == kBlockSimplePacket ? 0 : to_usec(ts, i.units_per_second,
                                                              i.offset_seconds);
    prefetch();
    return 1;
  }
}

}  // namespace capture
