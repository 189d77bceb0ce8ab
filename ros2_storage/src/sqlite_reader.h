#pragma once

// The SQLite storage of rosbag2: a file holding the tables topics (id, name, type,
// serialization_format, and where present offered_qos_profiles and type_description_hash) and
// messages (id, topic_id, timestamp, data), and in newer releases schema, metadata and
// message_definitions. The columns and tables present are read; the file is opened read-only and
// as immutable, so that nothing beside it is created or changed.
//
// A write-ahead log (-wal) or rollback journal (-journal) beside the file holding data means the
// recorder did not close it: the file is read as it stands, without them, the recording counted
// as not closed and the journal's bytes as unreadable. A damaged page stops the reading with an
// error naming the file and how many messages came before it, which were handed over.
//
// Messages on a topic id the topics table does not define are neither counted nor read.
// Memory: SQLite's page cache (2 MiB) and the largest message; messages are stepped one row at
// a time, by timestamp and then id.

#include <memory>
#include <string>

#include "storage_file.h"

namespace ros2_storage {

// Opens the rosbag2 SQLite file at `path` and reads its topics. Throws std::runtime_error with
// the fault ("<file>: holds no topics table: it is no rosbag2 SQLite file", "<file>: file is not
// a database").
std::unique_ptr<StorageFile> open_sqlite_file(const std::string& path);

}  // namespace ros2_storage
