#pragma once

// One storage file of a ROS 2 recording, as each storage reads it: the recording above merges
// the channels of its files and reads them one after another.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"

namespace ros2_storage {

class StorageFile {
 public:
  virtual ~StorageFile() = default;
  StorageFile() = default;
  StorageFile(const StorageFile&) = delete;
  StorageFile& operator=(const StorageFile&) = delete;

  // The file's channels, in the order first stored.
  virtual const std::vector<Channel>& channels() const = 0;
  // Counts (by place in channels()) and times the file states; nullptr when it states none.
  virtual const Inventory* stated_inventory() const = 0;
  // The stated counts, or those of every whole message found by a walk on opening (an MCAP file
  // without a summary used); nullptr when neither is known.
  virtual const Inventory* found_inventory() const { return stated_inventory(); }
  virtual const ReadOutcome& outcome() const = 0;
  // Header and metadata records (MCAP); files is left empty.
  virtual const StoredInfo& stored() const = 0;
  // Bytes of the file, the unit of read()'s progress.
  virtual uint64_t size() const = 0;

  // Hands over every message whose channel (by place in channels()) has a non-null `target`,
  // with Message::channel set to it, by log time (equal times as stored). on_bytes, when given,
  // gets the bytes of the file done so far. Faults are std::runtime_error naming the file and
  // the byte position; exceptions of the callbacks pass.
  virtual void read(const std::vector<const Channel*>& target,
                    const std::function<void(const Message&)>& on_message,
                    const std::function<void(uint64_t)>& on_bytes) = 0;
};

}  // namespace ros2_storage
