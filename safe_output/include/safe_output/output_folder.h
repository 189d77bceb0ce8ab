#pragma once

// Writing an output folder (a rosbag2 recording: metadata.yaml beside its storage files) so
// that it is either absent, the earlier folder, or complete: its files are written into a hidden
// temporary folder beside the output, which takes the output's name only when complete.

#include <string>
#include <vector>

namespace safe_output {

// One output folder while it is being written. The temporary folder is ".<name>.<16 hex>.part"
// in the output's directory (with the long-name rule of OutputFile). Files are added by name
// and written by the caller, each through an OutputFile of its own at the path add_file()
// gives. The temporary folder and the files added to it are removed again unless commit()
// renamed the folder over the output; SIGTERM, SIGINT and SIGHUP remove them too, as they do
// OutputFile's temporary files. The writer holds a lock on its temporary folder for the folder's
// whole life; open() removes the temporary folders of the same output whose lock it can take
// (left by a process that was killed), with the regular files in them. Not copyable; one thread
// at a time.
//
// An existing output is replaced only when it is a folder that holds nothing but regular files,
// one of them metadata.yaml (an earlier recording), or nothing at all; it is swapped with the
// new folder in one step and its files are then removed. Anything else there is refused.
class OutputFolder {
 public:
  // Nothing is touched until open().
  explicit OutputFolder(std::string target);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // Creates the temporary folder. Returns why it could not, or an empty text: an empty path,
  // an output that exists and cannot be replaced (see above), a directory that is missing or
  // not writable. Leaves the output untouched.
  std::string open();

  // The temporary folder's path; empty before open().
  const std::string& temp_path() const { return temp_; }

  // The path of the file `name` in the temporary folder, removed with the folder from now on.
  // At most a few files: each takes a slot of the signal handler's fixed table.
  std::string add_file(const std::string& name);

  // Syncs the temporary folder and renames it over the output (swapping it with an earlier
  // folder there, whose files are then removed). Returns the system's text for the failed step,
  // or an empty text; on failure the output is left as it was.
  std::string commit();

 private:
  std::string target_;
  std::string temp_;        // empty: nothing of ours to remove
  int slot_ = -1;           // the signal handler's slot for temp_
  int lock_fd_ = -1;        // temp_ opened, holding its lock until it is renamed or removed
  std::vector<int> files_;  // slots of the files added
  std::vector<std::string> file_paths_;
};

}  // namespace safe_output
