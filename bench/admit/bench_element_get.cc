// The cost of one idle look-up: reading one client's element from the kernel, in a table
// that bench_admitd.sh filled. Run in the router's namespace.
//   bench_element_get TABLE COUNT
#include <arpa/inet.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nft.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_element_get TABLE COUNT\n");
    return 2;
  }
  const int count = std::atoi(argv[2]);
  admit::ElementReader reader;
  std::string error;
  if (!reader.open(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const int rounds = 2000;
  int found = 0;
  timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (int r = 0; r < rounds; ++r) {
    const int i = 1 + (r * 7919) % count;  // the clients' addresses and MAC addresses
    char text[32];
    std::snprintf(text, sizeof text, "10.80.%d.%d", i / 256, i % 256);
    admit::Mac mac{{0x02, 0x80, 0, 0, static_cast<uint8_t>(i / 256), static_cast<uint8_t>(i % 256)}};
    double expires;
    if (reader.get(argv[1], "clients", admit::element_key(inet_addr(text), &mac), &expires) == 1)
      ++found;
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  const double us = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 1e3 / rounds;
  std::printf("idle look-up of one element among %d: %.1f us (%d of %d found)\n", count, us, found,
              rounds);
  return found == rounds ? 0 : 1;
}
