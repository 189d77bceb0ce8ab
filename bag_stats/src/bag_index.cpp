#include "bag_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace bag_analyzer {

namespace {

constexpr char kVersionLine[] = "#ROSBAG V2.0\n";
constexpr uint8_t kOpFileHeader = 0x03;
constexpr uint8_t kOpChunkInfo = 0x06;
constexpr uint8_t kOpConnection = 0x07;
constexpr uint32_t kChunkInfoVersion = 1;
constexpr uint32_t kNanosecondsPerSecond = 1000000000;
// The bag library's header parser refuses a field longer than this.
constexpr uint32_t kMaxFieldLength = 1000000;
// Index records hold a few short fields and a connection header one message definition (a single
// field); a longer header is no bag this reader follows, and never claims memory here.
constexpr uint32_t kMaxHeaderLength = 4u << 20;
// The read-ahead of the index section, which is read front to back.
constexpr size_t kBlock = 64 * 1024;

// A read-only descriptor of a regular file, closed on every path. A FIFO is opened without
// waiting for a writer and then not read.
class File {
 public:
  explicit File(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      size_ = static_cast<uint64_t>(st.st_size);
    }
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // 0 for anything but a non-empty regular file that could be opened.
  uint64_t size() const { return size_; }

  // Reads exactly n bytes at `pos`; false on a short read or an error.
  bool read_at(uint64_t pos, char* out, size_t n) const {
    while (n > 0) {
      const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(pos));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      out += got;
      pos += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

// Reads the file from a position onwards through one fixed buffer; never asks for a byte beyond
// the file's size.
class Reader {
 public:
  explicit Reader(const File& file) : file_(file), buffer_(kBlock) {}

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
  const File& file_;
  std::vector<char> buffer_;
  uint64_t buffer_pos_ = 0;
  size_t buffered_ = 0;
  uint64_t pos_ = 0;
};

// The fields of one record header, <length><name>=<value> each, as views into the header's
// bytes. A later field of the same name replaces an earlier one, as in the bag library.
class Fields {
 public:
  // Reads a header (its length word, then its fields) into `bytes_`; false when the header does
  // not fit the file, is over-long, or a field runs past its end, is over-long or has no '='.
  bool read(Reader& in) {
    fields_.clear();
    uint32_t length = 0;
    if (!in.read_u32(length) || length > kMaxHeaderLength || length > in.remaining()) return false;
    bytes_.resize(length);
    if (!in.read(bytes_.data(), length)) return false;
    const std::string_view all(bytes_);
    size_t at = 0;
    while (at < all.size()) {
      uint32_t field_length = 0;
      if (all.size() - at < sizeof field_length) return false;
      std::memcpy(&field_length, all.data() + at, sizeof field_length);
      at += sizeof field_length;
      if (field_length > kMaxFieldLength || field_length > all.size() - at) return false;
      const std::string_view field = all.substr(at, field_length);
      at += field_length;
      const size_t equals = field.find('=');
      if (equals == std::string_view::npos) return false;
      fields_.push_back({field.substr(0, equals), field.substr(equals + 1)});
    }
    return true;
  }

  // The value of the last field called `name`; false when there is none.
  bool text(std::string_view name, std::string_view& value) const {
    for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
      if (it->first == name) {
        value = it->second;
        return true;
      }
    }
    return false;
  }

  // A little-endian number field; false when it is missing or not exactly sizeof(T) bytes long
  // (the bag library refuses such a field).
  template <class T>
  bool number(std::string_view name, T& value) const {
    std::string_view bytes;
    if (!text(name, bytes) || bytes.size() != sizeof(T)) return false;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return true;
  }

  bool op_is(uint8_t op) const {
    uint8_t value = 0;
    return number("op", value) && value == op;
  }

 private:
  std::string bytes_;
  std::vector<std::pair<std::string_view, std::string_view>> fields_;
};

// A packed time field: seconds in the low, nanoseconds in the high 32 bits.
bool time_field(const Fields& fields, std::string_view name, StoredTime& time) {
  uint64_t packed = 0;
  if (!fields.number(name, packed)) return false;
  time.sec = static_cast<uint32_t>(packed);
  time.nsec = static_cast<uint32_t>(packed >> 32);
  return time.nsec < kNanosecondsPerSecond;
}

bool earlier(const StoredTime& a, const StoredTime& b) {
  return a.sec < b.sec || (a.sec == b.sec && a.nsec < b.nsec);
}

// The walk itself; nothing when the file is not a bag it follows (see read_bag_index).
std::optional<BagIndex> walk(const File& file) {
  Reader in(file);
  char version[sizeof kVersionLine - 1];
  if (!in.read(version, sizeof version) || std::memcmp(version, kVersionLine, sizeof version)) {
    return std::nullopt;
  }

  Fields fields;
  uint32_t data_length = 0;
  uint64_t index_pos = 0;
  uint32_t connection_count = 0;
  uint32_t chunk_count = 0;
  std::string_view unused;
  if (!fields.read(in) || !fields.op_is(kOpFileHeader) || !fields.number("index_pos", index_pos) ||
      !fields.number("conn_count", connection_count) ||
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
    if (!fields.read(in) || !fields.op_is(kOpConnection) || !fields.number("conn", connection.id) ||
        !fields.text("topic", topic) || topic.empty() || !connection_header.read(in)) {
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
    if (!fields.read(in) || !fields.op_is(kOpChunkInfo) ||
        !fields.number("ver", chunk_info_version) || chunk_info_version != kChunkInfoVersion ||
        !fields.number("chunk_pos", chunk_pos) || !time_field(fields, "start_time", start) ||
        !time_field(fields, "end_time", end) || !fields.number("count", count) ||
        !in.read_u32(data_length) || data_length != uint64_t{count} * 8 ||
        data_length > in.remaining() || chunk_pos < chunks_from || chunk_pos >= index_pos ||
        earlier(end, start)) {
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
  const File file(path);
  if (file.size() == 0) return std::nullopt;
  return walk(file);
}

}  // namespace bag_analyzer
