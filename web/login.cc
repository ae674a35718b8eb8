#include "login.h"

#include <arpa/inet.h>

#include <cstdio>
#include <ctime>

#include "account_limit.h"
#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "neighbours.h"
#include "online_list.h"

namespace web {
namespace {

// A login request may take as long as a mail server check (portald gives each 20 seconds).
constexpr int kLoginTimeoutMs = 30000;

// A typed field: its form name, its place in the request and its texts.
struct TypedField {
  const char* form_name;
  auth::Field field;
  Msg label;
  Msg empty;
};
const TypedField kCode{"code", auth::kLoginUser, Msg::kLabelCode, Msg::kEnterCode};
const TypedField kMailbox{"mailbox", auth::kLoginUser, Msg::kLabelMailbox, Msg::kEnterMailbox};
const TypedField kPassword{"password", auth::kLoginPassword, Msg::kLabelPassword,
                           Msg::kEnterPassword};

// The sentence for what is wrong with a typed value, or "" when it can be sent as it is.
std::string field_problem(Language lang, const TypedField& f, const std::string& value) {
  if (value.empty()) return text(lang, f.empty);
  if (!printable_text(value)) return fill(text(lang, Msg::kFieldMalformed), {text(lang, f.label)});
  if (!client::fits(f.field, value)) {
    return fill(text(lang, Msg::kFieldTooLong),
                {text(lang, f.label), std::to_string(f.field.width)});
  }
  return "";
}

Response html(int status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

}  // namespace

std::string client_ipv4(const std::string& remote_addr) {
  std::string a = remote_addr;
  if (a.rfind("::ffff:", 0) == 0) a = a.substr(7);
  in_addr v4{};
  if (inet_pton(AF_INET, a.c_str(), &v4) != 1) return "";
  return a;
}

void note(const std::string& line) {
  std::string clean;
  for (const char c : line) clean += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  std::fprintf(stderr, "portal-web: %s\n", clean.c_str());
  std::fflush(stderr);
}

std::string outcome_name(const client::LoginOutcome& out) {
  switch (out.exchange) {
    case client::Exchange::kReply:
      switch (out.result) {
        case auth::LOGIN_OK: return "LOGIN_OK";
        case auth::LOGIN_REJECTED: return "LOGIN_REJECTED";
        case auth::LOGIN_LIMIT_REACHED: return "LOGIN_LIMIT_REACHED";
        case auth::LOGIN_NOT_LISTED: return "LOGIN_NOT_LISTED";
        default: return "result " + std::to_string(out.result);
      }
    case client::Exchange::kNoReply: return "no reply";
    case client::Exchange::kUnreachable: return "login socket unreachable";
    case client::Exchange::kTimeout: return "no answer in time";
    case client::Exchange::kSendFailed:
    case client::Exchange::kReceiveFailed:
    case client::Exchange::kShortReply: break;
  }
  return "broken exchange";
}

Verdict judge(Language lang, LoginKind kind, const client::LoginOutcome& out, bool online,
              const std::string& code, long long now) {
  Verdict v;
  if (out.exchange == client::Exchange::kReply) {
    switch (out.result) {
      case auth::LOGIN_OK:
        v.ok = true;
        return v;
      case auth::LOGIN_REJECTED:
        v.sentence = text(lang, kind == LoginKind::kEmail ? Msg::kWrongPassword : Msg::kNotConfirmed);
        return v;
      case auth::LOGIN_NOT_LISTED:
        v.sentence = text(lang, Msg::kNotListed);
        return v;
      case auth::LOGIN_LIMIT_REACHED: {
        const AccountLimit limit = read_account_limit(code);
        if (limit.kind == AccountLimit::kDate) {
          v.sentence = fill(text(lang, Msg::kLimitDate), {limit.day});
        } else if (limit.kind == AccountLimit::kDaily) {
          v.sentence = fill(text(lang, Msg::kLimitDaily),
                            {duration_text(lang, limit.hours * 3600LL),
                             duration_text(lang, seconds_to_midnight(now))});
        } else {
          v.sentence = text(lang, Msg::kLimitGeneric);
        }
        return v;
      }
      default:
        v.sentence = text(lang, Msg::kNotConfirmed);
        return v;
    }
  }
  switch (out.exchange) {
    case client::Exchange::kNoReply:
      if (online) {
        v.ok = true;
      } else {
        v.sentence = text(lang, kind == LoginKind::kUsers ? Msg::kWrongCode : Msg::kNotConfirmed);
      }
      return v;
    case client::Exchange::kTimeout:
      v.sentence = text(lang, Msg::kServiceSlow);
      return v;
    default:
      v.sentence = text(lang, Msg::kServiceDown);
      return v;
  }
}

Response login_form(const Request& req, const PageContext& ctx) {
  Form query;
  LoginView view;
  if (query.parse(req.query)) view.url = safe_url(query.get("url"));
  const std::string ip = client_ipv4(req.remote_addr);
  if (!ip.empty() && is_online(read_online_list(), ip)) {
    return html(200, connected_page(ctx, view.url, true));
  }
  view.kind = login_kind(core::nvram_text("WEBAUTH_SECTYPE"));
  view.suffix = core::nvram_text("WEBAUTH_E_SUFFIX");
  return html(200, login_page(ctx, view));
}

Response login_submit(const Request& req, const PageContext& ctx) {
  const Language lang = ctx.lang;
  LoginView view;
  view.kind = login_kind(core::nvram_text("WEBAUTH_SECTYPE"));
  view.suffix = core::nvram_text("WEBAUTH_E_SUFFIX");
  Form form;
  if (req.body_too_large || !form.parse(req.body)) {
    view.message = text(lang, Msg::kFormBroken);
    note("login form that cannot be read from " + req.remote_addr);
    return html(400, login_page(ctx, view));
  }
  view.url = safe_url(form.get("url"));
  view.code = form.get("code");
  view.mailbox = form.get("mailbox");

  // Only what can be sent whole goes to the daemon; anything else gets the form again.
  std::string problem;
  std::string user, password;
  if (view.kind == LoginKind::kUsers) {
    user = view.code;
    problem = field_problem(lang, kCode, user);
  } else if (view.kind == LoginKind::kEmail) {
    user = view.mailbox;
    password = form.get("password");
    problem = field_problem(lang, kMailbox, user);
    if (problem.empty()) problem = field_problem(lang, kPassword, password);
  }
  if (!printable_text(view.code)) view.code.clear();
  if (!printable_text(view.mailbox)) view.mailbox.clear();
  if (!problem.empty()) {
    view.message = problem;
    return html(400, login_page(ctx, view));
  }

  const std::string ip = client_ipv4(req.remote_addr);
  const std::string mac = ip.empty() ? "" : lookup_mac(neighbour_table_path(), ip);
  if (mac.empty()) {
    view.message = text(lang, Msg::kNoDevice);
    note("login from " + req.remote_addr + ": no MAC address in the neighbour table");
    return html(403, login_page(ctx, view));
  }

  unsigned char request[auth::kRecordSize] = {};
  auth::put_word(request, auth::kLoginOffMsgType, auth::LOGIN_REQUEST_TYPE);
  auth::put_text(request, auth::kLoginUser, user);
  auth::put_text(request, auth::kLoginPassword, password);
  auth::put_text(request, auth::kLoginClientIp, ip);
  auth::put_text(request, auth::kLoginClientMac, mac);
  client::UnixAddress addr;
  client::LoginOutcome out;
  if (client::make_unix_address(core::fixed_path(core::kLoginSocketPath), &addr)) {
    out = client::login_exchange(addr, request, kLoginTimeoutMs);
  }
  const bool online = is_online(read_online_list(), ip);
  const Verdict v = judge(lang, view.kind, out, online, user, static_cast<long long>(time(nullptr)));
  note("login " + ip + " " + mac + (user.empty() ? "" : " \"" + user + "\"") + ": " +
       outcome_name(out) + (v.ok ? ", online" : ", refused"));
  if (v.ok) return html(200, connected_page(ctx, view.url, false));
  view.message = v.sentence;
  return html(200, login_page(ctx, view));
}

}  // namespace web
