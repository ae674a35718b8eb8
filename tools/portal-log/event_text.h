// portald's event lines in plain words. The daemon writes message keys and tokens, not prose:
// a keyed line "R1 0 R3 TITLE MESSAGE" and a token line "@#@ log_info n IP MAC - webident -v
// TOKENS + ARGUMENT", in a fixed set of forms. This reads one line of the system log, of the
// daemon's log file or of a pipe, and tells what it says; anything before the line's marker
// (a system log's time stamp, host and program) is kept as the prefix.
#pragma once

#include <string>

namespace portal_log {

struct Event {
  bool known = false;   // false: not an event line of the daemon, or one of unknown words
  std::string prefix;   // the text before the marker, as it stands
  std::string form;     // "keyed" or "token"
  std::string event;    // started, account-added, account-removed, online, online-again,
                        // offline, taken-offline, cut, host-online, host-offline,
                        // mail-accepted, mail-refused
  std::string method;   // account, mail, one-key, exempt; empty when the line does not say
  std::string user, ip, mac, host;
  std::string text;     // one plain sentence, without the prefix
};

Event describe(const std::string& line);

// The line as it should be printed: the prefix and the sentence, or the line unchanged.
std::string plain(const std::string& line, const Event& e);

// One JSON object: line, known, and for a known line the fields of Event that are set.
std::string json(const std::string& line, const Event& e);

}  // namespace portal_log
