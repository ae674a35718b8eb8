// The HTML of the pages: one layout, the login forms of the five auth types, the result
// pages. Every text that did not come from the text tables is escaped here.
#pragma once

#include <string>

#include "texts.h"

namespace web {

struct PageContext {
  Language lang = Language::kEnglish;
  std::string base;  // where the program is mounted; form actions and links start with it
};

// A whole page around content (already HTML). head_extra goes into <head> (a refresh);
// wide pages (the operator's) use more of a large screen.
std::string layout(const PageContext& ctx, const std::string& title, const std::string& content,
                   const std::string& head_extra = "", bool wide = false);

// A message box: good (green) or bad (red); text is escaped.
std::string message_box(const std::string& text, bool good);

// A hidden form field; the value is escaped.
std::string hidden_input(const std::string& name, const std::string& value);

// The login form by WEBAUTH_SECTYPE; LOCAL and anything unknown or unset are one-key.
enum class LoginKind { kOnekey, kAdvert, kWeixin, kUsers, kEmail };
LoginKind login_kind(const std::string& sectype);

struct LoginView {
  LoginKind kind = LoginKind::kOnekey;
  std::string url;        // the page first asked for, carried through the form
  std::string message;    // shown above the form when not empty
  std::string code;       // what was typed, shown again
  std::string mailbox;
  std::string suffix;     // WEBAUTH_E_SUFFIX
};
std::string login_page(const PageContext& ctx, const LoginView& view);

// After a login: the page that confirms it and leads on to url (when there is one).
std::string connected_page(const PageContext& ctx, const std::string& url, bool already);

std::string not_found_page(const PageContext& ctx);

// A URL fit to lead a client on to: http or https, printable, at most 2000 characters.
// Anything else gives "".
std::string safe_url(const std::string& url);

// A duration, in whole minutes rounded up, as "2 h 5 min" or "5 min" in the language.
std::string duration_text(Language lang, long long seconds);

}  // namespace web
