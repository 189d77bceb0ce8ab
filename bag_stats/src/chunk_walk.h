#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace bag_analyzer {

// One topic's messages as the chunks hold them.
struct WalkedTopic {
  uint32_t messages = 0;
  // The "type" of the topic's connection with the highest id; empty when it records none.
  std::string datatype;
  uint32_t type_connection = 0;  // that connection's id
};

// What the chunks of a bag whose recording was not closed hold.
struct ChunkInventory {
  std::map<std::string, WalkedTopic> topics;  // byte-wise order of topic names
  uint32_t total = 0;
  double start_time = 0.0;  // seconds; 0 when no message was found
  double end_time = 0.0;
  // Bytes at the end of the file that hold no whole record: a compressed chunk cut short, or
  // the cut part of a record. 0 when the file ends with a whole record.
  uint64_t unreadable_bytes = 0;
};

// Reads a version 2.0 bag whose file header gives no index (index position 0, as a recorder
// that was stopped leaves it) or an index beyond the end of the file, by walking its chunks from
// the first: every message of every whole chunk counts, and in a plain chunk cut short the whole
// records before the cut; a cut compressed chunk is lost and its bytes are counted as
// unreadable. Nothing when the file is no such bag (then it is left to the other readers).
// Throws std::runtime_error naming the damage where a whole chunk does not decompress to its
// stated size, states more than bag_check::kMaxChunkSize bytes, or holds a record that runs
// past its end or a message of a connection it never defines. Memory: one chunk.
std::optional<ChunkInventory> walk_unclosed_recording(const std::string& path);

// Reads a closed version 2.0 bag whose index leaves stored chunks out by walking every chunk
// between its file header and its index, with the same checks; unreadable_bytes stays 0, since a
// record that does not end before the index is damage. Throws std::runtime_error naming the
// damage, or when the file is no such bag. Memory: one chunk.
ChunkInventory walk_chunks_before_index(const std::string& path);

}  // namespace bag_analyzer
