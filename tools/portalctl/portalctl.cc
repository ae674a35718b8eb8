// portalctl: sends one control request to portald's control socket, as the router's
// configuration pages do, and shows the clients online and the daemon's state. The daemon
// never answers a request; portalctl looks at the registration file, the configuration files
// and the admission component to tell when a request matched nothing.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/requests.h"
#include "client.h"
#include "core/paths.h"
#include "overview.h"

namespace {

const char kUsage[] =
    "usage: portalctl [--socket PATH] [--admit PATH] [--timeout SECONDS] COMMAND ARGUMENTS\n"
    "\n"
    "Commands:\n"
    "  list [--json]                     the clients online: name, address, MAC, login\n"
    "                                    time, auth type and, where the admission component\n"
    "                                    tells, the time left online, today and until idle\n"
    "  status [--json]                   whether portald runs, the auth type in force, the\n"
    "                                    number of clients, the admission component's tables\n"
    "  add-account NAME VALIDITY [NOTE]  add a local account (until the daemon restarts);\n"
    "                                    VALIDITY is * (no limit), hours a day (0 to 99)\n"
    "                                    or the last valid day YEAR-MONTH-DAY\n"
    "  remove-account NAME               take the account's clients off line and delete it\n"
    "  cut IP                            take the client with this address off line\n"
    "  permit-mac MAC                    let the MAC address (aa:bb:cc:dd:ee:ff) through\n"
    "  revoke-mac MAC                    withdraw the MAC address\n"
    "\n"
    "Options (before the command):\n"
    "  --socket PATH      control socket (default: /tmp/R3localsocket under\n"
    "                     PORTALD_ROOT)\n"
    "  --admit PATH       the admission component's socket (admitd, admitsim; default:\n"
    "                     PORTALD_KERNEL_SOCKET, else /run/portald/admit.sock)\n"
    "  --timeout SECONDS  how long to wait while the daemon's queue is full (default 10)\n"
    "  --help             this text\n"
    "\n"
    "NAME and NOTE take at most 64 characters, VALIDITY 16; longer texts are refused, never\n"
    "cut. The daemon sends no answer: cut, remove-account and revoke-mac look first at the\n"
    "registration file, the account file, the exempt MAC file and the admission component,\n"
    "and say when the request matches nothing there (it is sent all the same).\n"
    "\n"
    "Exit status:\n"
    "   0  the request was sent; list and status printed; status: portald runs\n"
    "   1  the request was sent, but matched nothing\n"
    "   3  status: portald does not run\n"
    "  64  bad arguments\n"
    "  69  the control socket cannot be reached\n"
    "  74  sending failed otherwise\n"
    "  75  the daemon did not take the request within the time-out\n";

// Ends with the message for what is wrong with the arguments, if anything is.
void check(client::ControlProblem p, const std::string& arg) {
  switch (p) {
    case client::ControlProblem::kFine:
      return;
    case client::ControlProblem::kEmptyName:
      client::fail(client::kExitUsage, "NAME is empty");
    case client::ControlProblem::kNameTooLong:
    case client::ControlProblem::kNoteTooLong:
      client::fail(client::kExitUsage,
                   std::string(p == client::ControlProblem::kNameTooLong ? "NAME" : "NOTE") +
                       " is " + std::to_string(arg.size()) + " characters long; at most " +
                       std::to_string(auth::kCtrlUser.width) + " fit");
    case client::ControlProblem::kBadValidity:
      client::fail(client::kExitUsage,
                   "VALIDITY must be *, hours a day (0 to 99) or a day written "
                   "YEAR-MONTH-DAY, not '" + arg + "'");
    case client::ControlProblem::kBadAddress:
      client::fail(client::kExitUsage,
                   "IP must be a dotted-decimal IPv4 address, not '" + arg + "'");
    case client::ControlProblem::kBadMac:
      client::fail(client::kExitUsage,
                   "MAC must be six hex bytes such as 00:11:22:aa:bb:cc, not '" + arg + "'");
  }
}

void build_add_account(unsigned char* rec, char** args, int n) {
  const std::string note = n > 2 ? args[2] : "";
  const client::ControlProblem p = client::add_account_request(rec, args[0], args[1], note);
  check(p, p == client::ControlProblem::kBadValidity ? args[1]
           : p == client::ControlProblem::kNoteTooLong ? note
                                                       : args[0]);
}

void build_remove_account(unsigned char* rec, char** args, int) {
  check(client::remove_account_request(rec, args[0]), args[0]);
}

void build_cut(unsigned char* rec, char** args, int) {
  check(client::cut_request(rec, args[0]), args[0]);
}

void build_permit_mac(unsigned char* rec, char** args, int) {
  check(client::mac_request(rec, auth::CTRL_PERMIT_MAC, args[0]), args[0]);
}

void build_revoke_mac(unsigned char* rec, char** args, int) {
  check(client::mac_request(rec, auth::CTRL_REVOKE_MAC, args[0]), args[0]);
}

std::string cut_unmatched(char** args, const std::string& admit) {
  return portalctl::cut_unmatched(args[0], admit);
}

std::string remove_unmatched(char** args, const std::string&) {
  return portalctl::remove_unmatched(args[0]);
}

std::string revoke_unmatched(char** args, const std::string& admit) {
  return portalctl::revoke_unmatched(args[0], admit);
}

struct Command {
  const char* name;
  int min_args;
  int max_args;
  const char* arguments;
  void (*build)(unsigned char* rec, char** args, int n);
  // Empty when the request will find what it names; else why not. Null: not asked.
  std::string (*unmatched)(char** args, const std::string& admit);
};

const Command kCommands[] = {
    {"add-account", 2, 3, "NAME VALIDITY [NOTE]", build_add_account, nullptr},
    {"remove-account", 1, 1, "NAME", build_remove_account, remove_unmatched},
    {"cut", 1, 1, "IP", build_cut, cut_unmatched},
    {"permit-mac", 1, 1, "MAC", build_permit_mac, nullptr},
    {"revoke-mac", 1, 1, "MAC", build_revoke_mac, revoke_unmatched},
};

struct Query {
  const char* name;
  int (*run)(const std::string& admit, bool json);
};

const Query kQueries[] = {
    {"list", portalctl::list_command},
    {"status", portalctl::status_command},
};

std::string default_admit_socket() {
  const char* env = std::getenv("PORTALD_KERNEL_SOCKET");
  return env != nullptr && *env != '\0' ? env : "/run/portald/admit.sock";
}

const option kOptions[] = {
    {"socket", required_argument, nullptr, 's'},
    {"admit", required_argument, nullptr, 'a'},
    {"timeout", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int main(int argc, char** argv) {
  client::set_program("portalctl");
  std::string path = core::fixed_path(core::kControlSocketPath);
  int timeout_ms = client::kDefaultTimeoutMs;
  std::string admit = default_admit_socket();

  // Options end at the command, so names and notes may begin with a dash.
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+:", kOptions, nullptr)) != -1) {
    switch (c) {
      case 's':
        path = optarg;
        break;
      case 'a':
        admit = optarg;
        break;
      case 't':
        timeout_ms = client::parse_timeout(optarg);
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        client::bad_option(c, argv);
    }
  }
  if (optind >= argc) client::fail(client::kExitUsage, "no command given (see --help)");
  const std::string name = argv[optind];
  for (const Query& q : kQueries) {
    if (name != q.name) continue;
    const int rest = argc - optind - 1;
    const bool json = rest == 1 && std::strcmp(argv[optind + 1], "--json") == 0;
    if (rest > (json ? 1 : 0)) client::fail(client::kExitUsage, "usage: portalctl " + name + " [--json]");
    return q.run(admit, json);
  }
  const Command* cmd = nullptr;
  for (const Command& k : kCommands) {
    if (name == k.name) cmd = &k;
  }
  if (cmd == nullptr) {
    client::fail(client::kExitUsage, "unknown command '" + name + "' (see --help)");
  }
  const int n = argc - optind - 1;
  if (n < cmd->min_args || n > cmd->max_args) {
    client::fail(client::kExitUsage,
                 "usage: portalctl [--socket PATH] " + name + " " + cmd->arguments);
  }

  unsigned char request[auth::kRecordSize] = {};
  cmd->build(request, argv + optind + 1, n);
  // Looked at before sending: afterwards the daemon may already have removed what matched.
  const std::string unmatched =
      cmd->unmatched != nullptr ? cmd->unmatched(argv + optind + 1, admit) : std::string();

  const client::UnixAddress addr = client::unix_address(path);
  const client::ControlOutcome out = client::control_send(addr, request, timeout_ms);
  switch (out.sent) {
    case client::Sent::kSent:
      if (unmatched.empty()) return 0;
      std::fprintf(stderr, "portalctl: %s: %s\n", name.c_str(), unmatched.c_str());
      return 1;
    case client::Sent::kTimeout:
      client::fail(client::kExitTimeout, "the daemon did not take the request in time");
    case client::Sent::kUnreachable:
      client::fail(client::kExitUnreachable, "cannot send to the control socket " + path +
                                                 ": " + std::strerror(out.error));
    case client::Sent::kFailed:
      break;
  }
  if (out.error == 0) client::fail(client::kExitIo, "the control request went out incomplete");
  client::fail(client::kExitIo,
               "cannot send to the control socket " + path + ": " + std::strerror(out.error));
}
