// bench_replay: qarn-replay against ndpiReader (Debian's libndpi-bin) on the same mixed
// capture, and qarn-replay's packets per second on a large one.
//
// Both captures are made by qarn-samples --large (every sample capture repeated, so the mix
// holds web pages and downloads, DNS, VPN, mail, games, P2P endpoints and a bulk download).
// Each program runs as a whole process, output to /dev/null, `--runs` times (default 5); the
// best wall-clock time and the best processor time (user + system, from the kernel's
// accounting of the child, which other load on the machine disturbs less) are reported,
// with the largest resident set. Without ndpiReader the comparison is skipped with a
// message and the rest still runs.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalRatio = 5;
constexpr double kGoalPps = 10e6;

struct Options {
  int runs = 5;
  unsigned long mixed = 85000;
  unsigned long large = 1000000;
  std::string dir;  // where the captures go; a new folder under /tmp by default
};

struct Best {
  double wall_s = 1e300;
  double cpu_s = 1e300;
  long max_rss_kb = 0;
};

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "bench_replay: %s\n", why.c_str());
  std::exit(1);
}

// Runs argv with its output to /dev/null; the wall-clock and processor time of the run.
Best run_once(const std::vector<std::string>& argv) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) die("wait4 failed");
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    die(argv[0] + " failed on " + argv.back());
  Best b;
  b.wall_s = wall;
  b.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  b.max_rss_kb = ru.ru_maxrss;
  return b;
}

Best run_best(const std::vector<std::string>& argv, int runs) {
  Best best;
  for (int i = 0; i < runs; i++) {
    Best b = run_once(argv);
    best.wall_s = std::min(best.wall_s, b.wall_s);
    best.cpu_s = std::min(best.cpu_s, b.cpu_s);
    best.max_rss_kb = std::max(best.max_rss_kb, b.max_rss_kb);
  }
  return best;
}

// Number of records of a classic pcap file as qarn-samples writes it (this machine's order).
long pcap_records(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char hdr[24];
  if (!in.read(hdr, 24)) return -1;
  long n = 0;
  unsigned char rec[16];
  while (in.read(reinterpret_cast<char*>(rec), 16)) {
    uint32_t incl;
    std::memcpy(&incl, rec + 8, 4);
    in.seekg(incl, std::ios::cur);
    n++;
  }
  return n;
}

// The path of a program found on PATH, or "".
std::string on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Writes OUTDIR/large.pcap of about `packets` packets; its path.
std::string make_capture(const std::string& dir, unsigned long packets) {
  std::string out = dir + "/" + std::to_string(packets);
  run_once({QARN_SAMPLES_BINARY, "--large", std::to_string(packets), out});
  return out + "/large.pcap";
}

void print_row(const char* capture, long packets, const char* program, const Best& b) {
  std::printf("%-8s %9ld  %-12s %10.1f %10.1f %12.0f %12.0f %9ld\n", capture, packets,
              program, b.wall_s * 1e3, b.cpu_s * 1e3, packets / b.wall_s, packets / b.cpu_s,
              b.max_rss_kb);
}

bool parse_count(const char* text, unsigned long* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (!*text || *end || v == 0 || text[0] == '-') return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    unsigned long v;
    if (a == "--runs" && i + 1 < argc && parse_count(argv[i + 1], &v)) {
      o.runs = static_cast<int>(std::min(v, 1000UL));
      i++;
    } else if (a == "--mixed" && i + 1 < argc && parse_count(argv[i + 1], &o.mixed)) {
      i++;
    } else if (a == "--large" && i + 1 < argc && parse_count(argv[i + 1], &o.large)) {
      i++;
    } else if (a == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: bench_replay [--runs N] [--mixed PACKETS] [--large PACKETS] "
                   "[--dir DIR]\n"
                   "  defaults: 5 runs, 85000 and 1000000 packets, a new folder under /tmp\n");
      return a == "--help" ? 0 : 2;
    }
  }
  bool own_dir = o.dir.empty();
  if (own_dir) {
    char tmpl[] = "/tmp/bench_replay.XXXXXX";
    if (!mkdtemp(tmpl)) die("mkdtemp failed");
    o.dir = tmpl;
  } else if (mkdir(o.dir.c_str(), 0700) != 0 && errno != EEXIST) {
    die("cannot create " + o.dir);
  }

  std::string mixed = make_capture(o.dir, o.mixed);
  std::string large = make_capture(o.dir, o.large);
  long mixed_packets = pcap_records(mixed), large_packets = pcap_records(large);

  std::printf("%-8s %9s  %-12s %10s %10s %12s %12s %9s\n", "capture", "packets", "program",
              "wall ms", "cpu ms", "pkts/s wall", "pkts/s cpu", "max kB");
  Best replay = run_best({QARN_REPLAY_BINARY, mixed}, o.runs);
  print_row("mixed", mixed_packets, "qarn-replay", replay);
  std::string ndpi = on_path("ndpiReader");
  Best reader;
  if (!ndpi.empty()) {
    reader = run_best({ndpi, "-q", "-i", mixed}, o.runs);
    print_row("mixed", mixed_packets, "ndpiReader", reader);
  }
  Best big = run_best({QARN_REPLAY_BINARY, large}, o.runs);
  print_row("large", large_packets, "qarn-replay", big);

  std::printf("\nbest of %d runs each, whole processes\n", o.runs);
  if (ndpi.empty()) {
    std::printf("ndpiReader not found on PATH (Debian's libndpi-bin): comparison skipped\n");
  } else {
    double by_wall = reader.wall_s / replay.wall_s, by_cpu = reader.cpu_s / replay.cpu_s;
    std::printf("qarn-replay against ndpiReader: %.1f times faster by wall clock, %.1f by "
                "processor time (goal %.0f): %s\n",
                by_wall, by_cpu, kGoalRatio, by_wall >= kGoalRatio ? "met" : "NOT met");
  }
  double pps = large_packets / big.wall_s;
  std::printf("qarn-replay on the large capture: %.1f million packets/s by wall clock, %.1f by "
              "processor time (goal %.0f): %s\n",
              pps / 1e6, large_packets / big.cpu_s / 1e6, kGoalPps / 1e6,
              pps >= kGoalPps ? "met" : "NOT met");

  if (own_dir) std::system(("rm -rf '" + o.dir + "'").c_str());
  return 0;
}
