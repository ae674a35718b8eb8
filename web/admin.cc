#include "admin.h"

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>
#include <vector>

#include "auth/requests.h"
#include "client.h"
#include "control.h"
#include "core/paths.h"
#include "csrf.h"
#include "login.h"
#include "online_list.h"

namespace web {
namespace {

// How long a cut may take to show in the registration file before the page says so.
constexpr int kCutWaitMs = 2000;
constexpr int kControlTimeoutMs = 3000;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string t(const PageContext& ctx, Msg m) { return html_escape(text(ctx.lang, m)); }

struct Outcome {
  std::string message;
  bool good = false;
  int status = 200;
};

// What one action needs: the form and the texts of the request it became.
using Action = Outcome (*)(const PageContext& ctx, const Form& form);

Outcome problem_outcome(Language lang, client::ControlProblem p, const std::string& arg) {
  Outcome o;
  o.status = 400;
  switch (p) {
    case client::ControlProblem::kEmptyName:
      o.message = text(lang, Msg::kEnterName);
      break;
    case client::ControlProblem::kNameTooLong:
      o.message = fill(text(lang, Msg::kFieldTooLong),
                       {text(lang, Msg::kLabelName), std::to_string(auth::kCtrlUser.width)});
      break;
    case client::ControlProblem::kNoteTooLong:
      o.message = fill(text(lang, Msg::kFieldTooLong),
                       {text(lang, Msg::kLabelNote), std::to_string(auth::kCtrlNote.width)});
      break;
    case client::ControlProblem::kBadValidity:
      o.message = text(lang, Msg::kBadValidity);
      break;
    case client::ControlProblem::kBadAddress:
      o.message = fill(text(lang, Msg::kBadAddress), {arg});
      break;
    case client::ControlProblem::kBadMac:
      o.message = fill(text(lang, Msg::kBadMac), {arg});
      break;
    case client::ControlProblem::kFine:
      break;
  }
  return o;
}

// Sends a built request; the outcome is the success sentence or why nothing changed.
Outcome send(Language lang, const unsigned char* request, const std::string& good_message,
             const std::string& what) {
  Outcome o;
  client::UnixAddress addr;
  client::ControlOutcome out;
  if (client::make_unix_address(core::fixed_path(core::kControlSocketPath), &addr)) {
    out = client::control_send(addr, request, kControlTimeoutMs);
  }
  if (out.sent != client::Sent::kSent) {
    note("control request " + what + ": not sent");
    o.message = text(lang, Msg::kControlDown);
    o.status = 503;
    return o;
  }
  note("control request " + what + ": sent");
  o.message = good_message;
  o.good = true;
  return o;
}

// The texts of an action's form: each must be printable text, else the form is refused.
bool printable_fields(const Form& form, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (!printable_text(form.get(n))) return false;
  }
  return true;
}

Outcome unreadable(Language lang) {
  Outcome o;
  o.message = text(lang, Msg::kUnknownAction);
  o.status = 400;
  return o;
}

Outcome do_cut(const PageContext& ctx, const Form& form) {
  const std::string ip = form.get("ip");
  if (!printable_fields(form, {"ip"})) return unreadable(ctx.lang);
  unsigned char rec[auth::kRecordSize];
  const client::ControlProblem p = client::cut_request(rec, ip);
  if (p != client::ControlProblem::kFine) return problem_outcome(ctx.lang, p, ip);
  Outcome o = send(ctx.lang, rec, fill(text(ctx.lang, Msg::kCutDone), {ip}), "cut " + ip);
  if (!o.good) return o;
  // The daemon never answers; its registration file shows when the cut has happened.
  for (int waited = 0; is_online(read_online_list(), ip); waited += 50) {
    if (waited >= kCutWaitMs) {
      o.message = fill(text(ctx.lang, Msg::kCutStillListed), {ip});
      o.good = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return o;
}

Outcome do_add_account(const PageContext& ctx, const Form& form) {
  if (!printable_fields(form, {"name", "validity", "note"})) return unreadable(ctx.lang);
  const std::string name = form.get("name");
  const std::string validity = form.get("validity");
  const std::string note_text = form.get("note");
  unsigned char rec[auth::kRecordSize];
  const client::ControlProblem p = client::add_account_request(rec, name, validity, note_text);
  if (p != client::ControlProblem::kFine) return problem_outcome(ctx.lang, p, name);
  return send(ctx.lang, rec, fill(text(ctx.lang, Msg::kAccountAdded), {name}),
              "add-account \"" + name + "\" " + validity);
}

Outcome do_remove_account(const PageContext& ctx, const Form& form) {
  if (!printable_fields(form, {"name"})) return unreadable(ctx.lang);
  const std::string name = form.get("name");
  unsigned char rec[auth::kRecordSize];
  const client::ControlProblem p = client::remove_account_request(rec, name);
  if (p != client::ControlProblem::kFine) return problem_outcome(ctx.lang, p, name);
  return send(ctx.lang, rec, fill(text(ctx.lang, Msg::kAccountRemoved), {name}),
              "remove-account \"" + name + "\"");
}

Outcome do_mac(const PageContext& ctx, const Form& form, auth::ControlCommand command) {
  if (!printable_fields(form, {"mac"})) return unreadable(ctx.lang);
  const std::string mac = form.get("mac");
  unsigned char rec[auth::kRecordSize];
  const client::ControlProblem p = client::mac_request(rec, command, mac);
  if (p != client::ControlProblem::kFine) return problem_outcome(ctx.lang, p, mac);
  const bool permit = command == auth::CTRL_PERMIT_MAC;
  return send(ctx.lang, rec,
              fill(text(ctx.lang, permit ? Msg::kMacPermitted : Msg::kMacRevoked), {mac}),
              std::string(permit ? "permit-mac " : "revoke-mac ") + mac);
}

Outcome do_permit_mac(const PageContext& ctx, const Form& form) {
  return do_mac(ctx, form, auth::CTRL_PERMIT_MAC);
}

Outcome do_revoke_mac(const PageContext& ctx, const Form& form) {
  return do_mac(ctx, form, auth::CTRL_REVOKE_MAC);
}

const struct {
  const char* name;
  Action run;
} kActions[] = {
    {"cut", do_cut},
    {"add-account", do_add_account},
    {"remove-account", do_remove_account},
    {"permit-mac", do_permit_mac},
    {"revoke-mac", do_revoke_mac},
};

std::string local_time_text(long long t) {
  const time_t tt = static_cast<time_t>(t);
  tm local{};
  localtime_r(&tt, &local);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M", &local);
  return buf;
}

std::string admit_socket() {
  const std::string s = env("PORTAL_WEB_ADMIT_SOCKET");
  return s.empty() ? env("PORTALD_KERNEL_SOCKET") : s;
}

std::string left_text(Language lang, const TimeLeft& left) {
  std::vector<std::string> parts;
  if (left.online >= 0) parts.push_back(fill(text(lang, Msg::kOnlineLeft), {duration_text(lang, left.online)}));
  if (left.quota >= 0) parts.push_back(fill(text(lang, Msg::kQuotaLeft), {duration_text(lang, left.quota)}));
  if (left.idle >= 0) parts.push_back(fill(text(lang, Msg::kIdleLeft), {duration_text(lang, left.idle)}));
  std::string s;
  for (const std::string& p : parts) s += (s.empty() ? "" : ", ") + p;
  return s;
}

std::string form_start(const PageContext& ctx, const std::string& token) {
  return "<form method=\"post\" action=\"" + html_escape(ctx.base) + "/admin\">" +
         hidden_input("csrf", token);
}

std::string input(const PageContext& ctx, const char* id, Msg label, size_t maxlength,
                  bool required, const std::string& placeholder = "") {
  return "<label for=\"" + std::string(id) + "\">" + t(ctx, label) + "</label><input type=\"text\" id=\"" +
         id + "\" name=\"" + id + "\" maxlength=\"" + std::to_string(maxlength) +
         "\" autocomplete=\"off\" autocapitalize=\"none\" spellcheck=\"false\"" +
         (placeholder.empty() ? "" : " placeholder=\"" + html_escape(placeholder) + "\"") +
         (required ? " required" : "") + ">";
}

std::string render(const PageContext& ctx, const std::string& token, const Outcome& outcome) {
  std::string body;
  body += "<h1>" + t(ctx, Msg::kAdminTitle) + "</h1>";
  if (!outcome.message.empty()) body += message_box(outcome.message, outcome.good);

  const std::vector<OnlineClient> online = read_online_list();
  std::map<std::string, TimeLeft> left;
  const std::string socket = admit_socket();
  std::string status;
  if (!socket.empty() && !online.empty() && admit::control_call("admission component", socket, "status", &status) == 0) {
    left = parse_time_left(status);
  }
  const long long now = static_cast<long long>(time(nullptr));
  body += "<div class=\"card\"><h2>" + t(ctx, Msg::kOnlineHeading) + " (" +
          std::to_string(online.size()) + ")</h2>";
  if (online.empty()) {
    body += "<p id=\"nobody\">" + t(ctx, Msg::kNobodyOnline) + "</p>";
  } else {
    body += "<table id=\"online\"><thead><tr><th>" + t(ctx, Msg::kColName) + "</th><th>" +
            t(ctx, Msg::kColAddress) + "</th><th>" + t(ctx, Msg::kColMac) + "</th><th>" +
            t(ctx, Msg::kColSince) + "</th><th>" + t(ctx, Msg::kColLeft) +
            "</th><th></th></tr></thead><tbody>";
    for (const OnlineClient& c : online) {
      const auto l = left.find(c.ip);
      const std::string name_cell =
          c.name.empty() ? "<td class=\"none\" data-label=\"" + t(ctx, Msg::kColName) + "\">" +
                               t(ctx, Msg::kOnekeyName) + "</td>"
                         : "<td data-label=\"" + t(ctx, Msg::kColName) + "\">" +
                               html_escape(c.name) + "</td>";
      body += "<tr>" + name_cell + "<td class=\"mono\" data-label=\"" + t(ctx, Msg::kColAddress) +
              "\">" + html_escape(c.ip) + "</td><td class=\"mono\" data-label=\"" +
              t(ctx, Msg::kColMac) + "\">" + html_escape(c.mac) + "</td><td data-label=\"" +
              t(ctx, Msg::kColSince) + "\">" + html_escape(local_time_text(c.login_time)) + " (" +
              html_escape(fill(text(ctx.lang, Msg::kAgo),
                               {duration_text(ctx.lang, now - c.login_time)})) +
              ")</td><td data-label=\"" + t(ctx, Msg::kColLeft) + "\">" +
              html_escape(l == left.end() ? "" : left_text(ctx.lang, l->second)) + "</td><td>" +
              form_start(ctx, token) + hidden_input("action", "cut") + hidden_input("ip", c.ip) +
              "<button class=\"small\" type=\"submit\">" + t(ctx, Msg::kButtonCut) +
              "</button></form></td></tr>";
    }
    body += "</tbody></table>";
  }
  body += "</div><div class=\"forms\">";
  body += "<div class=\"card\"><h2>" + t(ctx, Msg::kAddAccountHeading) + "</h2>" +
          form_start(ctx, token) + hidden_input("action", "add-account") +
          input(ctx, "name", Msg::kLabelName, 64, true) +
          input(ctx, "validity", Msg::kLabelValidity, 16, true, "*") + "<p class=\"hint\">" +
          t(ctx, Msg::kValidityHint) + "</p>" + input(ctx, "note", Msg::kLabelNote, 64, false) +
          "<button type=\"submit\">" + t(ctx, Msg::kButtonAdd) + "</button></form></div>";
  body += "<div class=\"card\"><h2>" + t(ctx, Msg::kRemoveAccountHeading) + "</h2>" +
          form_start(ctx, token) + hidden_input("action", "remove-account") +
          input(ctx, "name", Msg::kLabelName, 64, true) + "<button type=\"submit\">" +
          t(ctx, Msg::kButtonRemove) + "</button></form></div>";
  body += "<div class=\"card\"><h2>" + t(ctx, Msg::kMacHeading) + "</h2>" +
          form_start(ctx, token) + input(ctx, "mac", Msg::kLabelMac, 24, true, "00:11:22:aa:bb:cc") +
          "<div class=\"row2\"><button type=\"submit\" name=\"action\" value=\"permit-mac\">" +
          t(ctx, Msg::kButtonPermit) +
          "</button><button type=\"submit\" name=\"action\" value=\"revoke-mac\">" +
          t(ctx, Msg::kButtonRevoke) + "</button></div></form></div>";
  body += "</div>";
  return layout(ctx, text(ctx.lang, Msg::kAdminTitle), body, "", true);
}

}  // namespace

bool admin_allowed(const Request& req) {
  const std::string admin = env("PORTAL_WEB_ADMIN");
  if (admin.empty() || req.remote_user.empty()) return false;
  const size_t colon = admin.rfind(':');
  if (colon == std::string::npos) return false;
  std::string addr = admin.substr(0, colon);
  if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
  return req.server_addr == addr && req.server_port == admin.substr(colon + 1);
}

bool same_origin(const Request& req) {
  const std::string own1 = "http://" + req.host, own2 = "https://" + req.host;
  if (!req.origin.empty()) return req.origin == own1 || req.origin == own2;
  if (!req.referer.empty()) {
    return req.referer.rfind(own1 + "/", 0) == 0 || req.referer.rfind(own2 + "/", 0) == 0;
  }
  return true;
}

std::map<std::string, TimeLeft> parse_time_left(const std::string& status_text) {
  return admit::parse_status(status_text).clients;
}

Response admin_page(const Request& req, const PageContext& ctx) {
  Response r;
  r.headers.emplace_back("X-Robots-Tag", "noindex");
  std::string key;
  if (!load_key(key_path(), &key)) {
    note("admin page: no key at " + key_path());
    r.status = 503;
    r.body = layout(ctx, text(ctx.lang, Msg::kAdminTitle),
                    message_box(fill(text(ctx.lang, Msg::kNoKey), {key_path()}), false), "",
                    true);
    return r;
  }
  const long long now = static_cast<long long>(time(nullptr));
  Outcome outcome;
  if (req.method == "POST") {
    Form form;
    if (req.body_too_large || !form.parse(req.body)) {
      outcome = unreadable(ctx.lang);
    } else if (!same_origin(req) || !token_valid(key, req.remote_user, form.get("csrf"), now)) {
      note("admin form from " + req.remote_addr + " refused: token or origin");
      outcome.message = text(ctx.lang, Msg::kBadToken);
      outcome.status = 403;
    } else {
      outcome = unreadable(ctx.lang);
      const std::string action = form.get("action");
      for (const auto& a : kActions) {
        if (action == a.name) outcome = a.run(ctx, form);
      }
    }
  }
  r.status = outcome.status;
  r.body = render(ctx, issue_token(key, req.remote_user, now), outcome);
  return r;
}

}  // namespace web
