#include "bag_check/bag_chunks.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bag_check/bag_record.h"

namespace bag_check {

namespace {

// Reads record headers one after the other from a position on, without their data.
class HeaderWalk {
 public:
  explicit HeaderWalk(const BagFile& file) : file_(file) {}

  void seek(uint64_t pos) { pos_ = pos; }
  uint64_t pos() const { return pos_; }

  // The header at the current position into `fields`, and its data's position and length; moves
  // past the data. False when the header or its data do not lie in the file or do not parse.
  bool next(RecordFields& fields, uint64_t& data_pos, uint32_t& data_length) {
    uint32_t length = 0;
    if (!file_.read_at(pos_, &length, 4) || length > kMaxHeaderLength) return false;
    bytes_.resize(length);
    if (!file_.read_at(pos_ + 4, bytes_.data(), length) ||
        fields.parse(bytes_.data(), length) != Parse::kOk ||
        !file_.read_at(pos_ + 4 + length, &data_length, 4)) {
      return false;
    }
    data_pos = pos_ + 4 + length + 4;
    if (data_length > file_.size() - data_pos) return false;
    pos_ = data_pos + data_length;
    return true;
  }

 private:
  const BagFile& file_;
  uint64_t pos_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::string check_index_covers_chunks(const std::string& path) {
  const BagFile file(path);
  char version[kVersionLineLength];
  if (!file.read_at(0, version, sizeof version) ||
      std::memcmp(version, kVersionLine, sizeof version) != 0) {
    return "";
  }
  HeaderWalk walk(file);
  walk.seek(kVersionLineLength);
  RecordFields fields;
  uint64_t data_pos = 0;
  uint32_t data_length = 0;
  uint64_t index_pos = 0;
  uint32_t connection_count = 0;
  uint32_t chunk_count = 0;
  std::string_view encryptor;
  if (!walk.next(fields, data_pos, data_length) || !fields.op_is(kOpFileHeader) ||
      !fields.number("index_pos", index_pos) || !fields.number("conn_count", connection_count) ||
      !fields.number("chunk_count", chunk_count) ||
      (fields.text("encryptor", encryptor) && !encryptor.empty())) {
    return "";
  }
  const uint64_t chunks_from = walk.pos();
  if (index_pos < chunks_from || index_pos > file.size()) return "";

  walk.seek(index_pos);
  for (uint32_t i = 0; i < connection_count; ++i) {
    if (!walk.next(fields, data_pos, data_length) || !fields.op_is(kOpConnection)) return "";
  }
  std::vector<uint64_t> listed;
  for (uint32_t i = 0; i < chunk_count; ++i) {
    uint64_t chunk_pos = 0;
    if (!walk.next(fields, data_pos, data_length) || !fields.op_is(kOpChunkInfo) ||
        !fields.number("chunk_pos", chunk_pos)) {
      return "";
    }
    listed.push_back(chunk_pos);
  }

  // The chunk section: each chunk record followed by its index data records.
  std::vector<uint64_t> stored;
  walk.seek(chunks_from);
  while (walk.pos() < index_pos) {
    const uint64_t at = walk.pos();
    if (!walk.next(fields, data_pos, data_length) || walk.pos() > index_pos) break;
    if (fields.op_is(kOpChunk)) {
      stored.push_back(at);
    } else if (!fields.op_is(kOpIndexData)) {
      break;
    }
  }

  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  for (const uint64_t pos : stored) {
    if (!std::binary_search(listed.begin(), listed.end(), pos)) {
      const size_t covered =
          static_cast<size_t>(std::count_if(stored.begin(), stored.end(), [&](uint64_t p) {
            return std::binary_search(listed.begin(), listed.end(), p);
          }));
      return "the index lists " + std::to_string(covered) + " of the bag's " +
             std::to_string(stored.size()) + " chunks and is incomplete: the chunk at byte " +
             std::to_string(pos) + " is not among them";
    }
  }
  for (const uint64_t pos : listed) {
    if (!std::binary_search(stored.begin(), stored.end(), pos)) {
      return "the index lists a chunk at byte " + std::to_string(pos) +
             ", where the bag stores none";
    }
  }
  return "";
}

}  // namespace bag_check
