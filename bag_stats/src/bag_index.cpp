#include "bag_index.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "bag_check/bag_record.h"

namespace bag_analyzer {

namespace {

using bag_check::BagFile;

// The read-ahead of the index section, which is read front to back.
constexpr size_t kBlock = 64 * 1024;

// Reads the file from a position onwards through one fixed buffer; never asks for a byte beyond
// the file's size.
class Reader {
 public:
  explicit Reader(const BagFile& file) : file_(file), buffer_(kBlock) {}

  void seek(uint64_t pos) { pos_ = pos; }
  uint64_t pos() const { return pos_; }
  uint64_t remaining() const { return pos_ < file_.size() ? file_.size() - pos_ : 0; }

  // Copies the next n bytes to `out` and moves past them; false when the file ends first.
  bool read(void* out, uint64_t n) {
    if (n > remaining()) return false;
    char* to = static_cast<char*>(out);
    while (n > 0) {
      if (pos_ < buffer_pos_ || pos_ >= buffer_pos_ + buffered_) {
        if (n >= kBlock) {  // a long field: straight into place
          if (!file_.read_at(pos_, to, n)) return false;
          pos_ += n;
          return true;
        }
        buffered_ = static_cast<size_t>(std::min<uint64_t>(kBlock, remaining()));
        buffer_pos_ = pos_;
        if (!file_.read_at(pos_, buffer_.data(), buffered_)) {
          buffered_ = 0;
          return false;
        }
      }
      const size_t at = static_cast<size_t>(pos_ - buffer_pos_);
      const size_t take = static_cast<size_t>(std::min<uint64_t>(n, buffered_ - at));
      std::memcpy(to, buffer_.data() + at, take);
      to += take;
      pos_ += take;
      n -= take;
    }
    return true;
  }

  bool read_u32(uint32_t& value) { return read(&value, sizeof value); }

 private:
  const BagFile& file_;
  std::vector<char> buffer_;
  uint64_t buffer_pos_ = 0;
  size_t buffered_ = 0;
  uint64_t pos_ = 0;
};

// One record header, read into bytes of its own and parsed by the bag format's field parser
// (the last field of a name counts, as in the bag library).
class Fields : public bag_check::RecordFields {
 public:
  // Reads a header (its length word, then its fields); false when the header does not fit the
  // file, is over-long, or a field runs past its end, is over-long or has no '='.
  bool read(Reader& in) {
    uint32_t length = 0;
    if (!in.read_u32(length) || length > bag_check::kMaxHeaderLength || length > in.remaining()) {
      return false;
    }
    bytes_.resize(length);
    if (!in.read(bytes_.data(), length)) return false;
    return parse(bytes_.data(), length) == bag_check::Parse::kOk;
  }

 private:
  std::vector<uint8_t> bytes_;
};

bool time_field(const Fields& fields, std::string_view name, StoredTime& time) {
  return fields.time(name, time.sec, time.nsec);
}

bool earlier(const StoredTime& a, const StoredTime& b) {
  return a.sec < b.sec || (a.sec == b.sec && a.nsec < b.nsec);
}

// The walk itself; nothing when the file is not a bag it follows (see read_bag_index).
std::optional<BagIndex> walk(const BagFile& file) {
  Reader in(file);
  char version[bag_check::kVersionLineLength];
  if (!in.read(version, sizeof version) ||
      std::memcmp(version, bag_check::kVersionLine, sizeof version) != 0) {
    return std::nullopt;
  }

  Fields fields;
  uint32_t data_length = 0;
  uint64_t index_pos = 0;
  uint32_t connection_count = 0;
  uint32_t chunk_count = 0;
  std::string_view unused;
  if (!fields.read(in) || !fields.op_is(bag_check::kOpFileHeader) ||
      !fields.number("index_pos", index_pos) || !fields.number("conn_count", connection_count) ||
      !fields.number("chunk_count", chunk_count) || fields.text("encryptor", unused) ||
      !in.read_u32(data_length) || data_length > in.remaining()) {
    return std::nullopt;
  }
  // Chunks lie between the file header record and the index, which ends the file (and is empty
  // in a bag without connections); an index position of 0 marks a bag whose recording never
  // closed (the library's "unindexed" bag).
  const uint64_t chunks_from = in.pos() + data_length;
  if (index_pos < chunks_from || index_pos > file.size()) return std::nullopt;

  in.seek(index_pos);
  std::vector<IndexedConnection> connections;
  Fields connection_header;
  for (uint32_t i = 0; i < connection_count; ++i) {
    IndexedConnection connection;
    std::string_view topic;
    std::string_view type;
    if (!fields.read(in) || !fields.op_is(bag_check::kOpConnection) ||
        !fields.number("conn", connection.id) || !fields.text("topic", topic) || topic.empty() ||
        !connection_header.read(in)) {
      return std::nullopt;
    }
    connection.topic.assign(topic);
    if (connection_header.text("type", type)) connection.datatype.assign(type);
    connections.push_back(std::move(connection));
  }
  // Ascending by id; the first record of an id counts.
  std::stable_sort(
      connections.begin(), connections.end(),
      [](const IndexedConnection& a, const IndexedConnection& b) { return a.id < b.id; });
  connections.erase(std::unique(connections.begin(), connections.end(),
                                [](const IndexedConnection& a, const IndexedConnection& b) {
                                  return a.id == b.id;
                                }),
                    connections.end());

  BagIndex index;
  bool any_chunk = false;
  std::vector<std::pair<uint32_t, uint32_t>> entries;  // (connection, messages) of one chunk
  for (uint32_t i = 0; i < chunk_count; ++i) {
    uint32_t chunk_info_version = 0;
    uint64_t chunk_pos = 0;
    StoredTime start;
    StoredTime end;
    uint32_t count = 0;
    if (!fields.read(in) || !fields.op_is(bag_check::kOpChunkInfo) ||
        !fields.number("ver", chunk_info_version) ||
        chunk_info_version != bag_check::kIndexVersion || !fields.number("chunk_pos", chunk_pos) ||
        !time_field(fields, "start_time", start) || !time_field(fields, "end_time", end) ||
        !fields.number("count", count) || !in.read_u32(data_length) ||
        data_length != uint64_t{count} * 8 || data_length > in.remaining() ||
        chunk_pos < chunks_from || chunk_pos >= index_pos || earlier(end, start)) {
      return std::nullopt;
    }
    entries.resize(count);
    for (auto& entry : entries) {
      uint32_t words[2];
      if (!in.read(words, sizeof words)) return std::nullopt;
      entry = {words[0], words[1]};
    }
    // The library keeps one count per connection and chunk, the last one listed.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    bool holds_messages = false;
    for (size_t k = 0; k < entries.size(); ++k) {
      if (k + 1 < entries.size() && entries[k + 1].first == entries[k].first) continue;
      const auto connection =
          std::lower_bound(connections.begin(), connections.end(), entries[k].first,
                           [](const IndexedConnection& c, uint32_t id) { return c.id < id; });
      // Messages of a connection the bag does not define belong to no topic.
      if (connection == connections.end() || connection->id != entries[k].first) continue;
      if (entries[k].second == 0) continue;
      connection->messages += entries[k].second;
      holds_messages = true;
    }
    if (!holds_messages) continue;
    if (!any_chunk || earlier(start, index.start)) index.start = start;
    if (!any_chunk || earlier(index.end, end)) index.end = end;
    any_chunk = true;
  }
  index.connections = std::move(connections);
  return index;
}

}  // namespace

std::optional<BagIndex> read_bag_index(const std::string& path) {
  const BagFile file(path);
  if (!file.error().empty() || file.size() == 0) return std::nullopt;
  return walk(file);
}

}  // namespace bag_analyzer
