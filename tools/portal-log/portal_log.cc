// portal-log: portald's event lines in plain words, one sentence a line.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "event_text.h"

namespace {

// The exit statuses of sysexits.h that the other tools use as well.
constexpr int kExitUsage = 64;
constexpr int kExitNoInput = 66;

const char kUsage[] =
    "usage: portal-log [--json] [--only] [FILE...]\n"
    "Reads portald's event lines from each FILE (\"-\" or none: standard input), such as the\n"
    "system log, the file that PORTALD_LOG_FILE names or a pipe from journalctl, and prints\n"
    "each as one plain sentence, keeping what stands before the event (time stamp, host).\n"
    "A line that is not one of portald's events is printed unchanged.\n"
    "  --json   one JSON object a line: line, known, and for an event prefix, form, event,\n"
    "           method, user, ip, mac, host and text\n"
    "  --only   leave out the lines that are not portald's events\n"
    "  --help   this text\n";

struct Options {
  bool json = false;
  bool only = false;
};

void convert(std::istream& in, const Options& o) {
  std::string line;
  while (std::getline(in, line)) {
    const portal_log::Event e = portal_log::describe(line);
    if (o.only && !e.known) continue;
    const std::string out = o.json ? portal_log::json(line, e) : portal_log::plain(line, e);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  static const option kLong[] = {{"json", no_argument, nullptr, 'j'},
                                 {"only", no_argument, nullptr, 'o'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", kLong, nullptr)) != -1) {
    switch (c) {
      case 'j': o.json = true; break;
      case 'o': o.only = true; break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default:
        std::fprintf(stderr, "portal-log: unknown option %s\n%s", argv[optind - 1], kUsage);
        return kExitUsage;
    }
  }
  // A sentence leaves at once, so a pipe from a log that grows shows each event as it comes.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (optind == argc) {
    convert(std::cin, o);
    return 0;
  }
  int status = 0;
  for (int i = optind; i < argc; ++i) {
    if (std::strcmp(argv[i], "-") == 0) {
      convert(std::cin, o);
      continue;
    }
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "portal-log: cannot open %s: %s\n", argv[i], std::strerror(errno));
      status = kExitNoInput;
      continue;
    }
    convert(in, o);
  }
  return status;
}
