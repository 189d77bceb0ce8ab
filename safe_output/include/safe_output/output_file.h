#pragma once

// Writing an output file so that it is either absent, the earlier file, or complete: the data
// goes to a hidden temporary file beside the output, every write and the close are checked,
// and only a complete, synced file takes the output's name.

#include <cstddef>
#include <string>

namespace safe_output {

// One output file while it is being written. The temporary file is ".<name>.<pid>.<n>.part" in
// the output's directory, so the final rename never crosses file systems; it is removed again
// unless commit() renamed it over the output. Not copyable; one thread at a time.
//
// SIGTERM, SIGINT and SIGHUP remove the temporary files of every open OutputFile and then end
// the process as their default action does (the handler is installed by the first open(), for
// those of the three signals that still have their default action). After SIGKILL the temporary
// file stays; the next open() for the same output removes the temporary files of processes that
// no longer exist.
class OutputFile {
 public:
  // Nothing is touched until open().
  explicit OutputFile(std::string target);
  // Closes the temporary file and removes it unless commit() succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file. Returns why it could not, or an empty text: an empty or
  // directory-like path, an existing output that is not a regular file (a device, a FIFO, a
  // directory; a symbolic link is not followed and counts as replaceable), a directory that is
  // missing or not writable (the system's text for the error). Leaves the output untouched.
  std::string open();

  // The temporary file's path, for a library that insists on opening a path itself; whatever
  // it writes there still needs commit() to become the output. Empty before open().
  const std::string& temp_path() const { return temp_; }

  // Appends `size` bytes; returns the system's text for a failed write (a full disk, a file
  // size limit) or an empty text. Call only after a successful open().
  std::string write(const void* data, size_t size);

  // Syncs and closes the temporary file, then renames it over the output, replacing a
  // symbolic link there rather than writing through it. Returns the system's text for the
  // failed step, or an empty text; on failure the output is left as it was.
  std::string commit();

 private:
  std::string target_;
  std::string temp_;  // empty: nothing of ours to remove
  int fd_ = -1;
  int slot_ = -1;  // the signal handler's slot for temp_; -1: none
};

}  // namespace safe_output
