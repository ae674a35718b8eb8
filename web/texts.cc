#include "texts.h"

#include <cstdlib>

namespace web {
namespace {

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// The weight of one range ("zh-CN;q=0.8"): 1 without q, 0 for a q that cannot be read.
double weight(const std::string& params) {
  size_t at = 0;
  while ((at = params.find(';', at)) != std::string::npos) {
    const std::string p = trim(params.substr(at + 1, params.find(';', at + 1) - at - 1));
    ++at;
    if (p.size() > 2 && (p[0] == 'q' || p[0] == 'Q') && p[1] == '=') {
      char* end = nullptr;
      const double q = std::strtod(p.c_str() + 2, &end);
      if (*end != '\0' || !(q >= 0) || q > 1) return 0;
      return q;
    }
  }
  return 1;
}

}  // namespace

const char* find_text(const TextTable& table, Msg key) {
  for (size_t i = 0; i < table.size; ++i) {
    if (table.entries[i].key == key) return table.entries[i].text;
  }
  return nullptr;
}

const char* text(Language lang, Msg m) {
  const char* t = find_text(lang == Language::kChinese ? kChineseTexts : kEnglishTexts, m);
  if (t == nullptr) t = find_text(kEnglishTexts, m);
  return t ? t : "";
}

std::string fill(const std::string& t, const std::vector<std::string>& args) {
  std::string s;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '{' && i + 2 < t.size() && t[i + 1] >= '1' && t[i + 1] <= '9' && t[i + 2] == '}') {
      const size_t n = static_cast<size_t>(t[i + 1] - '1');
      if (n < args.size()) s += args[n];
      i += 2;
    } else {
      s += t[i];
    }
  }
  return s;
}

Language choose_language(const std::string& accept_language) {
  double zh = 0, en = -1;
  size_t start = 0;
  while (start <= accept_language.size()) {
    size_t end = accept_language.find(',', start);
    if (end == std::string::npos) end = accept_language.size();
    const std::string item = accept_language.substr(start, end - start);
    const size_t semi = item.find(';');
    const std::string range = lower(trim(item.substr(0, semi)));
    const double q = semi == std::string::npos ? 1 : weight(item.substr(semi));
    const std::string primary = range.substr(0, range.find('-'));
    if (primary == "zh" && q > zh) zh = q;
    if ((primary == "en" || range == "*") && q > en) en = q;
    start = end + 1;
  }
  return zh > 0 && zh > en ? Language::kChinese : Language::kEnglish;
}

}  // namespace web
