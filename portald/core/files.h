// Files at the daemon's fixed paths. Some of them lie in a folder where every local user may
// write (/tmp on the router), so nothing here follows a link that someone else placed, blocks
// on a FIFO, or trusts a file that the daemon's own user does not own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace core {

// Opens the file at path for reading without blocking. A file that is not a regular file, or
// that another user than the daemon's owns, is refused; so is a link at path when its folder
// is writable by others. A refusal writes one line naming the path and the reason on standard
// error. Returns the descriptor, or -1 (errno ENOENT when there is no file at all).
int open_fixed_file(const std::string& path);

// open_fixed_file as a stdio stream; nullptr when refused or missing.
std::FILE* open_fixed_stream(const std::string& path);

// Creates a new, empty file in the folder of path, under a name that the daemon chose and no
// file had (never through a link), with exactly the permission bits mode, whatever the file
// creation mask. Returns a descriptor open for writing and the file's name in temp, or -1.
int create_temp_beside(const std::string& path, mode_t mode, std::string& temp);

// Replaces the file at path by one holding the size bytes at data, with the permission bits
// mode: the bytes go to a file made by create_temp_beside, which is then renamed over path (a
// link at path is replaced, not followed). With sync the bytes reach the disk before the
// rename. When anything fails the temporary file is removed and the old file stays; returns
// false then.
bool replace_file(const std::string& path, const void* data, size_t size, mode_t mode,
                  bool sync);

// Where rewrite_file keeps the version of path before the current one: path + ".spare".
std::string spare_beside(const std::string& path);

// replace_file without sync, for a file rewritten many times a second: the version before the
// current one is kept at spare_beside(path) and, when no one holds it open any more, written
// again in place and swapped with the file at path in one rename (RENAME_EXCHANGE), so its
// pages are used again rather than freed and allocated anew. A reader sees at path one whole
// version, old or new, as with replace_file; whatever is at the spare's name and is not a
// regular file of the daemon's user with mode and one name is never opened for writing but
// replaced. Where names cannot be swapped this is replace_file. Returns false, the file at path
// unchanged, when anything fails. The lease that tells whether anyone holds the spare open is
// held for a moment; someone opening the spare then makes the kernel send the caller SIGIO,
// which the caller must ignore.
bool rewrite_file(const std::string& path, const void* data, size_t size, mode_t mode);

}  // namespace core
