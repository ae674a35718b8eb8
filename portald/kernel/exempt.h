// The exempt MAC file and the exempt address file: hosts that pass without a login. Each valid
// entry becomes a KMSG_PERMIT at start-up; a failed send ends the process with status 1.
#pragma once

namespace kernel {

// Reads the file (lines of at most 99 characters; the rest of a longer line is discarded)
// and sends one KIND_MAC permit per line that holds six hexadecimal groups of at most ff.
// A missing file sends nothing. Returns the number of permits sent.
int load_exempt_macs(const char* path);

// Reads the file and sends one KIND_EXEMPT_IP permit per address: a line A.B.C.D sends that
// address, a line A.B.C.D-E.F.G.H every address from the first to the second, both
// included. A range whose end is below its start sends its first address alone. Returns the
// number of permits sent.
int load_exempt_addrs(const char* path);

}  // namespace kernel
