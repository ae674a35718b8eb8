// admitsim: the kernel's client-admission component in user space. It listens on an AF_UNIX
// datagram socket where the daemon's Kernel channel sends, answers with Kernel events to the
// address the daemon said hello from, applies the time limits on a simulated clock that runs
// --time-scale times faster than real time, and journals everything it receives and sends.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "kmsg_layout.h"
#include "server.h"
#include "tables.h"
#include "wire.h"

namespace admit {
namespace {

const char kUsage[] =
    "usage: admitsim --socket PATH [--journal FILE] [--time-scale N] [--recheck-interval SECONDS]\n"
    "       admitsim event --socket PATH host-up IP MAC KIND | host-down IP | recheck IP\n"
    "                                    | seen IP MAC | raw CODE IP\n"
    "       admitsim status --socket PATH\n"
    "\n"
    "Without a command, runs the admission component on the datagram socket PATH (and its\n"
    "control socket PATH.ctl) until SIGTERM or SIGINT. The daemon's address is the sender of\n"
    "KMSG_HELLO. --journal FILE appends one JSON object a line for every message received and\n"
    "every event sent (FILE '-' is standard output). --time-scale N runs the clock N times\n"
    "faster than real time (default 1). --recheck-interval sets the simulated seconds between\n"
    "KEV_RECHECK events (default: the permit's recheck_seconds).\n"
    "\n"
    "event asks a running admitsim to send an event to the daemon: host-up marks an exempt host\n"
    "(kind 0 or 1) up, host-down forgets the host, recheck and raw (any event code) only send;\n"
    "seen treats the host as seen in traffic (restarts an admitted client's idle timer, or\n"
    "brings up a host whose MAC address or address is exempt). status prints admitsim's tables.\n";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "admitsim: %s\n(admitsim --help shows the usage)\n", what.c_str());
  return 2;
}

// Simulated traffic: a host is active when the operator says it was seen.
class Simulator : public Server {
 public:
  explicit Simulator(const ServerOptions& o) : Server("admitsim", o) {}

 private:
  bool control(const std::vector<std::string>& request, bool* ok, std::string* text) override;
};

bool Simulator::control(const std::vector<std::string>& request, bool* ok, std::string* text) {
  if (request.empty() || request[0] != "event") return false;
  std::vector<std::string> words(request.begin() + 1, request.end());
  EventRequest req;
  std::string error;
  *ok = false;
  if (!parse_event_request(words, &req, &error)) {
    *text = error;
    return true;
  }
  if (!daemon_known()) {
    *text = "no daemon address yet: the daemon has not sent KMSG_HELLO";
    return true;
  }
  const double t = now();
  std::vector<Event> events;
  std::string what;
  switch (req.action) {
    case Action::host_up:
      events.push_back(tables_.host_up(req.addr, req.mac, req.kind, t));
      break;
    case Action::host_down:
      events.push_back(tables_.host_down(req.addr));
      break;
    case Action::recheck:
      events.push_back(Event{KEV_RECHECK, req.addr, KIND_CLIENT_IP, Mac{}, "operator"});
      break;
    case Action::raw:
      events.push_back(Event{req.code, req.addr, 0, Mac{}, "operator"});
      break;
    case Action::seen: {
      events = tables_.seen(req.addr, req.mac, t, &what);
      JsonLine note;
      note.str("msg", "seen").str("addr", addr_text(req.addr)).str("mac", mac_text(req.mac))
          .str("result", what);
      journal(note, "note", t);
      break;
    }
  }
  const std::string failed = send_all(events);
  if (!failed.empty()) {
    *text = "the event could not be sent to the daemon at " + daemon_text() + ": " + failed;
    return true;
  }
  if (what.empty()) what = std::string(event_name(events[0].code)) + " (code " +
                           std::to_string(events[0].code) + ") sent for " + addr_text(req.addr);
  *ok = true;
  *text = what;
  return true;
}

int client_main(const std::string& command, int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error, socket;
  bool help = false;
  if (!split_args(argc, argv, 2, {"--socket"}, {}, &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (const auto& o : opts) socket = o.second;
  if (socket.empty()) return usage_error(command + " needs --socket PATH");
  std::string request = command;
  if (command == "status") {
    if (!words.empty()) return usage_error("status takes no further arguments");
  } else {
    EventRequest req;
    if (!parse_event_request(words, &req, &error)) return usage_error(error);
    for (const auto& w : words) request += "\n" + w;
  }
  return control_command("admitsim", socket, request);
}

int server_main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error;
  bool help = false;
  if (!split_args(argc, argv, 1, server_option_names(), {}, &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!words.empty()) return usage_error("unknown command '" + words[0] + "'");
  ServerOptions o;
  for (const auto& kv : opts) {
    if (take_server_option(kv.first, kv.second, &o, &error) < 0) return usage_error(error);
  }
  if (o.socket.empty()) return usage_error("--socket PATH is required");
  Simulator server(o);
  return server.run();
}

}  // namespace
}  // namespace admit

int main(int argc, char** argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "event") || !std::strcmp(argv[1], "status")))
    return admit::client_main(argv[1], argc, argv);
  return admit::server_main(argc, argv);
}
