// portal-login: sends one login request to portald, as the router's web pages do, and prints
// the daemon's answer.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/requests.h"
#include "client.h"
#include "core/paths.h"

namespace {

// Statuses of a completed exchange; 0 is LOGIN_OK.
constexpr int kExitRejected = 1;
constexpr int kExitLimitReached = 2;
constexpr int kExitNotListed = 3;
constexpr int kExitNoReply = 4;
constexpr int kExitOtherResult = 5;

const char kUsage[] =
    "usage: portal-login [--socket PATH] --ip IP --mac MAC [--user NAME] [--password PW]\n"
    "                    [--extra-a TEXT] [--extra-b TEXT] [--extra-word N]\n"
    "                    [--timeout SECONDS]\n"
    "\n"
    "Sends one login request for the client IP/MAC to portald's login socket and prints\n"
    "the daemon's answer: LOGIN_OK, LOGIN_REJECTED, LOGIN_LIMIT_REACHED, LOGIN_NOT_LISTED,\n"
    "the number of any other result, or \"no reply\" when the daemon closed the connection\n"
    "without answering (it does so for logins it ignores or refuses silently).\n"
    "\n"
    "  --socket PATH      login socket (default: /tmp/R3localsocket_login under\n"
    "                     PORTALD_ROOT)\n"
    "  --ip IP            the client's address, sent as typed (at most 16 characters)\n"
    "  --mac MAC          the client's MAC address text (at most 24 characters)\n"
    "  --user NAME        account or mailbox name (at most 64 characters)\n"
    "  --password PW      mailbox password (at most 16 characters)\n"
    "  --extra-a TEXT     free text stored with the login (at most 64 characters)\n"
    "  --extra-b TEXT     free text stored with the login (at most 64 characters)\n"
    "  --extra-word N     32-bit number stored with the login (decimal, default 0)\n"
    "  --timeout SECONDS  how long the whole exchange may take (default 10; a\n"
    "                     mail-server check can keep the daemon busy for seconds)\n"
    "  --help             this text\n"
    "\n"
    "A text longer than its field is refused, never cut.\n"
    "\n"
    "Exit status:\n"
    "   0  LOGIN_OK\n"
    "   1  LOGIN_REJECTED\n"
    "   2  LOGIN_LIMIT_REACHED\n"
    "   3  LOGIN_NOT_LISTED\n"
    "   4  no reply\n"
    "   5  any other result\n"
    "  64  bad arguments\n"
    "  69  the login socket cannot be reached\n"
    "  74  sending or receiving failed, or the reply was cut short\n"
    "  75  no answer within the time-out\n";

enum OptionCode {
  kOptSocket = 256,
  kOptIp,
  kOptMac,
  kOptUser,
  kOptPassword,
  kOptExtraA,
  kOptExtraB,
  kOptExtraWord,
  kOptTimeout,
  kOptHelp,
};

const option kOptions[] = {
    {"socket", required_argument, nullptr, kOptSocket},
    {"ip", required_argument, nullptr, kOptIp},
    {"mac", required_argument, nullptr, kOptMac},
    {"user", required_argument, nullptr, kOptUser},
    {"password", required_argument, nullptr, kOptPassword},
    {"extra-a", required_argument, nullptr, kOptExtraA},
    {"extra-b", required_argument, nullptr, kOptExtraB},
    {"extra-word", required_argument, nullptr, kOptExtraWord},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"help", no_argument, nullptr, kOptHelp},
    {nullptr, 0, nullptr, 0},
};

struct ResultName {
  int32_t code;
  const char* name;
  int status;
};

const ResultName kResults[] = {
    {auth::LOGIN_OK, "LOGIN_OK", 0},
    {auth::LOGIN_REJECTED, "LOGIN_REJECTED", kExitRejected},
    {auth::LOGIN_LIMIT_REACHED, "LOGIN_LIMIT_REACHED", kExitLimitReached},
    {auth::LOGIN_NOT_LISTED, "LOGIN_NOT_LISTED", kExitNotListed},
};

// Prints the answer and returns the exit status it stands for.
int report(const client::LoginOutcome& out, const std::string& path, int timeout_ms) {
  switch (out.exchange) {
    case client::Exchange::kReply:
      for (const ResultName& r : kResults) {
        if (r.code == out.result) {
          std::printf("%s\n", r.name);
          return r.status;
        }
      }
      std::printf("%d\n", out.result);
      return kExitOtherResult;
    case client::Exchange::kNoReply:
      std::printf("no reply\n");
      return kExitNoReply;
    case client::Exchange::kUnreachable:
      client::fail(client::kExitUnreachable,
                   "cannot reach the login socket " + path + ": " + std::strerror(out.error));
    case client::Exchange::kSendFailed:
      client::fail(client::kExitIo,
                   std::string("sending the login request failed: ") + std::strerror(out.error));
    case client::Exchange::kReceiveFailed:
      client::fail(client::kExitIo,
                   std::string("reading the reply failed: ") + std::strerror(out.error));
    case client::Exchange::kShortReply:
      client::fail(client::kExitIo, "the reply was cut short after " +
                                        std::to_string(out.received) + " of 300 bytes");
    case client::Exchange::kTimeout:
      break;
  }
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%g", timeout_ms / 1000.0);
  client::fail(client::kExitTimeout, std::string("no answer within ") + seconds + " seconds");
}

}  // namespace

int main(int argc, char** argv) {
  client::set_program("portal-login");
  std::string path = core::fixed_path(core::kLoginSocketPath);
  unsigned char request[auth::kRecordSize] = {};
  auth::put_word(request, auth::kLoginOffMsgType, auth::LOGIN_REQUEST_TYPE);
  bool have_ip = false;
  bool have_mac = false;
  int timeout_ms = client::kDefaultTimeoutMs;

  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", kOptions, nullptr)) != -1) {
    switch (c) {
      case kOptSocket:
        path = optarg;
        break;
      case kOptIp:
        if (*optarg == '\0') client::fail(client::kExitUsage, "--ip is empty");
        client::put_checked(request, auth::kLoginClientIp, optarg, "--ip");
        have_ip = true;
        break;
      case kOptMac:
        if (*optarg == '\0') client::fail(client::kExitUsage, "--mac is empty");
        client::put_checked(request, auth::kLoginClientMac, optarg, "--mac");
        have_mac = true;
        break;
      case kOptUser:
        client::put_checked(request, auth::kLoginUser, optarg, "--user");
        break;
      case kOptPassword:
        client::put_checked(request, auth::kLoginPassword, optarg, "--password");
        break;
      case kOptExtraA:
        client::put_checked(request, auth::kLoginExtraA, optarg, "--extra-a");
        break;
      case kOptExtraB:
        client::put_checked(request, auth::kLoginExtraB, optarg, "--extra-b");
        break;
      case kOptExtraWord: {
        uint32_t word = 0;
        if (!client::parse_word(optarg, &word)) {
          client::fail(client::kExitUsage,
                       std::string("--extra-word takes a 32-bit decimal number, not '") +
                           optarg + "'");
        }
        auth::put_word(request, auth::kLoginOffExtraWord, word);
        break;
      }
      case kOptTimeout:
        timeout_ms = client::parse_timeout(optarg);
        break;
      case kOptHelp:
        std::fputs(kUsage, stdout);
        return 0;
      default:
        client::bad_option(c, argv);
    }
  }
  if (optind < argc) {
    client::fail(client::kExitUsage,
                 std::string("unexpected argument '") + argv[optind] + "' (see --help)");
  }
  if (!have_ip) client::fail(client::kExitUsage, "--ip is required (see --help)");
  if (!have_mac) client::fail(client::kExitUsage, "--mac is required (see --help)");

  const client::UnixAddress addr = client::unix_address(path);
  return report(client::login_exchange(addr, request, timeout_ms), path, timeout_ms);
}
