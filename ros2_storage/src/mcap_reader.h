#pragma once

// The MCAP storage. A file with a summary (footer, Schema, Channel and Statistics records after
// the data section) is opened from its summary alone: its channels, counts and times are known
// without reading a message. A file without one, with one that does not read whole (a CRC that
// does not match, a record past its end, no statistics), or cut off (no footer: the recording
// did not end), is walked once on opening to learn its channels (chunks decompressed) and what at
// its end holds no whole record; a chunk whose message index records name no wanted channel is
// passed over by read(). read() walks the data section once, holding one chunk of up to
// kStreamedMcapChunkBytes at a time, and hands over each chunk's messages by log time; messages
// outside chunks go as stored, each read whole. A larger chunk is not held: a plain one is read
// from the file as its records are walked, a compressed one is decompressed in pieces into a
// scratch file (without a name, in $TMPDIR, else /tmp, removed by the system however the process
// ends; its stated size of disk, never more) and its records read from there; its CRC is summed
// in pieces.
//
// Every length is checked against the file and the limits below before anything is set aside
// for it. CRCs are checked where stored (chunk records, summary); the data section's CRC is not.
// Faults are std::runtime_error texts naming the file and the byte position, for example
// "<file>: chunk at byte P states S uncompressed bytes, more than the 268435456 a chunk may
// hold", "<file>: chunk at byte P states S bytes, more than its N stored bytes can hold with
// lz4", "<file>: chunk at byte P decompresses to N bytes, not the S it states", "<file>: record
// at offset O of the chunk at byte P runs past the chunk's end", "<file>: message at offset O of
// the chunk at byte P is on channel C, which the file does not define", "<file>: channel C is
// defined for topic T (type) and again for topic U (type); its messages cannot be told apart".
//
// Memory: a fixed budget plus the largest message. The budget: a chunk of up to 16 MiB held
// decompressed with 24 bytes per message of it (at most 13 MiB), 1 MiB pieces of stored and
// decompressed bytes, two 64 KiB read windows and the channels; nothing per chunk. A chunk too
// large to hold whose wanted messages are not stored by log time adds 24 bytes per message of it
// while it is read. A message (or schema, channel, metadata record) is held whole, up to the
// limits below.

#include <cstdint>
#include <memory>
#include <string>

#include "storage_file.h"

namespace ros2_storage {

// A chunk stating more uncompressed bytes than this is not held while it is read (see above), as
// the ROS 1 reader does with its chunks. Recorders close a chunk at a few MiB: only a chunk made
// large by one large message (a recorded map) or a recorder set to large chunks is read that way.
constexpr uint64_t kStreamedMcapChunkBytes = 16u << 20;
// A chunk stating more uncompressed bytes than this is refused before anything is set aside for
// it. Writers close a chunk at a few MiB (rosbag2: 768 KiB) or after one large message.
constexpr uint64_t kMaxMcapChunkBytes = 256u << 20;
// Any other record held whole (a message outside chunks, a schema, a channel, a metadata record)
// larger than this is refused.
constexpr uint64_t kMaxMcapRecordBytes = 256u << 20;

// Opens the MCAP file at `path`: reads its header and its summary, or walks it when it has none.
// Throws std::runtime_error with the fault.
std::unique_ptr<StorageFile> open_mcap_file(const std::string& path);

}  // namespace ros2_storage
