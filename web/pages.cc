#include "pages.h"

#include "cgi.h"

namespace web {
namespace {

const char kStyle[] = R"CSS(
*{box-sizing:border-box}
html{-webkit-text-size-adjust:100%}
body{margin:0;background:#eef2f6;color:#1d2733;font:16px/1.5 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans","Noto Sans CJK SC","PingFang SC","Microsoft YaHei",sans-serif}
header{background:#0b5cab;color:#fff;padding:.9rem 1rem}
header div{max-width:26rem;margin:0 auto;display:flex;align-items:center;gap:.6rem;font-weight:600;font-size:1.1rem}
header svg{flex:none}
main{max-width:26rem;margin:0 auto;padding:1.25rem 1rem 2rem}
.wide header div,.wide main{max-width:64rem}
.card{background:#fff;border-radius:12px;box-shadow:0 1px 3px rgba(16,32,48,.15);padding:1.25rem;margin-bottom:1rem}
h1{font-size:1.45rem;line-height:1.25;margin:0 0 .6rem}
h2{font-size:1.15rem;margin:0 0 .6rem}
p{margin:.4rem 0}
label{display:block;font-weight:600;margin:.9rem 0 .3rem}
input[type=text],input[type=password],input[type=email]{width:100%;font:inherit;font-size:1.1rem;padding:.7rem .75rem;border:1px solid #8d9aa8;border-radius:8px;background:#fff;color:inherit}
input:focus{outline:3px solid #9cc7f2;border-color:#0b5cab}
button{display:block;width:100%;margin-top:1.2rem;font:inherit;font-size:1.1rem;font-weight:600;padding:.8rem;border:0;border-radius:8px;background:#0b5cab;color:#fff;cursor:pointer}
button:hover{background:#094a8a}
button.small{display:inline-block;width:auto;margin:0;padding:.45rem .9rem;font-size:.95rem;background:#b42318;white-space:nowrap}
.msg{padding:.75rem .9rem;border-radius:8px;margin:0 0 1rem;font-weight:500}
.bad{background:#fdecea;color:#8a1c12;border:1px solid #f5c2bc}
.good{background:#e7f5ec;color:#135c32;border:1px solid #b7e0c5}
.hint{color:#52606d;font-size:.92rem;margin-top:.3rem}
.advert{background:linear-gradient(135deg,#ffedd5,#fde68a);border-radius:10px;padding:1rem;margin:.2rem 0 1rem}
.advert strong{display:block;font-size:1.1rem;margin-bottom:.2rem}
a{color:#0b5cab}
a.go{display:block;text-align:center;margin-top:1rem;padding:.8rem;border-radius:8px;background:#0b5cab;color:#fff;font-weight:600;text-decoration:none;word-break:break-all}
table{width:100%;border-collapse:collapse}
th,td{text-align:left;padding:.55rem .5rem;border-bottom:1px solid #e3e8ee;vertical-align:middle}
th{font-size:.85rem;color:#52606d;font-weight:600}
td.none{color:#52606d;font-style:italic}
.mono{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:.92rem}
.forms{display:grid;gap:1rem;grid-template-columns:repeat(auto-fit,minmax(18rem,1fr))}
.forms .card{margin:0}
.row2{display:flex;gap:.6rem}
.row2 button{margin-top:1.2rem}
@media (max-width:40rem){
 table,tbody,tr,td{display:block;width:100%}
 thead{display:none}
 tr{border-bottom:1px solid #e3e8ee;padding:.5rem 0}
 td{border:0;padding:.15rem 0}
 td[data-label]::before{content:attr(data-label) ": ";color:#52606d;font-size:.85rem}
 td form{margin-top:.4rem}
}
)CSS";

const char kWifiIcon[] =
    "<svg width=\"24\" height=\"24\" viewBox=\"0 0 24 24\" aria-hidden=\"true\"><path "
    "fill=\"#fff\" d=\"M12 18.5a1.8 1.8 0 1 1 0 3.6 1.8 1.8 0 0 1 0-3.6zM12 13c2.2 0 4.2.9 "
    "5.7 2.3l-1.6 1.6A5.8 5.8 0 0 0 12 15.2c-1.6 0-3 .6-4.1 1.7l-1.6-1.6A8 8 0 0 1 12 13zm0-5"
    "c3.6 0 6.8 1.4 9.2 3.8l-1.6 1.6A10.7 10.7 0 0 0 12 10.2c-3 0-5.6 1.2-7.6 3.2l-1.6-1.6A12.9 "
    "12.9 0 0 1 12 8zm0-5c5 0 9.5 2 12.8 5.3l-1.6 1.6A15.8 15.8 0 0 0 12 5.2 15.8 15.8 0 0 0 .8 "
    "9.9L-.8 8.3A18 18 0 0 1 12 3z\"/></svg>";

std::string t(const PageContext& ctx, Msg m) { return html_escape(text(ctx.lang, m)); }

std::string field(const PageContext& ctx, const char* id, Msg label, const char* type,
                  const std::string& value, const char* autocomplete, size_t maxlength) {
  return "<label for=\"" + std::string(id) + "\">" + t(ctx, label) + "</label><input id=\"" +
         id + "\" name=\"" + id + "\" type=\"" + type + "\" value=\"" + html_escape(value) +
         "\" autocomplete=\"" + autocomplete + "\" autocapitalize=\"none\" spellcheck=\"false\" " +
         "maxlength=\"" + std::to_string(maxlength) + "\" required>";
}

}  // namespace

std::string layout(const PageContext& ctx, const std::string& title, const std::string& content,
                   const std::string& head_extra, bool wide) {
  return "<!DOCTYPE html>\n<html lang=\"" + t(ctx, Msg::kHtmlLang) +
         "\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
         "<meta name=\"referrer\" content=\"same-origin\">" +
         head_extra + "<title>" + html_escape(title) + "</title><style>" + kStyle +
         "</style></head><body" + (wide ? " class=\"wide\"" : "") + "><header><div>" +
         kWifiIcon + "<span>" + t(ctx, Msg::kNetworkName) + "</span></div></header><main>" +
         content + "</main></body></html>\n";
}

std::string hidden_input(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + html_escape(value) + "\">";
}

std::string message_box(const std::string& text, bool good) {
  return "<p class=\"msg " + std::string(good ? "good" : "bad") + "\" role=\"status\">" +
         html_escape(text) + "</p>";
}

LoginKind login_kind(const std::string& sectype) {
  static const struct {
    const char* name;
    LoginKind kind;
  } kKinds[] = {
      {"LOCAL", LoginKind::kOnekey}, {"ADVERT", LoginKind::kAdvert},
      {"WEIXIN", LoginKind::kWeixin}, {"USERS", LoginKind::kUsers},
      {"EMAIL", LoginKind::kEmail},
  };
  for (const auto& k : kKinds) {
    if (sectype == k.name) return k.kind;
  }
  return LoginKind::kOnekey;
}

std::string login_page(const PageContext& ctx, const LoginView& v) {
  std::string body = "<div class=\"card\"><h1>" + t(ctx, Msg::kLoginTitle) + "</h1>";
  if (!v.message.empty()) body += message_box(v.message, false);
  body += "<form method=\"post\" action=\"" + html_escape(ctx.base) + "/login\">" +
          hidden_input("url", v.url);
  switch (v.kind) {
    case LoginKind::kUsers:
      body += "<p>" + t(ctx, Msg::kIntroUsers) + "</p>" +
              field(ctx, "code", Msg::kLabelCode, "text", v.code, "off", 64);
      body += "<button type=\"submit\">" + t(ctx, Msg::kButtonConnect) + "</button>";
      break;
    case LoginKind::kEmail:
      body += "<p>" + t(ctx, Msg::kIntroEmail) + "</p>" +
              field(ctx, "mailbox", Msg::kLabelMailbox, "text", v.mailbox, "username", 64);
      if (!v.suffix.empty()) {
        body += "<p class=\"hint\">" +
                html_escape(fill(text(ctx.lang, Msg::kSuffixHint), {v.suffix})) + "</p>";
      }
      body += field(ctx, "password", Msg::kLabelPassword, "password", "", "current-password", 16);
      body += "<button type=\"submit\">" + t(ctx, Msg::kButtonLogIn) + "</button>";
      break;
    case LoginKind::kAdvert:
      body += "<div class=\"advert\"><strong>" + t(ctx, Msg::kAdvertHeading) + "</strong>" +
              t(ctx, Msg::kAdvertText) + "</div>";
      body += "<button type=\"submit\">" + t(ctx, Msg::kButtonConnect) + "</button>";
      break;
    case LoginKind::kWeixin:
      body += "<p>" + t(ctx, Msg::kIntroWeixin) + "</p><button type=\"submit\">" +
              t(ctx, Msg::kButtonConnect) + "</button>";
      break;
    case LoginKind::kOnekey:
      body += "<p>" + t(ctx, Msg::kIntroOnekey) + "</p><button type=\"submit\">" +
              t(ctx, Msg::kButtonConnect) + "</button>";
      break;
  }
  body += "</form></div>";
  return layout(ctx, text(ctx.lang, Msg::kLoginTitle), body);
}

std::string connected_page(const PageContext& ctx, const std::string& url, bool already) {
  const Msg headline = already ? Msg::kAlreadyConnected : Msg::kConnected;
  std::string body = "<div class=\"card\"><h1>" + t(ctx, headline) + "</h1>";
  std::string head;
  if (!url.empty()) {
    head = "<meta http-equiv=\"refresh\" content=\"3;url=" + html_escape(url) + "\">";
    body += "<p>" + t(ctx, Msg::kTakenThere) + "</p><a class=\"go\" id=\"continue\" href=\"" +
            html_escape(url) + "\">" +
            html_escape(fill(text(ctx.lang, Msg::kContinueTo), {url})) + "</a>";
  }
  body += "</div>";
  return layout(ctx, text(ctx.lang, headline), body, head);
}

std::string not_found_page(const PageContext& ctx) {
  return layout(ctx, text(ctx.lang, Msg::kNotFound),
                "<div class=\"card\"><h1>" + t(ctx, Msg::kNotFound) + "</h1><a href=\"" +
                    html_escape(ctx.base) + "/\">" + t(ctx, Msg::kBackToLogin) + "</a></div>");
}

std::string safe_url(const std::string& url) {
  if (url.size() > 2000 || !printable_text(url)) return "";
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return "";
  return url;
}

std::string duration_text(Language lang, long long seconds) {
  const long long minutes = seconds <= 0 ? 0 : (seconds + 59) / 60;
  if (minutes < 60) return fill(text(lang, Msg::kMinutes), {std::to_string(minutes)});
  return fill(text(lang, Msg::kHoursMinutes),
              {std::to_string(minutes / 60), std::to_string(minutes % 60)});
}

}  // namespace web
