#pragma once

// Reading the messages of a version 2.0 bag: every record is checked as it is read, and the
// messages come out chunk by chunk in file order, each chunk's by record time. Nothing is kept
// per chunk: memory is a fixed budget plus the largest chunk held, whatever the chunk count.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bag_format/read_outcome.h"

namespace bag_format {

class BagFile;

// Thrown by BagReader for a bag of the older format version 1.2 (first line "#ROSBAG V1.2"):
// what the reader leaves to the bag library, which reads it or refuses it with its own reasons.
// Any other file that is no version 2.0 bag is refused with a std::runtime_error of the same
// text.
class UnsupportedBag : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One connection of a bag.
struct ReaderConnection {
  uint32_t id = 0;
  std::string topic;     // the connection record's "topic" field
  std::string datatype;  // the connection header's "type"; empty when it has none
  std::string md5sum;    // the connection header's "md5sum"; empty when it has none
  // The connection header fields as stored, in stored order.
  std::vector<std::pair<std::string, std::string>> fields;
};

// A chunk larger than this is not held: a plain one is read from the file as its records are
// walked, a compressed one is decompressed in pieces into a scratch file (in $TMPDIR, else /tmp,
// removed by the system however the process ends) and read from there. Recorders close a chunk
// at under 1 MiB plus one message, so only a chunk made large by one large message (a recorded
// map, an image) or a recorder set to large chunks is read that way.
constexpr uint32_t kStreamedChunkBytes = 16u << 20;
// In such a chunk, a message larger than this is not read by the reader: it is handed over in
// pieces (ReaderMessage::data is nullptr), which its reader takes with ReaderMessage::copy.
constexpr uint32_t kWholeMessageBytes = 16u << 20;

// One message, valid during the call that hands it over.
struct ReaderMessage {
  const ReaderConnection* connection = nullptr;
  uint32_t sec = 0;  // record time
  uint32_t nsec = 0;
  // The serialised message; nullptr for a message handed over in pieces (see
  // kWholeMessageBytes).
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  const BagFile* file = nullptr;  // where a message handed over in pieces is stored
  uint64_t file_pos = 0;

  // Copies `n` bytes of the message from its byte `from` on to `out`, whether it was handed over
  // whole or in pieces. Throws std::out_of_range for bytes outside the message and
  // std::runtime_error when the file cannot be read.
  void copy(uint64_t from, void* out, uint64_t n) const;
  // The whole message: `data`, or, for a message handed over in pieces, its bytes read into
  // `buffer`. Throws std::runtime_error for one larger than kMaxChunkSize, which is not held.
  const uint8_t* whole(std::vector<uint8_t>& buffer) const;
};

// How the bag was read, and what the last read() did.
struct ReadSummary : ReadOutcome {
  uint64_t chunks_read = 0;     // chunks whose messages read() handed over
  uint64_t chunks_skipped = 0;  // chunks without a wanted message
};

// What the chunk-info records of a bag's index section count, without reading a chunk.
struct IndexCounts {
  // The messages of each connection, by its place in BagReader::connections(); summed over the
  // chunks (the last count of a connection in a chunk's record counts, as in the bag library).
  std::vector<uint64_t> messages;
  // Earliest start and latest end over the chunks that hold a message of a defined connection;
  // all 0 when none does.
  uint32_t start_sec = 0;
  uint32_t start_nsec = 0;
  uint32_t end_sec = 0;
  uint32_t end_nsec = 0;
};

// The one reader of bag messages. The constructor reads the file header and the index section,
// and walks the record headers of the chunk section (with the index records after each chunk,
// whose entries give each chunk's connections and time range) to match the chunks against the
// index; read() walks the chunk section again and reads each chunk as it meets it.
//
// Bags that were not closed (see ReadSummary::recording_closed) and bags whose index leaves
// chunks out are read by walking the chunks: every message of every whole chunk, and in a plain
// chunk cut short the whole records before the cut; a cut compressed chunk is lost and counted
// in unreadable_bytes. The connections then come from the connection records inside the chunks:
// a chunk whose index records are missing, or name a connection not defined before it, is read
// (and decompressed) by the constructor to learn its connections, and again by read().
//
// read() judges every record of the chunks it hands messages over from. A chunk without a
// wanted message is searched for a connection record (a plain one read, a compressed one
// decompressed) and judged whole when it may hold one, so that a connection id defined again is
// refused by every reader of the bag, whatever it wants. Every fault is a std::runtime_error whose
// text names it and its byte position, for example "chunk at byte P decompresses to N bytes, not
// the S its header states" (found while decompressing in pieces, before more than S bytes are
// written anywhere), "chunk at byte P states S bytes, more than its N stored bytes can hold with
// lz4" (before anything is read), "index entry at byte N points at offset O of the chunk at byte P,
// which holds S bytes", "message record at offset O of the chunk at byte P runs past the chunk's
// end", "message record at offset O of the chunk at byte P is on connection C, which the bag does
// not define", "message record at offset O of the chunk at byte P has time T, outside the times its
// index records state", "connection C is defined for topic T (type) and again for topic U (type);
// its messages cannot be told apart". Memory: the largest chunk held (16 MiB, compressed and
// uncompressed) and 48 bytes per message of it; for a chunk too large to hold whose wanted messages
// are not stored by time, 24 bytes per message of it; a few dozen bytes per connection; nothing per
// chunk. Not copyable; one thread at a time.
class BagReader {
 public:
  explicit BagReader(const std::string& path);
  ~BagReader();
  BagReader(const BagReader&) = delete;
  BagReader& operator=(const BagReader&) = delete;

  // Calls on_message for every message of every connection that `wanted` accepts, chunk by
  // chunk in file order, each chunk's messages by record time (equal times as stored). Where the
  // chunks of each connection do not overlap in time this is the bag library's time-ordered view;
  // where they do (a recorder writing each message at its header stamp, merged recordings), a
  // caller that needs the time order sorts what it keeps of each message by (record time,
  // arrival). Like the library, it leaves out messages stamped at time 0, which is no record
  // time, unless `with_time_zero` (a count of what the chunks hold). on_progress, when given,
  // gets the share of the chunk section's bytes done, ending with 1. Exceptions of the callbacks
  // pass unchanged.
  ReadSummary read(const std::function<bool(const ReaderConnection&)>& wanted,
                   const std::function<void(const ReaderMessage&)>& on_message,
                   const std::function<void(double)>& on_progress = {},
                   bool with_time_zero = false);

  // Every connection, in the order found.
  const std::vector<ReaderConnection>& connections() const;
  // What the constructor found: index_complete, recording_closed and unreadable_bytes; the chunk
  // counts are those of the last read().
  const ReadSummary& summary() const;
  // The counts of the index section when it was read (summary().recording_closed), else nullptr.
  // They describe the whole bag only when summary().index_complete.
  const IndexCounts* index_counts() const;

 private:
  struct Layout;
  std::unique_ptr<Layout> layout_;
};

}  // namespace bag_format
