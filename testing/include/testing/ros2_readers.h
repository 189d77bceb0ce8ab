#pragma once

// ROS 2 recordings read back by independent readers, for tests of what the programs write: MCAP
// files by the format's reference readers (@mcap/core, @foxglove/rosmsg2-serialization; node
// script testing/npm/read_mcap.js, packages installed by scripts/test.sh with `npm ci`), SQLite
// files by the sqlite3 command.

#include <cstddef>
#include <string>
#include <vector>

namespace drone_test {

// Lower-case hex digits of the bytes.
std::string hex(const void* data, size_t size);
std::string hex(const std::string& bytes);

// The lines read_mcap.js prints for the MCAP file at `path` (HEADER, SCHEMA, CHANNEL,
// STATISTICS, METADATA, STREAM, INDEXED and CLOUD lines; see the script), fields tab-separated.
// Throws std::runtime_error with the reader's complaint when it refuses the file, and when the
// packages are not installed.
std::vector<std::string> mcap_reference_lines(const std::string& path);

// The lines of `lines` that start with `kind` and a tab, without that prefix.
std::vector<std::string> lines_of(const std::vector<std::string>& lines, const std::string& kind);

// The rows the sqlite3 command gives for `sql` on the file at `path` (opened read-only and
// immutable: nothing is created beside it), columns tab-separated.
// Throws std::runtime_error with the command's complaint when it fails.
std::vector<std::string> sqlite_rows(const std::string& path, const std::string& sql);

}  // namespace drone_test
