#pragma once

// The records of a version 2.0 bag file, written once for every reader and writer of the
// system: op codes, the header field encoding with its limits, a bounded file reader and the
// chunk codecs.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bag_format {

// The "op" values of the record types.
constexpr uint8_t kOpMessageDefinition = 0x01;
constexpr uint8_t kOpMessageData = 0x02;
constexpr uint8_t kOpFileHeader = 0x03;
constexpr uint8_t kOpIndexData = 0x04;
constexpr uint8_t kOpChunk = 0x05;
constexpr uint8_t kOpChunkInfo = 0x06;
constexpr uint8_t kOpConnection = 0x07;

// The first line of every version 2.0 bag.
constexpr char kVersionLine[] = "#ROSBAG V2.0\n";
constexpr size_t kVersionLineLength = sizeof kVersionLine - 1;
// The file header record (its length words, fields and padding) takes this many bytes, so that
// it can be rewritten in place once the index is known.
constexpr uint32_t kFileHeaderRecordLength = 4096;
// Version of the index data and chunk-info records.
constexpr uint32_t kIndexVersion = 1;
constexpr uint32_t kNanosecondsPerSecond = 1000000000;

// A header field longer than this is refused (the bag library refuses it as well).
constexpr uint32_t kMaxFieldLength = 1000000;
// A record header longer than this is refused before it is read. The longest header any writer
// produces is a connection header that carries a message definition, well below it.
constexpr uint32_t kMaxHeaderLength = 4u << 20;
// The most bytes held at once for one message that a reader asks for whole (a lidar frame to
// decode), and for the records a recording that was not closed stores in place of a chunk.
// 256 MiB leaves room for any single lidar frame or image a recorder stores; larger messages go
// through in pieces.
constexpr uint32_t kMaxChunkSize = 256u << 20;

enum class Parse {
  kOk,
  kRefused,  // a field longer than kMaxFieldLength, or without '='
  kPastEnd,  // a field or its length word runs past the header's end
};

// The fields of one record header, <u32 length><name>=<value> each, as views into the bytes
// given to parse(), which must outlive the fields. A later field of a name replaces an earlier
// one.
class RecordFields {
 public:
  Parse parse(const uint8_t* bytes, uint32_t length);

  // The value of the last field called `name`; false when there is none.
  bool text(std::string_view name, std::string_view& value) const;

  // A little-endian number field; false when missing or not exactly sizeof(T) bytes long.
  template <class T>
  bool number(std::string_view name, T& value) const {
    std::string_view bytes;
    if (!text(name, bytes) || bytes.size() != sizeof(T)) return false;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return true;
  }

  // A packed time field (seconds in the low, nanoseconds in the high 32 bits); false when
  // missing, mis-sized or not normalised.
  bool time(std::string_view name, uint32_t& sec, uint32_t& nsec) const;

  bool op_is(uint8_t op) const {
    uint8_t value = 0;
    return number("op", value) && value == op;
  }

  // Every field in stored order, duplicates included.
  const std::vector<std::pair<std::string_view, std::string_view>>& all() const { return fields_; }

 private:
  std::vector<std::pair<std::string_view, std::string_view>> fields_;
};

// Encoders of the same format, for writers and tests.
void append_u32(std::string& out, uint32_t value);
void append_field(std::string& out, std::string_view name, std::string_view value);
template <class T>
void append_number_field(std::string& out, std::string_view name, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  append_field(out, name, std::string_view(bytes, sizeof(T)));
}
// Seconds in the low, nanoseconds in the high 32 bits.
uint64_t pack_time(uint32_t sec, uint32_t nsec);
// <header length><header fields><data length><data>.
void append_record(std::string& out, std::string_view header_fields, std::string_view data);

// A read-only file handle that never reads past the file's size. A FIFO is opened without
// waiting for a writer, and not read.
class BagFile {
 public:
  explicit BagFile(const std::string& path);
  // Takes over `fd`, an open regular file (a scratch file), which it closes.
  explicit BagFile(int fd);
  ~BagFile();
  BagFile(const BagFile&) = delete;
  BagFile& operator=(const BagFile&) = delete;

  // Why the file cannot be read as a bag: "cannot open <path>: <reason>" or "<path> is not a
  // regular file (a FIFO)" (or a directory, a character device, a block device, a socket);
  // empty when it is an open regular file.
  const std::string& error() const { return error_; }
  uint64_t size() const { return size_; }

  // Reads exactly n bytes at `pos`; false when they are not all in the file or a read fails.
  bool read_at(uint64_t pos, void* out, uint64_t n) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string error_;
};

// Decompresses a chunk's `stored` bytes with `compression` ("none", "bz2" or "lz4") into
// exactly `size` bytes at `out`. Returns "" on success, else the fault, naming the chunk by
// `chunk_pos`: "chunk at byte P cannot be decompressed (<codec> error E)", "chunk at byte P
// decompresses to N bytes, not the S its header states", "chunk at byte P stores N bytes, not
// the S its header states" (none), or "chunk at byte P uses compression C, which is not read".
std::string decompress_chunk(std::string_view compression, const uint8_t* stored,
                             uint32_t stored_size, uint8_t* out, uint32_t size, uint64_t chunk_pos);

// Decompresses the chunk whose `stored_size` bytes lie at `stored_pos` of `file` with
// `compression` ("bz2" or "lz4"), handing its `size` bytes to `take` in consecutive pieces of up
// to 1 MiB; faults as decompress_chunk_to_file, found before more than `size` bytes are handed
// over. Exceptions of `take` pass.
void decompress_chunk_in_pieces(const BagFile& file, std::string_view compression,
                                uint64_t stored_pos, uint32_t stored_size, uint32_t size,
                                uint64_t chunk_pos,
                                const std::function<void(const char*, size_t)>& take);

// Decompresses the chunk whose `stored_size` bytes lie at `stored_pos` of `file`, in pieces of
// 1 MiB, into a scratch file of exactly `size` bytes, for a chunk too large to be held: a file
// that no name leads to, in $TMPDIR (else /tmp), which the system removes when it is closed or
// the process ends, however it ends. Never writes more than `size` bytes: a chunk that decompresses
// to more or less is refused as decompress_chunk refuses it, and an lz4 chunk stating more than
// its stored bytes can produce is refused before anything is read. Throws std::runtime_error with
// the fault, or "cannot create a scratch file in D for the chunk at byte P: <reason>".
std::unique_ptr<BagFile> decompress_chunk_to_file(const BagFile& file, std::string_view compression,
                                                  uint64_t stored_pos, uint32_t stored_size,
                                                  uint32_t size, uint64_t chunk_pos);

// True for the compressions that decompress_chunk reads.
bool known_compression(std::string_view compression);

}  // namespace bag_format
