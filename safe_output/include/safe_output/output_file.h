#pragma once

// Writing an output file so that it is either absent, the earlier file, or complete: the data
// goes to a hidden temporary file beside the output, every write and the close are checked,
// and only a complete, synced file takes the output's name.

#include <cstddef>
#include <string>
#include <vector>

namespace safe_output {

class OutputFile;

// What commit_together() did.
struct CommitResult {
  std::string error;  // the system's text for the step that failed; empty: all took their names
  size_t failed = 0;  // position in the list of the file whose step failed; 0 when none failed
};

// Commits several outputs as one set (a reconstructed cloud and its mesh): every temporary file
// is synced and closed, and every output checked, before the first rename, so a failure or an
// ending signal up to then leaves every output as it was and removes every temporary file.
// SIGTERM, SIGINT and SIGHUP arriving during the renames are held until the last rename is done.
// What remains: a SIGKILL or power cut between two renames, or a rename that fails after an
// earlier one succeeded (the output turned into a directory in that instant), leaves the
// earlier outputs new and the later ones old. Null entries are skipped.
CommitResult commit_together(const std::vector<OutputFile*>& files);

// One output file while it is being written. The temporary file is ".<name>.<16 hex>.part" in
// the output's directory, so the final rename never crosses file systems; when that name would
// exceed the file system's limit on a name (255 bytes), <name> is replaced by its leading bytes,
// cut at a whole UTF-8 character, and "~" with a hash of the whole name. The temporary file is
// removed again unless commit() renamed it over the output. Not copyable; one thread at a time.
//
// The writer holds a lock (an open file description lock) on its temporary file for the file's
// whole life. open() removes the temporary files of the same output whose lock it can take: those
// left by a process that ended without removing them (SIGKILL, a power cut). A live writer's file
// stays, whatever its process id or PID namespace, even on a shared folder.
//
// SIGTERM, SIGINT and SIGHUP remove the temporary files of every open OutputFile and then end
// the process as their default action does (the handler is installed by the first open(), for
// those of the three signals that still have their default action). The first open() also
// ignores SIGXFSZ while it has its default action, so a write beyond a file size limit (ulimit
// -f) fails with "File too large" rather than killing the process with its file left behind.
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
  // missing or not writable, an output name longer than the file system allows (the system's
  // text for the error). Leaves the output untouched.
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
  friend CommitResult commit_together(const std::vector<OutputFile*>& files);
  // Syncs and closes the temporary file; the system's text for a failure, or an empty text.
  std::string finish();

  std::string target_;
  std::string temp_;  // empty: nothing of ours to remove
  int fd_ = -1;       // the temporary file, open for writing until it is synced and closed
  int lock_fd_ = -1;  // a second descriptor of it, which holds its lock until the rename
  int slot_ = -1;     // the signal handler's slot for temp_; -1: none
};

}  // namespace safe_output
