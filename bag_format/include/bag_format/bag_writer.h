#pragma once

// Writing a version 2.0 bag chunk by chunk: one chunk of records is kept in memory and goes to
// the file, with its index records, in one write; the connection and chunk-info records follow
// the last chunk, and the file header is then given their position and counts.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bag_format {

// How the records of each chunk are stored.
enum class ChunkCompression {
  kNone,  // "none": as they are
  kBz2,   // "bz2": one bzip2 stream per chunk, 900 kB blocks
  kLz4,   // "lz4": one lz4 frame stream per chunk
};

struct BagWriterOptions {
  // A chunk is closed by the first message after which its uncompressed records take more than
  // this many bytes (the bag library's default). A message larger than the threshold ends up in
  // a chunk of its own, or with the messages before it. 0: one chunk per message.
  uint32_t chunk_threshold = 768 * 1024;
  ChunkCompression compression = ChunkCompression::kNone;
};

// One connection of the output bag.
struct BagConnectionInfo {
  // The connection's number in the bag, used by write(); any value, each one once.
  uint32_t id = 0;
  // The topic its messages are stored under.
  std::string topic;
  // The connection header, stored as given and in this order: "type", "md5sum" and
  // "message_definition" are required; "topic", "callerid", "latching" and any others are kept.
  std::vector<std::pair<std::string, std::string>> fields;
};

// Where a writer's bytes go. The bag's bytes are appended in order; at the end the file header
// at the start is overwritten once, then the output is committed.
class BagOutput {
 public:
  virtual ~BagOutput() = default;
  // Appends `size` bytes; returns why that failed, or an empty text.
  virtual std::string append(const void* data, size_t size) = 0;
  // Overwrites `size` bytes already appended, from byte `offset` on; returns why that failed,
  // or an empty text.
  virtual std::string overwrite(uint64_t offset, const void* data, size_t size) = 0;
  // Makes the bytes the finished output; returns why that failed, or an empty text.
  virtual std::string commit() = 0;
};

// Writes one bag. Memory: the chunk being filled (twice that with compression) and a few dozen
// bytes per connection and per chunk written; never anything per message of an earlier chunk.
// Not copyable; one thread at a time. Every failure throws std::runtime_error with its reason;
// after one, every later call throws the same reason and nothing more is written.
class BagWriter {
 public:
  // Writes through safe_output's temporary file beside `path`, which takes the name `path` only
  // when close() succeeds; an earlier file there stays as it was until then. Throws when the
  // temporary file cannot be created: "cannot write output bag <path> (<reason>)".
  explicit BagWriter(const std::string& path, BagWriterOptions options = {});
  // Writes to `output` (a test's recorder, or another destination); `name` stands for it in
  // the texts of failures.
  BagWriter(std::unique_ptr<BagOutput> output, const std::string& name,
            BagWriterOptions options = {});
  // A writer not closed leaves no output: the temporary file is removed.
  ~BagWriter();
  BagWriter(const BagWriter&) = delete;
  BagWriter& operator=(const BagWriter&) = delete;

  // Declares a connection. Its record is stored in the chunk of its first message and again
  // after the last chunk; a connection without messages is not stored. Throws for an id given
  // before, a header without one of the three required fields, a field name that is empty or
  // holds '=', or a field longer than bag readers accept (1,000,000 bytes).
  void add_connection(const BagConnectionInfo& connection);

  // Appends one message, `size` serialised bytes at `data`, on connection `connection_id` at
  // record time `sec`.`nsec`. Messages are stored in the order written; each chunk's index lists
  // a connection's messages by time, equal times in the order written. Throws for an undeclared
  // connection, time 0 or nanoseconds of 1e9 and more, a message that does not fit a chunk's
  // 32-bit size, and a failed write of a full chunk.
  void write(uint32_t connection_id, uint32_t sec, uint32_t nsec, const uint8_t* data, size_t size);

  // Appends one message of `size` bytes that is not held whole, on connection `connection_id`
  // at record time `sec`.`nsec`: `fill(from, out, n)` is called for consecutive pieces and puts
  // bytes from..from+n-1 of the message at `out`. Without compression the chunk being filled is
  // written first and the message takes a chunk of its own, going to the output piece by piece
  // (1 MiB held); with compression it is gathered and written as write() writes it. Throws as
  // write() does; an exception of `fill` passes, and the writer then fails as after a failed
  // write.
  void write_pieces(uint32_t connection_id, uint32_t sec, uint32_t nsec, uint64_t size,
                    const std::function<void(uint64_t from, uint8_t* out, size_t n)>& fill);

  // Writes the last chunk, the connection and chunk-info records and the file header, and
  // commits the output. Throws with the reason when a step fails; the output is then not
  // committed. Calling it again after success does nothing.
  void close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace bag_format
