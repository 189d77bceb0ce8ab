#pragma once

// A recording made of storage files read one after another: one MCAP or SQLite file alone, or
// the files of a rosbag2 folder.

#include <memory>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"
#include "storage_file.h"

namespace ros2_storage {

// The recording of `files`, in reading order (at least one). Channels that agree on topic, type
// and encoding are merged into one, in the order first found; `stored` gives the folder's
// metadata.yaml and the file list, the first file's header and metadata records fill the rest.
// `described` (a folder's metadata.yaml topics) gives the QoS text and type hash of a channel
// of the same topic and type whose files store none.
std::unique_ptr<Recording> files_recording(Storage storage,
                                           std::vector<std::unique_ptr<StorageFile>> files,
                                           StoredInfo stored,
                                           const std::vector<Channel>& described = {});

// InputKind::mcap_file or InputKind::sqlite_file for a regular file starting with their magic;
// InputKind::unknown for anything else.
InputKind storage_file_kind(const std::string& path);

}  // namespace ros2_storage
