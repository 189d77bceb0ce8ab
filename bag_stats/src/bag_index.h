#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bag_analyzer {

// One connection as the bag's index section defines it, with the messages the chunk-info
// records count for it.
struct IndexedConnection {
  uint32_t id = 0;
  // The topic the connection record names (never empty).
  std::string topic;
  // The connection header's "type" field; empty when the header has none.
  std::string datatype;
  // Messages summed over every chunk-info record; 0 when no chunk holds one.
  uint64_t messages = 0;
};

// A stored time: seconds and nanoseconds since the epoch, as the chunk-info records hold it.
struct StoredTime {
  uint32_t sec = 0;
  uint32_t nsec = 0;  // below 1,000,000,000
};

// What the index section of a bag says about its messages.
struct BagIndex {
  // Every connection the bag defines, ascending by id, each id once (the first record for an id
  // counts, as in the bag library).
  std::vector<IndexedConnection> connections;
  // Earliest start and latest end over the chunks that hold at least one message of a defined
  // connection; both 0 when no chunk does.
  StoredTime start;
  StoredTime end;
};

// Reads the index section of the bag at `path`: the file header record (index position,
// connection and chunk counts), the connection records and the chunk-info records after it;
// nothing else, so the work and memory grow with the numbers of connections and chunks, never
// with the number of messages. Every length is checked against the file's size before anything
// is read, and record headers longer than a few megabytes are not read at all.
//
// Returns nothing when the file is not a regular file holding an indexed, unencrypted version
// 2.0 bag whose index section reads exactly as the bag library would read it: every record and
// field in its place and size, the "op" of each record as expected, chunk-info version 1 with
// as many entries as its data holds, chunk positions before the index, times in order and
// normalised. The caller then leaves the file to the bag library, which reads it or refuses it
// with its own reasons. Throws nothing but std::bad_alloc; writes nothing.
std::optional<BagIndex> read_bag_index(const std::string& path);

}  // namespace bag_analyzer
