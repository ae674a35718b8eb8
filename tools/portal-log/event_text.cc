#include "event_text.h"

#include <cstring>
#include <vector>

#include "wire.h"

namespace portal_log {
namespace {

constexpr char kKeyedMarker[] = "R1 0 R3 ";
constexpr char kTokenMarker[] = "@#@ log_info";

// What the "%s" places of a form hold.
enum class Args {
  kNone,
  kName,        // user, account or client name (last %s)
  kClient,      // IP, a blank, MAC
  kMac,         // MAC alone
  kClientName,  // IP and MAC, then the name
  kHost,        // the mail server's host name
};

// Every token line the daemon writes, exactly as it writes it. The forms differ in their
// blanks; the two without an address that name a user (a known client logging in again by
// one key, and an added account) differ in nothing else.
struct TokenForm {
  const char* format;
  Args args;
  const char* event;
  const char* method;
  const char* sentence;  // {who}: the name or "a client"; {where}: IP (MAC)
};

const TokenForm kTokenForms[] = {
    {"@#@ log_info n %s  - webident - -v ident.userident  ident.webidentup ident.useridentname +  %s ",
     Args::kClientName, "online", "account", "{who} came online from {where} by account login"},
    {"@#@ log_info n %s  - webident - -v ident.userident  ident.webidentdown ident.useridentname + %s ",
     Args::kClientName, "offline", "account", "{who} went offline from {where} (account login)"},
    {"@#@ log_info n  %s  - webident - -v ident.emailident  ident.webidentup  ident.emailidentname + %s",
     Args::kClientName, "online", "mail", "{who} came online from {where} by mail login"},
    {"@#@ log_info n %s - webident - -v ident.emailident  ident.webidentdown  ident.emailidentname + %s ",
     Args::kClientName, "offline", "mail",
     "{who} went offline from {where}: the mailbox logged in elsewhere"},
    {"@#@ log_info n %s  - webident - -v ident.onekeyident ident.webidentup", Args::kClient,
     "online", "one-key", "a client came online from {where} by one-key login"},
    {"@#@ log_info n  %s  - webident - -v ident.onekeyident  ident.webidentdown", Args::kClient,
     "offline", "one-key", "the client at {where} went offline (one-key login)"},
    {"@#@ log_info n - -   - webident - -v ident.userident ident.webidentup  ident.useridentname + %s ",
     Args::kName, "online-again", "one-key", "{who} came online again from a known address"},
    {"@#@ log_info n - - - webident - -v ident.userident ident.webidentup  ident.useridentname + %s",
     Args::kName, "account-added", "account", "account {name} added"},
    {"@#@ log_info n - - - webident - -v ident.userident ident.webidentdown  %s", Args::kName,
     "account-removed", "account", "account {name} removed"},
    {"@#@ log_info n %s - webident - -v ident.webidentdown ident.identcuted ident.cutname + %s ",
     Args::kClientName, "cut", "", "{who} at {where} was cut off by the administrator"},
    {"@#@ log_info n - %s - webident - -v ident.macident  ident.webidentdown", Args::kMac,
     "host-offline", "exempt", "exempt host {mac} went offline"},
    {"@#@ log_info n - %s - webident - -v ident.macident ident.webidentdown", Args::kMac,
     "host-offline", "exempt", "exempt host {mac} went offline"},
    {"@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  ident.emailhostname + %s",
     Args::kHost, "mail-accepted", "mail", "mail server {host} accepted a mailbox login"},
    {"@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup ident.emailhostname  + %s",
     Args::kHost, "mail-accepted", "mail", "mail server {host} accepted a mailbox login (IMAP)"},
    {"@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr", Args::kNone,
     "mail-refused", "mail", "the POP3 server refused a mailbox name"},
    {"@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr", Args::kNone,
     "mail-refused", "mail", "the POP3 server refused a mailbox password"},
    {"@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr", Args::kNone,
     "mail-refused", "mail", "the IMAP server refused a mailbox login"},
    {"@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr", Args::kNone,
     "mail-refused", "mail", "the IMAP server over TLS refused a mailbox login"},
};

// Every keyed line: title key, message key and what follows the message key.
struct KeyedForm {
  const char* title;
  const char* key;  // empty: the start-up line, whose message is empty
  Args args;
  const char* event;
  const char* method;
  const char* sentence;
};

const KeyedForm kKeyedForms[] = {
    {"syslog.webauth_enable", "", Args::kNone, "started", "", "portald started"},
    {"syslog.webauth_userti", "syslog.webauth_user", Args::kName, "account-added", "account",
     "account {name} added"},
    {"syslog.webauth_userti", "syslog.webauth_logoutuser", Args::kName, "account-removed",
     "account", "account {name} removed"},
    {"syslog.webauth_userti", "syslog.webauth_onuser", Args::kClientName, "online", "",
     "{who} came online from {where}"},
    {"syslog.webauth_userti", "syslog.webauth_onuser", Args::kName, "online", "",
     "{who} came online"},
    {"syslog.webauth_userti", "syslog.webauth_downuser", Args::kClientName, "taken-offline", "",
     "{who} was taken offline at {where}"},
    {"syslog.webauth_ipti", "syslog.webauth_downuser", Args::kClientName, "offline", "",
     "{who} went offline from {where}"},
    {"syslog.webauth_ipti", "syslog.webauth_onip", Args::kClient, "host-online", "exempt",
     "exempt host {ip} came online"},
    {"syslog.webauth_macti", "syslog.webauth_onmac", Args::kMac, "host-online", "exempt",
     "exempt host {mac} came online"},
    {"syslog.webauth_macti", "syslog.webauth_downmac", Args::kMac, "host-offline", "exempt",
     "exempt host {mac} went offline"},
};

std::string rtrim(const std::string& s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\r' || s[n - 1] == '\n')) --n;
  return s.substr(0, n);
}

bool ends_with(const std::string& s, const std::string& tail, size_t from) {
  return s.size() >= from + tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Matches text against a format whose "%s" places take any text; the texts of the places.
// A place before the last ends at the first occurrence of the text that follows it.
bool match_places(const std::string& format, const std::string& text,
                  std::vector<std::string>* args) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t at; (at = format.find("%s", start)) != std::string::npos; start = at + 2) {
    pieces.push_back(format.substr(start, at - start));
  }
  pieces.push_back(format.substr(start));
  args->clear();
  if (text.compare(0, pieces[0].size(), pieces[0]) != 0) return false;
  if (pieces.size() == 1) return text.size() == pieces[0].size();
  size_t pos = pieces[0].size();
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (i + 1 == pieces.size()) {
      if (!ends_with(text, pieces[i], pos)) return false;
      args->push_back(text.substr(pos, text.size() - pieces[i].size() - pos));
      return true;
    }
    const size_t at = text.find(pieces[i], pos);
    if (at == std::string::npos) return false;
    args->push_back(text.substr(pos, at - pos));
    pos = at + pieces[i].size();
  }
  return true;
}

// As match_places, for a text whose trailing blanks a log may have dropped: a format that
// ends in a place also matches the text without that place and the blanks before it.
bool match(const std::string& format, const std::string& text, std::vector<std::string>* args) {
  if (match_places(format, text, args)) return true;
  if (format.size() < 2 || format.compare(format.size() - 2, 2, "%s") != 0) return false;
  if (!match_places(rtrim(format.substr(0, format.size() - 2)), text, args)) return false;
  args->push_back("");
  return true;
}

std::string squeeze(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

void set_client(Event& e, const std::string& ip_mac) {
  const size_t blank = ip_mac.find(' ');
  e.ip = ip_mac.substr(0, blank);
  e.mac = blank == std::string::npos ? "" : ip_mac.substr(blank + 1);
}

void replace_all(std::string& s, const char* from, const std::string& to) {
  const size_t n = std::strlen(from);
  for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, n, to);
}

void fill(Event& e, const char* event, const char* method, const char* sentence) {
  e.known = true;
  e.event = event;
  e.method = method;
  std::string text = sentence;
  replace_all(text, "{who}", e.user.empty() ? std::string("a client") : e.user);
  replace_all(text, "{where}", e.mac.empty() ? e.ip : e.ip + " (" + e.mac + ")");
  replace_all(text, "{name}", e.user.empty() ? std::string("with an empty name") : e.user);
  replace_all(text, "{ip}", e.ip);
  replace_all(text, "{mac}", e.mac);
  replace_all(text, "{host}", e.host);
  e.text = text;
}

bool describe_token(const std::string& rest, Event& e) {
  std::vector<std::string> args;
  // First exactly as written; then with runs of blanks taken as one, for relays that
  // squeeze them.
  for (int pass = 0; pass < 2; ++pass) {
    const std::string text = pass == 0 ? rtrim(rest) : squeeze(rtrim(rest));
    for (const TokenForm& f : kTokenForms) {
      const std::string format = pass == 0 ? rtrim(f.format) : squeeze(rtrim(f.format));
      if (!match(format, text, &args)) continue;
      switch (f.args) {
        case Args::kNone: break;
        case Args::kName: e.user = args[0]; break;
        case Args::kClient: set_client(e, args[0]); break;
        case Args::kMac: e.mac = args[0]; break;
        case Args::kClientName: set_client(e, args[0]); e.user = args[1]; break;
        case Args::kHost: e.host = args[0]; break;
      }
      fill(e, f.event, f.method, f.sentence);
      return true;
    }
  }
  return false;
}

bool describe_keyed(const std::string& rest, Event& e) {
  const std::string line = rest.substr(0, rest.find_last_not_of("\r\n") + 1);
  const size_t title_end = line.find(' ');
  const std::string title = line.substr(0, title_end);
  const std::string message = title_end == std::string::npos ? "" : line.substr(title_end + 1);
  const size_t key_end = message.find(' ');
  const std::string key = message.substr(0, key_end);
  // What follows the key, its separating blank included.
  const std::string after = key_end == std::string::npos ? "" : message.substr(key_end);
  for (const KeyedForm& f : kKeyedForms) {
    if (title != f.title || key != f.key) continue;
    if (f.args == Args::kNone) {
      if (!after.empty() && rtrim(after).size() > 0) continue;
    } else if (f.args == Args::kClientName) {
      const size_t mac_at = after.rfind(" MAC: ");
      if (mac_at == std::string::npos || mac_at == 0) continue;
      const size_t ip_at = after.rfind(" IP: ", mac_at - 1);
      if (ip_at == std::string::npos || ip_at == 0) continue;
      e.user = after.substr(1, ip_at - 1);
      e.ip = after.substr(ip_at + 5, mac_at - ip_at - 5);
      e.mac = after.substr(mac_at + 6);
    } else {
      if (f.args == Args::kName && after.find(" IP: ") != std::string::npos &&
          after.find(" MAC: ") != std::string::npos) {
        continue;
      }
      const std::string value = after.empty() ? "" : after.substr(1);
      if (f.args == Args::kName) e.user = value;
      if (f.args == Args::kClient) e.ip = value;
      if (f.args == Args::kMac) e.mac = value;
    }
    fill(e, f.event, f.method, f.sentence);
    return true;
  }
  return false;
}

}  // namespace

Event describe(const std::string& line) {
  Event e;
  const size_t keyed = line.find(kKeyedMarker);
  const size_t token = line.find(kTokenMarker);
  if (keyed == std::string::npos && token == std::string::npos) return e;
  if (token != std::string::npos && (keyed == std::string::npos || token < keyed)) {
    e.form = "token";
    e.prefix = line.substr(0, token);
    if (describe_token(line.substr(token), e)) return e;
  } else {
    e.form = "keyed";
    e.prefix = line.substr(0, keyed);
    if (describe_keyed(line.substr(keyed + std::strlen(kKeyedMarker)), e)) return e;
  }
  return Event{};
}

std::string plain(const std::string& line, const Event& e) {
  return e.known ? e.prefix + e.text : line;
}

std::string json(const std::string& line, const Event& e) {
  admit::JsonLine j;
  j.str("line", line).boolean("known", e.known);
  if (!e.known) return j.text();
  if (!e.prefix.empty()) j.str("prefix", e.prefix);
  j.str("form", e.form).str("event", e.event);
  if (!e.method.empty()) j.str("method", e.method);
  if (!e.user.empty()) j.str("user", e.user);
  if (!e.ip.empty()) j.str("ip", e.ip);
  if (!e.mac.empty()) j.str("mac", e.mac);
  if (!e.host.empty()) j.str("host", e.host);
  j.str("text", e.text);
  return j.text();
}

}  // namespace portal_log
