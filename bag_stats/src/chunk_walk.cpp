#include "chunk_walk.h"

#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "bag_check/bag_record.h"

namespace bag_analyzer {

namespace {

using bag_check::BagFile;
using bag_check::Parse;
using bag_check::RecordFields;

struct Connection {
  std::string topic;
  std::string datatype;
};

class Walk {
 public:
  // `indexed`: walk a closed bag whose index is known to leave chunks out, up to its index.
  Walk(const BagFile& file, bool indexed) : file_(file), indexed_(indexed) {}

  std::optional<ChunkInventory> run() {
    char version[bag_check::kVersionLineLength];
    if (!file_.read_at(0, version, sizeof version) ||
        std::memcmp(version, bag_check::kVersionLine, sizeof version) != 0) {
      return std::nullopt;
    }
    uint64_t pos = bag_check::kVersionLineLength;
    uint64_t index_pos = 0;
    std::string_view encryptor;
    if (!top_header(pos) || !fields_.op_is(bag_check::kOpFileHeader) ||
        !fields_.number("index_pos", index_pos) ||
        (fields_.text("encryptor", encryptor) && !encryptor.empty()) ||
        (indexed_ != (index_pos != 0 && index_pos <= file_.size()))) {
      return std::nullopt;
    }
    // A closed bag's chunks end where its index begins; the records after that are read from
    // the index by the other readers, and are not needed here.
    const uint64_t end = indexed_ ? index_pos : file_.size();
    pos = data_pos_ + data_length_;
    if (pos > end) {
      if (indexed_) throw std::runtime_error("the file header runs past the index");
      // Cut inside the file header record itself.
      inventory_.unreadable_bytes = file_.size() - bag_check::kVersionLineLength;
    }
    while (pos < end) {
      const uint64_t at = pos;
      if (!top_header(pos) || data_length_ > end - data_pos_) {
        if (indexed_) {
          throw std::runtime_error("record at byte " + std::to_string(at) +
                                   " runs past the index at byte " + std::to_string(end));
        }
        // A record cut short: a plain chunk keeps the whole records before the cut.
        if (data_pos_ != 0 && fields_.op_is(bag_check::kOpChunk)) {
          cut_chunk(at);
        } else {
          inventory_.unreadable_bytes = file_.size() - at;
        }
        break;
      }
      pos = data_pos_ + data_length_;
      if (fields_.op_is(bag_check::kOpChunk)) {
        chunk(at);
      } else if (fields_.op_is(bag_check::kOpMessageData) ||
                 fields_.op_is(bag_check::kOpConnection)) {
        // The records of a plain chunk still open when the recording stopped follow its header
        // (which states no data yet) in place; connection records after the last chunk are the
        // start of an index section that was never finished.
        contents_.resize(static_cast<size_t>(pos - at));
        if (!file_.read_at(at, contents_.data(), pos - at)) break;
        records(at, contents_.data(), pos - at, false);
      }
    }
    finish();
    return std::move(inventory_);
  }

 private:
  // The record header at `pos`; data_pos_ is 0 when the header itself is not whole.
  bool top_header(uint64_t pos) {
    data_pos_ = 0;
    uint32_t length = 0;
    if (!file_.read_at(pos, &length, 4) || length > bag_check::kMaxHeaderLength) return false;
    header_.resize(length);
    if (!file_.read_at(pos + 4, header_.data(), length) ||
        fields_.parse(header_.data(), length) != Parse::kOk ||
        !file_.read_at(pos + 4 + length, &data_length_, 4)) {
      return false;
    }
    data_pos_ = pos + 4 + length + 4;
    return true;
  }

  bool chunk_fields(uint64_t at, std::string& compression, uint32_t& size) {
    std::string_view text;
    if (!fields_.text("compression", text) || !fields_.number("size", size)) {
      throw std::runtime_error("chunk at byte " + std::to_string(at) +
                               " has no compression or size field");
    }
    compression.assign(text);
    if (size > bag_check::kMaxChunkSize) {
      throw std::runtime_error("chunk at byte " + std::to_string(at) + " states " +
                               std::to_string(size) + " bytes, more than the " +
                               std::to_string(bag_check::kMaxChunkSize) + " a chunk may hold");
    }
    return true;
  }

  void chunk(uint64_t at) {
    std::string compression;
    uint32_t size = 0;
    chunk_fields(at, compression, size);
    if (data_length_ > bag_check::kMaxChunkSize) {
      throw std::runtime_error("chunk at byte " + std::to_string(at) + " stores " +
                               std::to_string(data_length_) + " bytes, more than a chunk may hold");
    }
    stored_.resize(data_length_);
    if (!file_.read_at(data_pos_, stored_.data(), data_length_)) {
      throw std::runtime_error("chunk at byte " + std::to_string(at) + " cannot be read");
    }
    contents_.resize(size);
    const std::string fault = bag_check::decompress_chunk(compression, stored_.data(), data_length_,
                                                          contents_.data(), size, at);
    if (!fault.empty()) throw std::runtime_error(fault);
    records(at, contents_.data(), size, false);
  }

  // A chunk whose data runs past the end of the file.
  void cut_chunk(uint64_t at) {
    std::string compression;
    uint32_t size = 0;
    chunk_fields(at, compression, size);
    const uint64_t available = file_.size() - data_pos_;
    if (compression != "none") {
      inventory_.unreadable_bytes = file_.size() - at;
      return;
    }
    contents_.resize(static_cast<size_t>(available));
    if (!file_.read_at(data_pos_, contents_.data(), available)) {
      inventory_.unreadable_bytes = file_.size() - at;
      return;
    }
    const uint64_t whole = records(at, contents_.data(), available, true);
    inventory_.unreadable_bytes = available - whole;
  }

  // The records of a chunk's data; returns the bytes of whole records. In a cut chunk the walk
  // ends at the first record that is not whole; in a whole chunk that record is damage.
  uint64_t records(uint64_t chunk_pos, const uint8_t* data, uint64_t size, bool cut) {
    uint64_t at = 0;
    RecordFields fields;
    while (at < size) {
      const auto fault = [&](const std::string& what) {
        return std::runtime_error("record at offset " + std::to_string(at) +
                                  " of the chunk at byte " + std::to_string(chunk_pos) + " " +
                                  what);
      };
      uint32_t header_length = 0;
      uint32_t data_length = 0;
      if (size - at < 4) {
        if (cut) return at;
        throw fault("runs past the chunk's end");
      }
      std::memcpy(&header_length, data + at, 4);
      if (header_length > size - at - 4 || size - at - 4 - header_length < 4) {
        if (cut) return at;
        throw fault("runs past the chunk's end");
      }
      if (fields.parse(data + at + 4, header_length) != Parse::kOk) {
        throw fault("has a header that does not parse");
      }
      const uint64_t data_at = at + 4 + header_length + 4;
      std::memcpy(&data_length, data + data_at - 4, 4);
      if (data_length > size - data_at) {
        if (cut) return at;
        throw fault("states " + std::to_string(data_length) + " data bytes, past the chunk's end");
      }
      uint32_t id = 0;
      if (fields.op_is(bag_check::kOpConnection)) {
        std::string_view topic;
        if (!fields.number("conn", id) || !fields.text("topic", topic) || topic.empty()) {
          throw fault("defines a connection without its id or topic");
        }
        RecordFields header;
        std::string_view type;
        if (header.parse(data + data_at, data_length) != Parse::kOk) {
          throw fault("holds a connection header that does not parse");
        }
        Connection& connection = connections_[id];
        if (connection.topic.empty()) {
          connection.topic.assign(topic);
          if (header.text("type", type)) connection.datatype.assign(type);
        }
      } else if (fields.op_is(bag_check::kOpMessageData)) {
        uint32_t sec = 0;
        uint32_t nsec = 0;
        if (!fields.number("conn", id) || !fields.time("time", sec, nsec)) {
          throw fault("is a message without its connection or time");
        }
        const auto connection = connections_.find(id);
        if (connection == connections_.end()) {
          throw fault("is a message of connection " + std::to_string(id) +
                      ", which the bag does not define before it");
        }
        WalkedTopic& topic = inventory_.topics[connection->second.topic];
        ++topic.messages;
        if (topic.messages == 1 || id >= topic.type_connection) {
          topic.type_connection = id;
          topic.datatype = connection->second.datatype;
        }
        ++inventory_.total;
        const double time = static_cast<double>(sec) + 1e-9 * static_cast<double>(nsec);
        if (inventory_.total == 1 || time < start_) start_ = time;
        if (inventory_.total == 1 || time > end_) end_ = time;
      } else {
        throw fault("is neither a message nor a connection record");
      }
      at = data_at + data_length;
    }
    return at;
  }

  void finish() {
    if (inventory_.total == 0) return;
    inventory_.start_time = start_;
    inventory_.end_time = end_;
  }

  const BagFile& file_;
  const bool indexed_;
  RecordFields fields_;
  std::vector<uint8_t> header_;
  uint64_t data_pos_ = 0;
  uint32_t data_length_ = 0;
  std::vector<uint8_t> stored_;
  std::vector<uint8_t> contents_;
  std::unordered_map<uint32_t, Connection> connections_;
  ChunkInventory inventory_;
  double start_ = 0.0;
  double end_ = 0.0;
};

}  // namespace

std::optional<ChunkInventory> walk_unclosed_recording(const std::string& path) {
  const BagFile file(path);
  if (!file.error().empty()) return std::nullopt;
  return Walk(file, false).run();
}

ChunkInventory walk_chunks_before_index(const std::string& path) {
  const BagFile file(path);
  if (!file.error().empty()) throw std::runtime_error(file.error());
  std::optional<ChunkInventory> inventory = Walk(file, true).run();
  if (!inventory) throw std::runtime_error("the bag's header gives no index");
  return std::move(*inventory);
}

}  // namespace bag_analyzer
