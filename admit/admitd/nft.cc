#include "nft.h"

#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

namespace {

const int kAnswerMs = 1000;

// Appends one netlink attribute; returns its offset, for nesting.
size_t put_attr(std::string* m, uint16_t type, const void* data, size_t len) {
  const size_t at = m->size();
  nlattr a{};
  a.nla_len = static_cast<uint16_t>(NLA_HDRLEN + len);
  a.nla_type = type;
  m->append(reinterpret_cast<const char*>(&a), sizeof a);
  if (len) m->append(static_cast<const char*>(data), len);
  m->append(NLA_ALIGN(m->size()) - m->size(), '\0');
  return at;
}

// Closes a nested attribute opened at offset at.
void end_nest(std::string* m, size_t at) {
  const uint16_t len = static_cast<uint16_t>(m->size() - at);
  std::memcpy(&(*m)[at], &len, sizeof len);
}

uint64_t be64(const void* p) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | b[i];
  return v;
}

// Finds the attribute of the type within [p, p + len).
const nlattr* find_attr(const char* p, size_t len, uint16_t type) {
  while (len >= NLA_HDRLEN) {
    const nlattr* a = reinterpret_cast<const nlattr*>(p);
    if (a->nla_len < NLA_HDRLEN || a->nla_len > len) return nullptr;
    if ((a->nla_type & NLA_TYPE_MASK) == type) return a;
    const size_t step = NLA_ALIGN(a->nla_len);
    if (step >= len) return nullptr;
    p += step;
    len -= step;
  }
  return nullptr;
}

const char* attr_data(const nlattr* a) { return reinterpret_cast<const char*>(a) + NLA_HDRLEN; }
size_t attr_len(const nlattr* a) { return a->nla_len - NLA_HDRLEN; }

}  // namespace

ElementReader::~ElementReader() {
  if (fd_ >= 0) close(fd_);
}

bool ElementReader::open(std::string* error) {
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = std::string("cannot open an nfnetlink socket: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::string element_key(uint32_t addr, const Mac* mac) {
  std::string k(reinterpret_cast<const char*>(&addr), 4);
  if (mac) {
    k.append(reinterpret_cast<const char*>(mac->data()), 6);
    k.append(2, '\0');
  }
  return k;
}

int ElementReader::get(const std::string& table, const std::string& set, const std::string& key,
                       double* expires) {
  if (fd_ < 0) return -1;
  std::string m(NLMSG_HDRLEN, '\0');
  nfgenmsg g{};
  g.nfgen_family = NFPROTO_INET;
  g.version = NFNETLINK_V0;
  m.append(reinterpret_cast<const char*>(&g), sizeof g);
  m.append(NLMSG_ALIGN(m.size()) - m.size(), '\0');
  put_attr(&m, NFTA_SET_ELEM_LIST_TABLE, table.c_str(), table.size() + 1);
  put_attr(&m, NFTA_SET_ELEM_LIST_SET, set.c_str(), set.size() + 1);
  const size_t elements = put_attr(&m, NFTA_SET_ELEM_LIST_ELEMENTS | NLA_F_NESTED, nullptr, 0);
  const size_t element = put_attr(&m, NFTA_LIST_ELEM | NLA_F_NESTED, nullptr, 0);
  const size_t k = put_attr(&m, NFTA_SET_ELEM_KEY | NLA_F_NESTED, nullptr, 0);
  put_attr(&m, NFTA_DATA_VALUE, key.data(), key.size());
  end_nest(&m, k);
  end_nest(&m, element);
  end_nest(&m, elements);
  nlmsghdr h{};
  h.nlmsg_len = static_cast<uint32_t>(m.size());
  h.nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_GETSETELEM;
  h.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  h.nlmsg_seq = ++seq_;
  std::memcpy(&m[0], &h, sizeof h);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd_, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return -1;

  int found = -1;
  alignas(nlmsghdr) char buf[16384];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kAnswerMs) <= 0) return -1;
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return -1;
    int len = static_cast<int>(n);
    for (auto* r = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(r, len); r = NLMSG_NEXT(r, len)) {
      if (r->nlmsg_seq != seq_) continue;  // a late answer to an earlier question
      if (r->nlmsg_type == NLMSG_ERROR) {
        const int err = static_cast<const nlmsgerr*>(NLMSG_DATA(r))->error;
        if (err == 0) return found < 0 ? 0 : found;  // the acknowledgement ends the answer
        return err == -ENOENT ? 0 : -1;
      }
      if (r->nlmsg_type != ((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWSETELEM)) continue;
      const char* body = static_cast<const char*>(NLMSG_DATA(r)) + NLMSG_ALIGN(sizeof(nfgenmsg));
      const size_t blen = r->nlmsg_len - NLMSG_HDRLEN - NLMSG_ALIGN(sizeof(nfgenmsg));
      const nlattr* list = find_attr(body, blen, NFTA_SET_ELEM_LIST_ELEMENTS);
      const nlattr* e = list ? find_attr(attr_data(list), attr_len(list), NFTA_LIST_ELEM) : nullptr;
      if (!e) continue;
      const nlattr* exp = find_attr(attr_data(e), attr_len(e), NFTA_SET_ELEM_EXPIRATION);
      *expires = exp && attr_len(exp) == 8 ? be64(attr_data(exp)) / 1000.0 : -1;
      found = 1;
    }
  }
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
