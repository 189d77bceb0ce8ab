#pragma once

// What a path that is not a regular file names, for the text of a refusal.

#include <sys/types.h>

#include <string>

namespace safe_output {

// The kind of file `mode` (a stat() st_mode) describes: "a FIFO", "a directory", "a character
// device", "a block device", "a socket", or "not a file" for any other kind; empty for a
// regular file. Never fails.
std::string file_kind(mode_t mode);

}  // namespace safe_output
