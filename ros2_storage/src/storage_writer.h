#pragma once

// What the two storage writers (MCAP and SQLite) have in common: the account of the file they
// keep for the folder's metadata.yaml, and how they fail.

#include <stdexcept>
#include <string>

#include "ros2_storage/recording_writer.h"
#include "rosbag2_metadata.h"

namespace ros2_storage {

// A writer of one storage file. information() tells what the file holds once closed, for the
// folder's metadata.yaml.
class StorageWriter : public RecordingWriter {
 public:
  const BagInformation& information() const { return information_; }

 protected:
  BagInformation information_;
};

// A writer's failure state: the first failure is kept and every later call repeats it, and a
// closed writer refuses more.
struct WriterState {
  std::string name;     // the output, as failure texts name it
  std::string failure;  // the first failure; empty while there is none
  bool closed = false;

  // Keeps and throws "cannot write output <name> (<reason>)".
  [[noreturn]] void fail(const std::string& reason) {
    failure = "cannot write output " + name + " (" + reason + ")";
    throw std::runtime_error(failure);
  }
  // Throws the kept failure, or that the output is closed; returns when the writer may go on.
  void check() const {
    if (!failure.empty()) throw std::runtime_error(failure);
    if (closed) throw std::runtime_error("output " + name + " is already closed");
  }
};

}  // namespace ros2_storage
