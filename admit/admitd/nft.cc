#include "nft.h"

#include <nftables/libnftables.h>

#include <cctype>
#include <cstdlib>

namespace admit {

Nft::Nft() : ctx_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  nft_ctx_buffer_output(ctx_);
  nft_ctx_buffer_error(ctx_);
}

Nft::~Nft() {
  nft_ctx_unbuffer_output(ctx_);
  nft_ctx_unbuffer_error(ctx_);
  nft_ctx_free(ctx_);
}

bool Nft::run(const std::string& commands, std::string* error) {
  std::string out;
  return query(commands, &out, error);
}

bool Nft::query(const std::string& command, std::string* out, std::string* error) {
  const int rc = nft_run_cmd_from_buffer(ctx_, command.c_str());
  const char* o = nft_ctx_get_output_buffer(ctx_);
  const char* e = nft_ctx_get_error_buffer(ctx_);
  *out = o ? o : "";
  if (rc == 0) return true;
  *error = e && *e ? e : "nft failed";
  while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
  return false;
}

double parse_duration(const std::string& text) {
  double total = 0;
  size_t i = 0;
  if (text.empty()) return -1;
  while (i < text.size()) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    char* end = nullptr;
    const double v = std::strtod(text.c_str() + i, &end);
    i = static_cast<size_t>(end - text.c_str());
    std::string unit;
    while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) unit += text[i++];
    if (unit == "d") total += v * 86400;
    else if (unit == "h") total += v * 3600;
    else if (unit == "m") total += v * 60;
    else if (unit == "s") total += v;
    else if (unit == "ms") total += v / 1000;
    else return -1;
  }
  return total;
}

std::vector<SetElement> parse_elements(const std::string& listing) {
  std::vector<SetElement> out;
  const size_t at = listing.find("elements = {");
  if (at == std::string::npos) return out;
  const size_t end = listing.find('}', at);
  std::string body = listing.substr(at + 12, end == std::string::npos ? std::string::npos
                                                                      : end - at - 12);
  size_t pos = 0;
  while (pos < body.size()) {
    size_t comma = body.find(',', pos);
    if (comma == std::string::npos) comma = body.size();
    std::vector<std::string> words;
    std::string w;
    for (size_t i = pos; i <= comma; ++i) {
      const char ch = i < comma ? body[i] : ' ';
      if (ch == ' ' || ch == '\t' || ch == '\n') {
        if (!w.empty()) words.push_back(w);
        w.clear();
      } else {
        w += ch;
      }
    }
    pos = comma + 1;
    SetElement e;
    if (words.empty() || !parse_addr(words[0], &e.addr)) continue;
    size_t k = 1;
    if (words.size() >= 3 && words[1] == ".") {
      if (!parse_mac(words[2], &e.mac)) continue;
      e.has_mac = true;
      k = 3;
    }
    for (; k + 1 < words.size(); ++k)
      if (words[k] == "expires") e.expires = parse_duration(words[k + 1]);
    out.push_back(e);
  }
  return out;
}

}  // namespace admit
