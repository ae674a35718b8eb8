// portalctl: sends one control request to portald's control socket, as the router's
// configuration pages do. The daemon never answers; exit status 0 means the request was sent.
#include <arpa/inet.h>
#include <getopt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/requests.h"
#include "client.h"
#include "core/paths.h"

namespace {

const char kUsage[] =
    "usage: portalctl [--socket PATH] [--timeout SECONDS] COMMAND ARGUMENTS\n"
    "\n"
    "Commands:\n"
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
    "  --timeout SECONDS  how long to wait while the daemon's queue is full (default 10)\n"
    "  --help             this text\n"
    "\n"
    "NAME and NOTE take at most 64 characters, VALIDITY 16; longer texts are refused, never\n"
    "cut. The daemon sends no answer.\n"
    "\n"
    "Exit status:\n"
    "   0  the request was sent\n"
    "  64  bad arguments\n"
    "  69  the control socket cannot be reached\n"
    "  74  sending failed otherwise\n"
    "  75  the daemon did not take the request within the time-out\n";

// The validity forms the daemon reads: "*", hours a day in at most two digits, or a date
// written year-month-day (the trailing dot of the account file is optional).
bool valid_validity(const std::string& v) {
  if (v == "*") return true;
  if (!v.empty() && v.size() <= 2) {
    return std::isdigit(static_cast<unsigned char>(v[0])) &&
           (v.size() == 1 || std::isdigit(static_cast<unsigned char>(v[1])));
  }
  unsigned year = 0, month = 0, day = 0;
  int used = 0;
  if (std::sscanf(v.c_str(), "%4u-%2u-%2u%n", &year, &month, &day, &used) != 3) return false;
  const std::string rest = v.substr(static_cast<size_t>(used));
  for (char ch : v.substr(0, static_cast<size_t>(used))) {
    if (ch != '-' && !std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  return (rest.empty() || rest == ".") && year >= 1970 && month >= 1 && month <= 12 &&
         day >= 1 && day <= 31;
}

// Six groups of one or two hex digits separated by colons: the form the daemon reads.
bool valid_mac(const std::string& m) {
  size_t i = 0;
  for (int group = 0; group < 6; ++group) {
    if (group > 0) {
      if (i >= m.size() || m[i] != ':') return false;
      ++i;
    }
    size_t digits = 0;
    while (i < m.size() && digits < 3 && std::isxdigit(static_cast<unsigned char>(m[i]))) {
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 2) return false;
  }
  return i == m.size();
}

void need_name(const std::string& name) {
  if (name.empty()) client::fail(client::kExitUsage, "NAME is empty");
}

void build_add_account(unsigned char* rec, char** args, int n) {
  need_name(args[0]);
  client::put_checked(rec, auth::kCtrlUser, args[0], "NAME");
  if (!valid_validity(args[1])) {
    client::fail(client::kExitUsage,
                 std::string("VALIDITY must be *, hours a day (0 to 99) or a day written "
                             "YEAR-MONTH-DAY, not '") +
                     args[1] + "'");
  }
  client::put_checked(rec, auth::kCtrlValidity, args[1], "VALIDITY");
  if (n > 2) client::put_checked(rec, auth::kCtrlNote, args[2], "NOTE");
}

void build_remove_account(unsigned char* rec, char** args, int) {
  need_name(args[0]);
  client::put_checked(rec, auth::kCtrlUser, args[0], "NAME");
}

void build_cut(unsigned char* rec, char** args, int) {
  in_addr a{};
  if (inet_pton(AF_INET, args[0], &a) != 1) {
    client::fail(client::kExitUsage,
                 std::string("IP must be a dotted-decimal IPv4 address, not '") + args[0] + "'");
  }
  client::put_checked(rec, auth::kCtrlCutIp, args[0], "IP");
}

void build_mac(unsigned char* rec, auth::Field f, const char* mac) {
  if (!valid_mac(mac)) {
    client::fail(client::kExitUsage,
                 std::string("MAC must be six hex bytes such as 00:11:22:aa:bb:cc, not '") +
                     mac + "'");
  }
  client::put_checked(rec, f, mac, "MAC");
}

void build_permit_mac(unsigned char* rec, char** args, int) {
  build_mac(rec, auth::kCtrlPermitMac, args[0]);
}

void build_revoke_mac(unsigned char* rec, char** args, int) {
  build_mac(rec, auth::kCtrlRevokeMac, args[0]);
}

struct Command {
  const char* name;
  auth::ControlCommand code;
  int min_args;
  int max_args;
  const char* arguments;
  void (*build)(unsigned char* rec, char** args, int n);
};

const Command kCommands[] = {
    {"add-account", auth::CTRL_ADD_ACCOUNT, 2, 3, "NAME VALIDITY [NOTE]", build_add_account},
    {"remove-account", auth::CTRL_REMOVE_ACCOUNT, 1, 1, "NAME", build_remove_account},
    {"cut", auth::CTRL_CUT_CLIENT, 1, 1, "IP", build_cut},
    {"permit-mac", auth::CTRL_PERMIT_MAC, 1, 1, "MAC", build_permit_mac},
    {"revoke-mac", auth::CTRL_REVOKE_MAC, 1, 1, "MAC", build_revoke_mac},
};

const option kOptions[] = {
    {"socket", required_argument, nullptr, 's'},
    {"timeout", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int main(int argc, char** argv) {
  client::set_program("portalctl");
  std::string path = core::fixed_path(core::kControlSocketPath);
  int timeout_ms = client::kDefaultTimeoutMs;

  // Options end at the command, so names and notes may begin with a dash.
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+:", kOptions, nullptr)) != -1) {
    switch (c) {
      case 's':
        path = optarg;
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
  auth::put_word(request, auth::kCtrlOffCmd, cmd->code);
  cmd->build(request, argv + optind + 1, n);

  const client::UnixAddress addr = client::unix_address(path);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) client::fail(client::kExitIo, std::string("socket: ") + std::strerror(errno));
  // The daemon reads one request per pass; a full queue makes the send wait.
  client::set_send_timeout(fd, timeout_ms);
  const ssize_t sent = sendto(fd, request, sizeof(request), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&addr.addr), addr.len);
  const int error = errno;
  close(fd);
  if (sent < 0 && error == EAGAIN) {
    client::fail(client::kExitTimeout, "the daemon did not take the request in time");
  }
  if (sent < 0) {
    const bool unreachable = error == ENOENT || error == ECONNREFUSED || error == ENOTDIR ||
                             error == EACCES || error == EPROTOTYPE || error == ENOTSOCK;
    client::fail(unreachable ? client::kExitUnreachable : client::kExitIo,
                 "cannot send to the control socket " + path + ": " + std::strerror(error));
  }
  if (static_cast<size_t>(sent) != sizeof(request)) {
    client::fail(client::kExitIo, "the control request went out incomplete");
  }
  return 0;
}
