// What every fuzz target of the daemon shares: a temporary root for the daemon's fixed paths,
// the event log and nvram file inside it, a fake kernel endpoint that reads every datagram the
// daemon sends on the Kernel channel, and a mail server port that refuses at once.
//
// The same sources build as libFuzzer targets (clang) and as the replay tests of the ordinary
// build, which run every seed and every kept crash input once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/user_table.h"

namespace fuzz {

using Bytes = std::vector<unsigned char>;

// Reports a broken property of the code under test and aborts, so that the fuzzer keeps the
// input and the replay test fails.
[[noreturn]] void fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::fail(#cond, __FILE__, __LINE__))

// Sets the process up once (later calls do nothing): PORTALD_ROOT, PORTALD_LOG_FILE,
// NVRAM_FILE and PORTALD_KERNEL_SOCKET, the Kernel channel in core::g_settings and the mail
// server 127.0.0.1 at a port that refuses connections. Everything is removed at exit.
void setup();

// Called at the start of each input: forgets the Kernel messages of the previous input and
// now and then empties the log file so that a long run does not fill the disk.
void begin_input();

// The folder that PORTALD_ROOT names.
const std::string& root();

// Writes data to the fixed path under the root and returns the full path.
std::string write_fixed(const char* fixed, const uint8_t* data, size_t size);

// Sets (value non-null) or removes an nvram key; nothing is written when it already holds
// that value.
void set_nvram(const char* key, const char* value);

// Every datagram the daemon has sent on the Kernel channel since begin_input, once the fake
// kernel has read all that was sent.
std::vector<Bytes> kernel_messages();

// Runs auth::handle_login on one end of a socket pair and returns the reply's result word,
// -1 when no reply was sent. Fails when more than one reply, or a reply that is not 300
// bytes with 296 zero bytes after the result, was sent.
int login(const unsigned char* request, store::UserTable& accounts, store::UserTable& online);

// A few accounts of each limit kind, and clients of each kind on line at 10.0.0.1 to
// 10.0.0.8, so that searches, cuts, removals and host-down events find something.
void seed_accounts(store::UserTable& accounts);
void seed_online(store::UserTable& online);

// Keeps a table the fuzzer grows between min_size and max_size records: an emptied one is
// seeded again, one that grew too large starts over.
void keep_accounts_bounded(store::UserTable& accounts, size_t max_size);
void keep_online_bounded(store::UserTable& online, size_t max_size);

// The start of a target whose input is a configuration byte and a fixed-size record: sets
// the process up, begins the input, takes the auth type (byte % 5) and the multi-user flag
// (bit 3) from the first byte and copies the rest into record, zero-filled to record_size,
// as the main loop hands a request over. False for an empty input.
bool start_record_input(const uint8_t* data, size_t size, unsigned char* record,
                        size_t record_size);

// Delivers a server reply to reader through a socket pair whose writing end is closed after
// the reply, and returns the reader's result; *unread is the number of reply bytes that
// reader left in the socket.
int feed_reply(const uint8_t* data, size_t size, int (*reader)(int fd), size_t* unread);

// The 32-bit word at offset in host byte order.
uint32_t word_at(const unsigned char* buf, size_t offset);

}  // namespace fuzz
