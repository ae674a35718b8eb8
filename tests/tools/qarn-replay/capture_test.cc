// The capture reader on captures built byte by byte in memory: every pcap variant, pcapng
// sections of either byte order with several interfaces, time stamp resolutions and offsets,
// each packet block type, and files cut short or corrupt; a file and a pipe read alike.
#include "capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Appends numbers in a chosen byte order.
struct Out {
  bool big = false;
  Bytes b;
  Out& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Out& u16(uint16_t v) {
    return big ? u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v))
               : u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8));
  }
  Out& u32(uint32_t v) {
    return big ? u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v))
               : u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16));
  }
  Out& bytes(const Bytes& d) {
    b.insert(b.end(), d.begin(), d.end());
    return *this;
  }
  Out& pad4() {
    while (b.size() % 4) b.push_back(0);
    return *this;
  }
};

struct Got {
  Bytes data;
  int linktype;
  uint64_t ts_usec;
  bool operator==(const Got& o) const {
    return data == o.data && linktype == o.linktype && ts_usec == o.ts_usec;
  }
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
  return os << "{" << g.data.size() << " bytes, link " << g.linktype << ", " << g.ts_usec
            << " us}";
}

// Every frame up to the end; *rc is next()'s last result.
std::vector<Got> read_all(capture::Reader& r, int* rc) {
  std::vector<Got> got;
  capture::Frame f;
  while ((*rc = r.next(&f)) == 1)
    got.push_back({Bytes(f.data, f.data + f.caplen), f.linktype, f.ts_usec});
  return got;
}

const Bytes kA = {1, 2, 3};
const Bytes kB = {4, 5, 6, 7, 8};

Bytes pcap(uint32_t magic, bool big, uint32_t frac_a, uint32_t frac_b) {
  bool modified = magic == 0xa1b2cd34;
  Out o{big, {}};
  o.u32(magic).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(101);
  auto record = [&](uint32_t sec, uint32_t frac, const Bytes& d) {
    o.u32(sec).u32(frac).u32(static_cast<uint32_t>(d.size())).u32(static_cast<uint32_t>(d.size()));
    if (modified) o.u32(0).u16(0).u8(0).u8(0);  // ifindex, protocol, type, pad
    o.bytes(d);
  };
  record(1000, frac_a, kA);
  record(1001, frac_b, kB);
  return o.b;
}

TEST(CaptureTest, EveryPcapVariant) {
  const struct {
    const char* situation;
    uint32_t magic;
    bool big;
    uint32_t frac_a, frac_b;
    uint64_t want_a, want_b;
  } rows[] = {
      {"microseconds, this machine's order", 0xa1b2c3d4, false, 5, 999999, 1000000005,
       1001999999},
      {"microseconds, the other order", 0xa1b2c3d4, true, 5, 999999, 1000000005, 1001999999},
      {"nanoseconds", 0xa1b23c4d, false, 123456789, 999, 1000123456, 1001000000},
      {"nanoseconds, the other order", 0xa1b23c4d, true, 123456789, 999, 1000123456,
       1001000000},
      {"modified format with 24-byte records", 0xa1b2cd34, false, 7, 8, 1000000007,
       1001000008},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    Bytes file = pcap(row.magic, row.big, row.frac_a, row.frac_b);
    capture::Reader r;
    std::string error;
    ASSERT_TRUE(r.open_memory(file.data(), file.size(), &error)) << error;
    EXPECT_EQ(r.linktype(), 101);
    int rc;
    std::vector<Got> want = {{kA, 101, row.want_a}, {kB, 101, row.want_b}};
    EXPECT_EQ(read_all(r, &rc), want);
    EXPECT_EQ(rc, 0);
  }
}

TEST(CaptureTest, PcapCutShortOrUnknown) {
  Bytes good = pcap(0xa1b2c3d4, false, 1, 2);
  const struct {
    const char* situation;
    size_t keep;
    bool opens;
    size_t frames;
    const char* error;
  } rows[] = {
      {"nothing but the file header", 24, true, 0, ""},
      {"a record header cut", 24 + 16 + 3 + 10, true, 1, "16 header bytes, only got 10"},
      {"a record's data cut", good.size() - 1, true, 1, "5 captured bytes, only got 4"},
      {"a file header cut", 20, false, 0, "truncated dump file"},
      {"three bytes", 3, false, 0, "truncated dump file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    capture::Reader r;
    std::string error;
    ASSERT_EQ(r.open_memory(good.data(), row.keep, &error), row.opens);
    if (!row.opens) {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
      continue;
    }
    int rc;
    EXPECT_EQ(read_all(r, &rc).size(), row.frames);
    EXPECT_EQ(rc, *row.error ? -1 : 0);
    EXPECT_NE(r.error().find(row.error), std::string::npos) << r.error();
    capture::Frame f;
    EXPECT_EQ(r.next(&f), rc) << "an error stays";
  }
  Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
  capture::Reader r;
  std::string error;
  EXPECT_FALSE(r.open_memory(text.data(), text.size(), &error));
  EXPECT_EQ(error, "unknown file format");
}

// pcapng blocks.
void section(Out& o) {
  o.u32(0x0a0d0d0a).u32(28).u32(0x1a2b3c4d).u16(1).u16(0).u32(0xffffffff).u32(0xffffffff)
      .u32(28);
}

// An interface block; tsresol < 0 leaves the option out, offset 0 too.
void interface(Out& o, uint16_t link, int tsresol, uint32_t offset) {
  Out opts{o.big, {}};
  if (tsresol >= 0) opts.u16(9).u16(1).u8(static_cast<uint8_t>(tsresol)).pad4();
  if (offset && o.big) opts.u16(14).u16(8).u32(0).u32(offset);  // 64 bits in the
  if (offset && !o.big) opts.u16(14).u16(8).u32(offset).u32(0);  // section's order
  if (!opts.b.empty()) opts.u16(0).u16(0);
  uint32_t len = static_cast<uint32_t>(20 + opts.b.size());
  o.u32(1).u32(len).u16(link).u16(0).u32(65535).bytes(opts.b).u32(len);
}

void enhanced(Out& o, uint32_t ifindex, uint64_t ts, const Bytes& d) {
  Out body{o.big, {}};
  body.u32(ifindex).u32(static_cast<uint32_t>(ts >> 32)).u32(static_cast<uint32_t>(ts))
      .u32(static_cast<uint32_t>(d.size())).u32(static_cast<uint32_t>(d.size() + 10))
      .bytes(d).pad4();
  uint32_t len = static_cast<uint32_t>(12 + body.b.size());
  o.u32(6).u32(len).bytes(body.b).u32(len);
}

void simple(Out& o, const Bytes& d) {
  Out body{o.big, {}};
  body.u32(static_cast<uint32_t>(d.size())).bytes(d).pad4();
  uint32_t len = static_cast<uint32_t>(12 + body.b.size());
  o.u32(3).u32(len).bytes(body.b).u32(len);
}

void obsolete(Out& o, uint16_t ifindex, uint64_t ts, const Bytes& d) {
  Out body{o.big, {}};
  body.u16(ifindex).u16(0).u32(static_cast<uint32_t>(ts >> 32)).u32(static_cast<uint32_t>(ts))
      .u32(static_cast<uint32_t>(d.size())).u32(static_cast<uint32_t>(d.size())).bytes(d).pad4();
  uint32_t len = static_cast<uint32_t>(12 + body.b.size());
  o.u32(2).u32(len).bytes(body.b).u32(len);
}

void statistics(Out& o) { o.u32(5).u32(24).u32(0).u32(0).u32(0).u32(24); }

TEST(CaptureTest, PcapngSectionsInterfacesAndBlocks) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian sections first" : "little-endian sections first");
    Out o{big, {}};
    section(o);
    interface(o, 1, 9, 0);         // Ethernet, nanoseconds
    interface(o, 101, 0x8a, 100);  // raw IP, 2^-10 seconds, 100 seconds later
    statistics(o);
    enhanced(o, 0, 5000000123456ULL, kA);  // 5000 s + 123456 ns
    enhanced(o, 1, (uint64_t{7} << 10) + 512, kB);  // 7.5 s + 100 s
    simple(o, kA);
    obsolete(o, 1, 1024, kB);
    // A second section in the other byte order numbers its interfaces afresh.
    o.big = !big;
    section(o);
    interface(o, 113, -1, 0);  // Linux cooked, microseconds
    enhanced(o, 0, 42, kB);
    capture::Reader r;
    std::string error;
    ASSERT_TRUE(r.open_memory(o.b.data(), o.b.size(), &error)) << error;
    EXPECT_EQ(r.linktype(), 1);
    int rc;
    std::vector<Got> want = {
        {kA, 1, 5000000123},   {kB, 101, 107500000}, {kA, 1, 0},
        {kB, 101, 101000000}, {kB, 113, 42},
    };
    EXPECT_EQ(read_all(r, &rc), want);
    EXPECT_EQ(rc, 0) << r.error();
  }
}

TEST(CaptureTest, PcapngCorrupt) {
  auto opened = [](const Out& o, std::string* error) {
    capture::Reader r;
    return r.open_memory(o.b.data(), o.b.size(), error);
  };
  auto read_error = [](const Out& o) {
    capture::Reader r;
    std::string error;
    if (!r.open_memory(o.b.data(), o.b.size(), &error)) return "open: " + error;
    int rc;
    read_all(r, &rc);
    return rc < 0 ? r.error() : std::string("no error");
  };
  std::string error;
  Out none;
  section(none);
  EXPECT_FALSE(opened(none, &error));
  EXPECT_EQ(error, "pcapng file with no interface");

  Out packet_first;
  section(packet_first);
  enhanced(packet_first, 0, 1, kA);
  EXPECT_FALSE(opened(packet_first, &error));

  Out unknown_interface;
  section(unknown_interface);
  interface(unknown_interface, 1, -1, 0);
  enhanced(unknown_interface, 1, 1, kA);
  EXPECT_NE(read_error(unknown_interface).find("interface 1"), std::string::npos);

  Out odd_length;
  section(odd_length);
  interface(odd_length, 1, -1, 0);
  odd_length.u32(6).u32(37);
  odd_length.b.resize(odd_length.b.size() + 29);
  EXPECT_NE(read_error(odd_length).find("bad length 37"), std::string::npos);

  Out overlong;
  section(overlong);
  interface(overlong, 1, -1, 0);
  enhanced(overlong, 0, 1, kB);
  overlong.b[28 + 20 + 8 + 12] = 200;  // captured length beyond its block
  EXPECT_NE(read_error(overlong).find("200 captured bytes"), std::string::npos);

  Out cut;
  section(cut);
  interface(cut, 1, -1, 0);
  enhanced(cut, 0, 1, kB);
  cut.b.resize(cut.b.size() - 4);
  EXPECT_NE(read_error(cut).find("truncated dump file"), std::string::npos);

  Out resolution;
  section(resolution);
  interface(resolution, 1, 20, 0);  // 10^-20 s does not fit
  EXPECT_FALSE(opened(resolution, &error));
}

// A file is mapped, a pipe read whole: the frames are the same.
TEST(CaptureTest, FileAndPipeAlike) {
  Bytes file = pcap(0xa1b23c4d, true, 10, 20);
  char tmpl[] = "/tmp/capture-test.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::ofstream(dir + "/c.pcap", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream(dir + "/fifo", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
  });
  capture::Reader from_file, from_pipe;
  std::string error;
  ASSERT_TRUE(from_file.open(dir + "/c.pcap", &error)) << error;
  bool piped = from_pipe.open(dir + "/fifo", &error);
  writer.join();
  ASSERT_TRUE(piped) << error;
  int rc_file, rc_pipe;
  std::vector<Got> a = read_all(from_file, &rc_file), b = read_all(from_pipe, &rc_pipe);
  EXPECT_EQ(a.size(), 2u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(rc_file, 0);
  EXPECT_EQ(rc_pipe, 0);
  capture::Reader missing;
  EXPECT_FALSE(missing.open(dir + "/none.pcap", &error));
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

// A capture large enough for the read-ahead thread, which maps pages ahead of the reader
// and gives them back behind it: the frames are those read from the same bytes in memory,
// a file cut short still reports where, and a reader closed half-way stops at once.
TEST(CaptureTest, LargeFileReadAheadOfTheReader) {
  Out o;
  o.u32(0xa1b2c3d4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(101);
  const uint32_t kFrames = 48000;
  for (uint32_t i = 0; i < kFrames; i++) {
    uint32_t len = 60 + (i * 7919) % 1400;  // lengths that put records at every offset
    o.u32(i).u32(i % 1000000).u32(len).u32(len);
    for (uint32_t k = 0; k < len; k++) o.u8(static_cast<uint8_t>(i * 31 + k));
  }
  ASSERT_GT(o.b.size(), size_t{32} << 20);
  char tmpl[] = "/tmp/capture-test.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  auto write = [&](const std::string& name, size_t size) {
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(o.b.data()), static_cast<std::streamsize>(size));
  };
  write("big.pcap", o.b.size());
  write("cut.pcap", o.b.size() - 100);

  capture::Reader in_memory, from_file;
  std::string error;
  ASSERT_TRUE(in_memory.open_memory(o.b.data(), o.b.size(), &error)) << error;
  ASSERT_TRUE(from_file.open(dir + "/big.pcap", &error)) << error;
  int rc_memory, rc_file;
  std::vector<Got> want = read_all(in_memory, &rc_memory);
  std::vector<Got> got = read_all(from_file, &rc_file);
  EXPECT_EQ(want.size(), kFrames);
  EXPECT_TRUE(got == want);
  EXPECT_EQ(rc_file, 0);

  capture::Reader cut;
  ASSERT_TRUE(cut.open(dir + "/cut.pcap", &error)) << error;
  std::vector<Got> some = read_all(cut, &rc_file);
  EXPECT_EQ(some.size(), kFrames - 1);
  EXPECT_EQ(rc_file, -1);
  EXPECT_NE(cut.error().find("only got"), std::string::npos) << cut.error();

  for (int stop_after : {0, 1, 30000}) {
    capture::Reader early;
    ASSERT_TRUE(early.open(dir + "/big.pcap", &error)) << error;
    capture::Frame f;
    for (int i = 0; i < stop_after; i++) ASSERT_EQ(early.next(&f), 1);
  }  // each reader's thread is stopped by its destructor
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
