// The pre-authentication host whitelist of WeChat login: host names, and the IPv4 addresses
// they resolve to, that clients may reach before they log in. Sent once at start-up on the
// Kernel channel as WL_NAME and WL_ADDR records (layout in kernel/kmsg_layout.h); the daemon
// keeps no copy of what it sent and never withdraws an entry.
//
// Nothing here ends the process or writes a log line: a refused name is skipped, a failed
// resolution leaves its entry unresolved and a failed send is ignored.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernel {

// Start-up step 16, run once when "WEBAUTH_SECTYPE" is exactly "WEIXIN": loads the WeChat
// DNS file under PORTALD_ROOT, then walks the built-in host table. Returns after at most
// about kResolveBudgetMs of name resolution, whatever the name servers do.
void load_weixin_whitelist();

// Encodes a host name into DNS wire form in out (out_size bytes): each dot-separated label
// as one length byte and its characters, then a zero byte. The wire form is the bytes before
// that zero. A name with a trailing dot is handled as the same name without it.
// Returns 0, or -1 (out's content unspecified, nothing written past out_size) when the name
// is refused: it begins with a dotted IPv4 address ("%u.%u.%u.%u"), has a single label or
// more than 63 labels, has a label over 63 characters or an empty label (other than after a
// trailing dot), or its wire form does not fit in out.
int encode_dns_name(const char* name, char* out, size_t out_size);

// Builds one record for the name and sends it on core::g_settings.kernel_fd, the send's
// result ignored. WL_NAME is built in a 516-byte message, WL_ADDR (addr in network byte
// order) in a 1024-byte one. Returns 0 when the record was sent, -1 when the name is refused
// or its record does not fit the message buffer.
int send_wl_name(const char* name);
int send_wl_addr(const char* name, uint32_t addr);

// Reads the DNS file at path under a shared record lock on the whole file (waiting while a
// writer holds a lock) and sends one WL_NAME per accepted line. Reading stops at the end of
// the file and at the first line that does not end in a line feed within the 1024-byte line
// buffer (a last line without line feed, a line over 1022 characters). Returns the number of
// records sent, or -1 when the file cannot be opened.
int load_dns_file(const char* path);

// One entry of a host table; a table ends with an entry whose name is null. resolved goes
// from 0 to 1 once a WL_ADDR of the name has been sent, and never back.
struct WeixinHost {
  const char* name;
  int32_t resolved;
};

// The built-in table of the 13 WeChat service host names. It lives for the whole process;
// only the resolved flags change.
WeixinHost* weixin_hosts();

// For each entry in order: a WL_NAME, then one WL_ADDR per address the resolver returns.
// Then one retry pass resolves the entries still unresolved again (no second WL_NAME).
// All resolution of one walk, both passes, shares one budget of kResolveBudgetMs; an answer
// that has not come by then counts as no answer. Names are resolved by the resolver that
// kernel/resolve.h sets. Returns the number of resolved entries.
int walk_host_table(WeixinHost* table);

constexpr int kResolveBudgetMs = 3000;

}  // namespace kernel
