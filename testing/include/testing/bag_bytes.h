#pragma once

// Reading and damaging the stored bytes of a version 2.0 bag file, for tests that hand a reader
// a bag that no well-behaved writer produces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bag_format/bag_record.h"

namespace drone_test {

// The "op" values of the record types of a version 2.0 bag.
using bag_format::kOpChunk;
using bag_format::kOpChunkInfo;
using bag_format::kOpConnection;
using bag_format::kOpFileHeader;
using bag_format::kOpIndexData;
using bag_format::kOpMessageData;

// One record as stored: <header length><header fields><data length><data>.
struct BagRecord {
  size_t pos = 0;           // byte offset of the header length word
  uint8_t op = 0;           // the record's "op" field
  size_t header_pos = 0;    // byte offset of the first header field
  uint32_t header_len = 0;  // bytes of header fields
  size_t data_pos = 0;      // byte offset of the data
  uint32_t data_len = 0;    // bytes of data
};

// The records of a bag file in file order, after the version line. The records stored inside a
// chunk's data are not listed. Throws std::runtime_error or std::out_of_range where the bytes do
// not hold records.
std::vector<BagRecord> bag_records(const std::string& bytes);

// The first record with `op`, or the n-th one (from 0); throws std::runtime_error when there is
// none.
BagRecord record_with_op(const std::string& bytes, uint8_t op, size_t n = 0);

// Offset of the length word of field `name` inside the header whose fields start at
// `header_pos` and take `header_len` bytes; std::string::npos when there is no such field.
size_t field_at(const std::string& bytes, size_t header_pos, uint32_t header_len,
                const std::string& name);

// The 4 bytes at `pos` read or overwritten as a little-endian number; both throw
// std::out_of_range when they run past the end of `bytes`.
uint32_t get_u32(const std::string& bytes, size_t pos);
void put_u32(std::string& bytes, size_t pos, uint32_t value);

// Byte offsets of the data-length words of the message records, in file order, including the
// records inside uncompressed chunks (compressed chunks are not looked into), for tests that
// damage a message's stated length.
std::vector<size_t> message_length_fields(const std::string& bag_bytes);

// A copy of a bag's bytes whose last message record claims `extra` more data bytes than it
// holds (an uncompressed bag: see message_length_fields).
std::string with_last_message_overstated(const std::string& bag_bytes, uint32_t extra);

// A copy of a bag's bytes, damaged so that the bag library reads out of bounds while it opens
// the bag, and the byte offset at which the damage is found.
struct DamagedBag {
  std::string bytes;
  size_t fault_at = 0;  // the damaged record's header length word, or the damaged index entry
};

// The first connection record of the bag's index section gets a "topic" field length of 999999,
// far past the end of its header. fault_at: the record's header length word.
DamagedBag with_field_past_header(const std::string& bag_bytes);

// The first index record names `connection`, which the bag must not define, and its first entry
// is stamped at time 0. fault_at: that entry.
DamagedBag with_time_zero_on_undefined_connection(const std::string& bag_bytes,
                                                  uint32_t connection = 99);

// The kinds of damage above applied to one bag, and a connection record whose header length
// (0x8A000000) is more than the file holds, which the bag library sets aside before reading,
// each with the reason the structure check run before every bag open gives for it.
struct OpenCrashCase {
  const char* name;    // what was damaged
  std::string bytes;   // the damaged bag
  std::string reason;  // the check's text for it, without any reader's prefix
};
std::vector<OpenCrashCase> open_crash_cases(const std::string& bag_bytes);

// Damage inside the first chunk of an uncompressed bag that makes the bag library read out of
// bounds while it reads messages (it opens the bag safely), each with the reason the structure
// check gives for it when it reads messages; only the first two also show in the index alone.
// The bag needs two connections in its first chunk, whose last record is a message:
//   - the first index entry of the first, then of the second connection points past the chunk;
//   - the first connection's first record has a header length past the chunk, then a header
//     field past its header's end;
//   - the chunk's last record states a data length far past (+0x10000000), then just past
//     (+704 bytes: 320 -> 1024) the chunk's end.
std::vector<OpenCrashCase> read_crash_cases(const std::string& bag_bytes);

// A copy of a bag's bytes with 1 to 8 bytes changed at random places inside the stored data of
// its chunks (the compressed bytes of a compressed chunk), drawn from `seed`; the rest of the
// file is kept.
std::string with_chunk_bytes_changed(const std::string& bag_bytes, uint32_t seed);

// How many changed copies a test makes of each bag: $DRONE_BAG_MUTANTS, or 12 (a few seconds).
uint32_t bag_mutant_count();

// The uncompressed data of a chunk record stored plain, with bz2 or with lz4; throws
// std::runtime_error when it does not decompress to the size its header states.
std::string chunk_contents(const std::string& bag_bytes, const BagRecord& chunk);

// One message as a bag's bytes hold it: the connection and time of its index entry and the data
// of the message record that the entry points at.
struct IndexedMessage {
  uint32_t connection = 0;
  uint32_t sec = 0;
  uint32_t nsec = 0;
  std::string data;
  // The time field of the message record itself (the entry's time when the record has none of 8
  // bytes); it differs from the entry's only in a damaged bag.
  uint32_t record_sec = 0;
  uint32_t record_nsec = 0;
};

// Every indexed message of a version 2.0 bag in time order (ties in file order), read from the
// bytes alone, as a reader that follows the format should: an entry may point at records that
// define a connection or a message type, which are passed by their headers, before its message
// record. Throws std::runtime_error or std::out_of_range where a chunk does not decompress or a
// record does not lie inside its chunk.
std::vector<IndexedMessage> indexed_messages(const std::string& bag_bytes);

// A copy of a bag's bytes whose index leaves out the n-th chunk-info record (from 0), with the
// file header's chunk count lowered to match: header and index agree with each other, and the
// chunk stays stored. Throws std::runtime_error when the bag has no such record.
std::string without_chunk_info(const std::string& bag_bytes, size_t n);

// A copy of a bag's bytes as a recorder that was stopped leaves them: the index section (from
// the first connection record after the last chunk's index records) is gone and the file
// header states index position 0 and no connections or chunks; the chunks stay as they were.
std::string as_unclosed_recording(const std::string& bag_bytes);

// A copy of an uncompressed bag's bytes in which every "conn" field of value `from` says `to`: in
// the top-level records and in the records inside the chunks. Turns connection `from` into a
// second definition of connection `to`, with its own topic and type, as a faulty recorder or a
// careless merge of two recordings leaves them.
std::string with_connection_renumbered(const std::string& bag_bytes, uint32_t from, uint32_t to);

// A file that a test hands to a reader, with a label for failure messages.
struct NamedFile {
  std::string label;
  std::string path;
};

// Damaged copies of the bag at `bag_path` (uncompressed, of several chunks), written into `dir`:
// copies cut at several offsets (inside the magic, the file header, the chunks and the index), a
// copy whose connection record has a field length running past its header, a copy with an index
// entry at time 0 on a connection the bag does not define, and files of random bytes (fixed
// seeds) after the bag magic, with and without a valid file header record.
std::vector<NamedFile> damaged_copies(const std::string& bag_path, const std::string& dir);

}  // namespace drone_test
