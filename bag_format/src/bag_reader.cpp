#include "bag_format/bag_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "bag_format/bag_record.h"

namespace bag_format {

namespace {

constexpr uint64_t kNoTime = std::numeric_limits<uint64_t>::max();
// Index entries are read in batches of this many (12 bytes each).
constexpr uint32_t kEntryBatch = 1024;

// Seconds in the high, nanoseconds in the low 32 bits: orders as the time does.
uint64_t time_key(uint32_t sec, uint32_t nsec) { return (uint64_t{sec} << 32) | nsec; }

std::string num(uint64_t value) { return std::to_string(value); }

// A record time as seconds with nine decimals; "0" for time 0.
std::string time_text(uint32_t sec, uint32_t nsec) {
  if (sec == 0 && nsec == 0) return "0";
  std::string fraction = num(nsec);
  if (fraction.size() < 9) fraction.insert(0, 9 - fraction.size(), '0');
  return num(sec) + "." + fraction;
}

// A byte buffer that grows without clearing what it gains: it is always filled completely before
// it is read.
class Buffer {
 public:
  uint8_t* resize(uint64_t size) {
    if (size > capacity_) {
      data_.reset();  // the old storage goes before the new one is set aside
      data_.reset(new uint8_t[size]);
      capacity_ = size;
    }
    return data_.get();
  }
  uint8_t* data() const { return data_.get(); }

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint64_t capacity_ = 0;
};

// Small reads of record headers and index entries through a window of the file, so that the
// thousands of index records after a chunk of a many-connection bag cost a few system calls
// rather than several each. Larger reads go to the file directly. Same contract as
// BagFile::read_at.
class ReadAhead {
 public:
  explicit ReadAhead(const BagFile& file) : file_(file) {}

  bool read_at(uint64_t pos, void* out, uint64_t n) {
    if (n == 0 || n > kWindow / 4) return file_.read_at(pos, out, n);
    if (pos < start_ || pos - start_ > filled_ || n > filled_ - (pos - start_)) {
      // A read that goes on where the window ends doubles it, up to kWindow; one elsewhere (the
      // next chunk's header, a megabyte on) starts small, so that a walk over sparse records
      // does not read the chunks' data through the window.
      const uint64_t want = pos >= start_ && pos - start_ <= filled_ && filled_ > 0
                                ? std::min<uint64_t>(2 * filled_, kWindow)
                                : kFirstWindow;
      start_ = pos;
      filled_ = pos < file_.size()
                    ? std::min<uint64_t>(std::max<uint64_t>(want, n), file_.size() - pos)
                    : 0;
      if (filled_ < n || !file_.read_at(pos, window_.data(), filled_)) {
        filled_ = 0;
        return false;
      }
    }
    std::memcpy(out, window_.data() + (pos - start_), n);
    return true;
  }

 private:
  static constexpr uint64_t kWindow = 64 * 1024;
  static constexpr uint64_t kFirstWindow = 4 * 1024;
  const BagFile& file_;
  std::vector<uint8_t> window_ = std::vector<uint8_t>(kWindow);
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
};

// A chunk of the bag, or a run of records stored in place of a chunk (the records of a plain
// chunk still open when the recording stopped, which follow its header in place).
struct ChunkRef {
  uint64_t pos = 0;         // the chunk record, or the first record stored in place
  uint64_t data_pos = 0;    // the stored bytes
  uint32_t stored = 0;      // stored bytes
  uint32_t size = 0;        // uncompressed bytes
  std::string compression;  // "none", "bz2" or "lz4"
  bool in_place = false;    // records stored in place
  bool cut = false;         // the file ends inside it: whole records are counted by look_into()
  bool indexed = false;     // index records follow it
  bool has_messages = false;
  // Time range of its messages (time_key), from its index entries once read (entries_read) or
  // from its records when the constructor looked into it; kNoTime: none.
  uint64_t start = kNoTime;
  uint64_t end = 0;
  bool entries_read = false;
  uint32_t runs_from = 0;  // its index records' entries in Layout::runs
  uint32_t runs = 0;
  uint32_t connections_from = 0;  // its connection ids in Layout::chunk_connections
  uint32_t connections = 0;
  uint32_t ordinal = 0;  // place in file order

  std::string where() const {
    return (in_place ? " of the records stored in place at byte " : " of the chunk at byte ") +
           num(pos);
  }
};

// An index record after a chunk, kept until the chunk's connections are known.
struct PendingIndex {
  uint32_t connection;
  uint64_t entry_pos;  // its first entry
  uint32_t sec;
  uint32_t nsec;
};

// One record header at the top level of the file.
struct TopRecord {
  uint64_t pos = 0;
  uint64_t data_pos = 0;
  uint32_t data_len = 0;
  std::string fault;  // why it does not read
  uint64_t end() const { return data_pos + data_len; }
};

enum class Top {
  kOk,
  kBad,  // the header is not whole, or does not parse
  kCut,  // the header reads, its data runs past the end of the file
};

// The connection that a connection record defines: its header fields and the connection header
// stored as its data. False when a field is missing or the data does not parse.
bool connection_of(const RecordFields& record, const uint8_t* data, uint32_t size,
                   ReaderConnection& out) {
  std::string_view topic;
  if (!record.number("conn", out.id) || !record.text("topic", topic) || topic.empty()) {
    return false;
  }
  RecordFields header;
  if (header.parse(data, size) != Parse::kOk) return false;
  out.topic.assign(topic);
  out.fields.clear();
  for (const auto& field : header.all()) out.fields.emplace_back(field.first, field.second);
  std::string_view value;
  out.datatype = header.text("type", value) ? std::string(value) : std::string();
  out.md5sum = header.text("md5sum", value) ? std::string(value) : std::string();
  return true;
}

// A chunk's uncompressed records held in memory.
class MemorySource {
 public:
  static constexpr bool kHeld = true;
  explicit MemorySource(const uint8_t* data) : data_(data) {}
  // `n` bytes from `offset` on, which the walker has checked to lie inside the chunk; valid
  // until the next call of the same function.
  const uint8_t* head(uint64_t offset, uint64_t /*n*/) const { return data_ + offset; }
  const uint8_t* data(uint64_t offset, uint64_t /*n*/) const { return data_ + offset; }
  // A message of a chunk in memory is never handed over in pieces: its file position is unused.
  static uint64_t file_pos(uint64_t /*offset*/) { return 0; }

 private:
  const uint8_t* data_;
};

// A plain chunk's records read from the file as they are walked, for chunks too large to be
// held: record headers through the read-ahead, message data of up to kWholeMessageBytes into a
// buffer; a larger message is not read (nullptr) but handed over in pieces.
class FileSource {
 public:
  static constexpr bool kHeld = false;
  FileSource(const BagFile& file, ReadAhead& ahead, uint64_t data_pos)
      : file_(file), ahead_(ahead), data_pos_(data_pos) {}
  const uint8_t* head(uint64_t offset, uint64_t n) { return read(ahead_, offset, n, head_); }
  const uint8_t* data(uint64_t offset, uint64_t n) {
    if (n > kWholeMessageBytes) return nullptr;
    return read(file_, offset, n, data_);
  }
  uint64_t file_pos(uint64_t offset) const { return data_pos_ + offset; }

 private:
  template <class From>
  const uint8_t* read(From& from, uint64_t offset, uint64_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    if (!from.read_at(data_pos_ + offset, out.data(), n)) {
      throw std::runtime_error("bytes at " + num(data_pos_ + offset) + " cannot be read");
    }
    return out.data();
  }

  const BagFile& file_;
  ReadAhead& ahead_;
  uint64_t data_pos_;
  std::vector<uint8_t> head_;
  std::vector<uint8_t> data_;
};

// The one walker of the records inside a chunk, over its uncompressed data held in memory or
// read from the file (`source`, `size` bytes): connection records go to on_connection, message
// records (id, sec, nsec, offset, offset of the data, size, source) to on_message, which returns
// false for a connection the bag does not define and asks the source for the data it needs. In a
// cut chunk the walk ends at the first record that is not whole; otherwise that record is damage.
// Returns the bytes of whole records.
template <class Source, class OnConnection, class OnMessage>
uint64_t walk_records(Source& source, uint64_t size, bool cut, const std::string& where,
                      RecordFields& fields, ReaderConnection& connection,
                      OnConnection&& on_connection, OnMessage&& on_message) {
  uint64_t at = 0;
  while (at < size) {
    const auto fault = [&](const char* kind, const std::string& what) {
      return std::runtime_error(std::string(kind) + " record at offset " + num(at) + where + " " +
                                what);
    };
    uint32_t header_length = 0;
    if (size - at < 4) {
      if (cut) return at;
      throw fault("message", "runs past the chunk's end");
    }
    std::memcpy(&header_length, source.head(at, 4), 4);
    if (header_length > size - at - 4 || size - at - 4 - header_length < 4) {
      if (cut) return at;
      throw fault("message", "runs past the chunk's end");
    }
    if (header_length > kMaxHeaderLength) {
      throw fault("message", "has a header of " + num(header_length) + " bytes, more than " +
                                 num(kMaxHeaderLength));
    }
    // The header and the data length word after it.
    const uint8_t* header = source.head(at + 4, uint64_t{header_length} + 4);
    switch (fields.parse(header, header_length)) {
      case Parse::kOk:
        break;
      case Parse::kPastEnd:
        throw fault("message", "has a field that runs past its header's end");
      case Parse::kRefused:
        throw fault("message", "has a header field without '=' or longer than " +
                                   num(kMaxFieldLength) + " bytes");
    }
    uint8_t op = 0;
    fields.number("op", op);
    const char* kind = op == kOpConnection ? "connection" : "message";
    const uint64_t data_at = at + 4 + header_length + 4;
    uint32_t data_length = 0;
    std::memcpy(&data_length, header + header_length, 4);
    if (data_length > size - data_at) {
      if (cut) return at;
      throw fault(kind, "states " + num(data_length) + " data bytes, past the chunk's end");
    }
    if (op == kOpConnection) {
      if (data_length > kMaxHeaderLength) {
        throw fault(kind, "holds a connection header of " + num(data_length) + " bytes");
      }
      const uint8_t* data = source.data(data_at, data_length);
      if (!connection_of(fields, data, data_length, connection)) {
        throw fault(kind, "lacks its conn or topic field, or its connection header does not parse");
      }
      on_connection(connection);
    } else if (op == kOpMessageData) {
      uint32_t id = 0;
      uint64_t time = 0;
      if (!fields.number("conn", id) || !fields.number("time", time)) {
        throw fault(kind, "lacks its conn or time field");
      }
      if (!on_message(id, static_cast<uint32_t>(time), static_cast<uint32_t>(time >> 32), at,
                      data_at, data_length, source)) {
        throw fault(kind, "is on connection " + num(id) + ", which the bag does not define");
      }
    } else {
      throw fault("", "is neither a message nor a connection record");
    }
    at = data_at + data_length;
  }
  return at;
}

}  // namespace

struct BagReader::Layout {
  explicit Layout(const std::string& bag_path) : path(bag_path), file(bag_path) {}

  const std::string path;
  const BagFile file;
  ReadAhead ahead{file};  // record headers and index entries
  std::vector<ReaderConnection> connections;
  std::unordered_map<uint32_t, uint32_t> by_id;  // connection id -> index in connections
  std::vector<ChunkRef> chunks;                  // file order
  std::vector<uint32_t> chunk_connections;
  uint64_t chunk_bytes = 0;  // stored bytes of every chunk
  ReadSummary summary;
  IndexCounts counts;  // what the index section's chunk-info records count

  // The one unfinished chunk (the last one), whose index records are still being read.
  bool unfinished = false;
  std::vector<PendingIndex> pending;
  // The entries of each index record: position of the first, count. They are read only when
  // their chunk is.
  std::vector<std::pair<uint64_t, uint32_t>> runs;

  std::vector<uint8_t> header;
  RecordFields fields;        // the top-level record last read
  RecordFields inner_fields;  // a record inside a chunk
  ReaderConnection scratch;
  Buffer stored;                    // a compressed chunk's stored bytes
  Buffer inspected;                 // a chunk that the constructor reads
  Buffer contents;                  // the chunk being read
  std::vector<ReaderMessage> held;  // its messages, until they are ordered

  void open();
  Top read_top(uint64_t pos, TopRecord& r);
  bool read_index(uint64_t pos, uint64_t chunks_from, uint32_t connection_count,
                  uint32_t chunk_count, std::vector<uint64_t>& listed);
  void walk(uint64_t from, uint64_t end, bool indexed, const std::vector<uint64_t>& listed);
  void add_chunk(const TopRecord& r, bool cut);
  void add_in_place(const TopRecord& r);
  void index_record(const TopRecord& r);
  void read_entries(ChunkRef& chunk);
  void finish_chunk();
  void look_into(ChunkRef& chunk);
  const uint8_t* load(const ChunkRef& chunk, Buffer& out);
  // Walks the records of `chunk`: a plain chunk larger than kStreamedChunkBytes from the file,
  // any other after loading it into `buffer`.
  template <class OnConnection, class OnMessage>
  uint64_t walk_chunk(const ChunkRef& chunk, Buffer& buffer, OnConnection&& on_connection,
                      OnMessage&& on_message) {
    if (chunk.compression == "none" && chunk.size > kStreamedChunkBytes) {
      FileSource source(file, ahead, chunk.data_pos);
      return walk_records(source, chunk.size, chunk.cut, chunk.where(), inner_fields, scratch,
                          on_connection, on_message);
    }
    MemorySource source(load(chunk, buffer));
    return walk_records(source, chunk.size, chunk.cut, chunk.where(), inner_fields, scratch,
                        on_connection, on_message);
  }
  void add_connection(const ReaderConnection& connection);
  bool known_connection(const ReaderConnection& connection) const;
};

bool BagReader::Layout::known_connection(const ReaderConnection& connection) const {
  const auto known = by_id.find(connection.id);
  if (known == by_id.end()) return false;
  // Recorders store a connection's record again in every chunk that holds its messages. A
  // record that gives the id another topic or type would file the later messages under the
  // first definition's type: refused.
  const ReaderConnection& first = connections[known->second];
  if (first.topic != connection.topic || first.datatype != connection.datatype ||
      first.md5sum != connection.md5sum) {
    throw std::runtime_error("connection " + num(connection.id) + " is defined for topic " +
                             first.topic + " (" + first.datatype + ") and again for topic " +
                             connection.topic + " (" + connection.datatype +
                             "); its messages cannot be told apart");
  }
  return true;
}

void BagReader::Layout::add_connection(const ReaderConnection& connection) {
  if (known_connection(connection)) return;
  by_id.emplace(connection.id, static_cast<uint32_t>(connections.size()));
  connections.push_back(connection);
}

Top BagReader::Layout::read_top(uint64_t pos, TopRecord& r) {
  r = TopRecord();
  r.pos = pos;
  uint32_t length = 0;
  const uint64_t size = file.size();
  if (!ahead.read_at(pos, &length, 4)) {
    r.fault = "record at byte " + num(pos) + " runs past the end of the file";
    return Top::kBad;
  }
  if (length > kMaxHeaderLength) {
    r.fault = "record header at byte " + num(pos) + " states " + num(length) +
              " bytes, more than " +
              (length > size ? std::string("the file holds") : "a record header may hold");
    return Top::kBad;
  }
  header.resize(length);
  if (!ahead.read_at(pos + 4, header.data(), length)) {
    r.fault = "record at byte " + num(pos) + " runs past the end of the file";
    return Top::kBad;
  }
  switch (fields.parse(header.data(), length)) {
    case Parse::kOk:
      break;
    case Parse::kPastEnd:
      r.fault =
          "record header at byte " + num(pos) + " has a field that runs past the header's end";
      return Top::kBad;
    case Parse::kRefused:
      r.fault = "record header at byte " + num(pos) + " has a field without '=' or longer than " +
                num(kMaxFieldLength) + " bytes";
      return Top::kBad;
  }
  if (!ahead.read_at(pos + 4 + length, &r.data_len, 4)) {
    r.fault = "record at byte " + num(pos) + " runs past the end of the file";
    return Top::kBad;
  }
  r.data_pos = pos + 4 + length + 4;
  if (r.data_len > size - r.data_pos) {
    r.fault = "record at byte " + num(pos) + " runs past the end of the file";
    return Top::kCut;
  }
  return Top::kOk;
}

void BagReader::Layout::open() {
  if (!file.error().empty()) throw std::runtime_error(file.error());
  char version[kVersionLineLength];
  if (!file.read_at(0, version, sizeof version) ||
      std::memcmp(version, kVersionLine, sizeof version) != 0) {
    const std::string text =
        path + " is not a version 2.0 bag (its first line is not #ROSBAG V2.0)";
    // Only the older format goes to the bag library. Any other first line is refused here: the
    // library takes lines such as "#ROSBAG#ROSBAG V2.0" for version 2.0 and then parses a record
    // header whose field lengths run past the header without checking them.
    constexpr char kOlderLine[] = "#ROSBAG V1.2\n";
    char older[sizeof kOlderLine - 1];
    if (file.read_at(0, older, sizeof older) && std::memcmp(older, kOlderLine, sizeof older) == 0) {
      throw UnsupportedBag(text);
    }
    throw std::runtime_error(text);
  }
  TopRecord r;
  const Top top = read_top(kVersionLineLength, r);
  if (top == Top::kBad) throw std::runtime_error(r.fault);
  uint64_t index_pos = 0;
  uint32_t connection_count = 0;
  uint32_t chunk_count = 0;
  if (!fields.op_is(kOpFileHeader) || !fields.number("index_pos", index_pos) ||
      !fields.number("conn_count", connection_count) ||
      !fields.number("chunk_count", chunk_count)) {
    throw std::runtime_error("record at byte " + num(kVersionLineLength) +
                             " is no file header with index_pos, conn_count and chunk_count");
  }
  std::string_view encryptor;
  if (fields.text("encryptor", encryptor) && !encryptor.empty()) {
    throw std::runtime_error(path + " is encrypted (" + std::string(encryptor) +
                             "), which is not read");
  }
  if (top == Top::kCut) {
    // Cut inside the file header record itself: nothing after it.
    summary.unreadable_bytes = file.size() - kVersionLineLength;
    return;
  }
  const uint64_t chunks_from = r.end();
  std::vector<uint64_t> listed;
  const bool indexed = index_pos != 0 && index_pos >= chunks_from && index_pos <= file.size() &&
                       read_index(index_pos, chunks_from, connection_count, chunk_count, listed);
  if (!indexed) {
    connections.clear();
    by_id.clear();
    listed.clear();
    counts = IndexCounts();
  }
  summary.recording_closed = indexed;
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  walk(chunks_from, indexed ? index_pos : file.size(), indexed, listed);
  // Connections found in the chunks alone have no count in the index.
  if (indexed) counts.messages.resize(connections.size(), 0);

  if (indexed) {
    std::vector<uint64_t> stored_at;
    for (const ChunkRef& chunk : chunks) stored_at.push_back(chunk.pos);
    for (const uint64_t pos : listed) {
      if (!std::binary_search(stored_at.begin(), stored_at.end(), pos)) {
        throw std::runtime_error("the index lists a chunk at byte " + num(pos) +
                                 ", where the bag stores none");
      }
    }
    summary.index_complete = listed.size() == stored_at.size();
  }
  inspected = Buffer();
}

// The one parser of the index section: the connection records, then the chunk-info records with
// their per-connection counts, each record in its place and size with the fields the bag
// library needs (chunk-info version 1, a chunk position between the file header and the index,
// normalised start and end times in order, as many entries as its data holds). False when any
// of it does not read so; the chunks are then walked.
bool BagReader::Layout::read_index(uint64_t pos, uint64_t chunks_from, uint32_t connection_count,
                                   uint32_t chunk_count, std::vector<uint64_t>& listed) {
  const uint64_t index_pos = pos;
  TopRecord r;
  for (uint32_t i = 0; i < connection_count; ++i) {
    if (read_top(pos, r) != Top::kOk || !fields.op_is(kOpConnection) ||
        r.data_len > kMaxHeaderLength) {
      return false;
    }
    std::vector<uint8_t> data(r.data_len);
    if (!file.read_at(r.data_pos, data.data(), r.data_len) ||
        !connection_of(fields, data.data(), r.data_len, scratch)) {
      return false;
    }
    add_connection(scratch);
    pos = r.end();
  }
  counts.messages.assign(connections.size(), 0);
  bool any_chunk = false;
  std::vector<std::pair<uint32_t, uint32_t>> entries;  // (connection, messages) of one chunk
  for (uint32_t i = 0; i < chunk_count; ++i) {
    uint32_t version = 0;
    uint64_t chunk_pos = 0;
    uint32_t start_sec = 0;
    uint32_t start_nsec = 0;
    uint32_t end_sec = 0;
    uint32_t end_nsec = 0;
    uint32_t count = 0;
    if (read_top(pos, r) != Top::kOk || !fields.op_is(kOpChunkInfo) ||
        !fields.number("ver", version) || version != kIndexVersion ||
        !fields.number("chunk_pos", chunk_pos) || chunk_pos < chunks_from ||
        chunk_pos >= index_pos || !fields.time("start_time", start_sec, start_nsec) ||
        !fields.time("end_time", end_sec, end_nsec) || !fields.number("count", count) ||
        r.data_len != uint64_t{count} * 8) {
      return false;
    }
    const uint64_t start = time_key(start_sec, start_nsec);
    const uint64_t end = time_key(end_sec, end_nsec);
    if (end < start) return false;
    entries.resize(count);
    if (count > 0 && !ahead.read_at(r.data_pos, entries.data(), uint64_t{count} * 8)) {
      return false;
    }
    listed.push_back(chunk_pos);
    pos = r.end();
    // The bag library keeps one count per connection and chunk, the last one listed; messages
    // of a connection the bag does not define belong to no topic.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    bool holds_messages = false;
    for (size_t k = 0; k < entries.size(); ++k) {
      if (k + 1 < entries.size() && entries[k + 1].first == entries[k].first) continue;
      const auto known = by_id.find(entries[k].first);
      if (known == by_id.end() || entries[k].second == 0) continue;
      counts.messages[known->second] += entries[k].second;
      holds_messages = true;
    }
    if (!holds_messages) continue;
    if (!any_chunk || start < time_key(counts.start_sec, counts.start_nsec)) {
      counts.start_sec = start_sec;
      counts.start_nsec = start_nsec;
    }
    if (!any_chunk || end > time_key(counts.end_sec, counts.end_nsec)) {
      counts.end_sec = end_sec;
      counts.end_nsec = end_nsec;
    }
    any_chunk = true;
  }
  return true;
}

void BagReader::Layout::walk(uint64_t from, uint64_t end, bool indexed,
                             const std::vector<uint64_t>& listed) {
  // With an index, bytes that hold no chunk or index record end the chunk section (padding
  // before the index), unless the index lists a chunk after them.
  const auto end_of_section = [&](uint64_t pos, const std::string& fault) {
    const auto next = std::lower_bound(listed.begin(), listed.end(), pos);
    if (next != listed.end()) {
      throw std::runtime_error("the chunk section holds bytes that are no chunk at byte " +
                               num(pos) + " (" + fault + "), before the chunk at byte " +
                               num(*next) + " that the index lists");
    }
  };
  uint64_t pos = from;
  while (pos < end) {
    TopRecord r;
    const Top top = read_top(pos, r);
    if (indexed) {
      if (top != Top::kOk) {
        end_of_section(pos, r.fault);
        break;
      }
      if (r.end() > end) {
        end_of_section(pos,
                       "record at byte " + num(pos) + " runs into the index at byte " + num(end));
        break;
      }
    } else if (top != Top::kOk) {
      finish_chunk();
      if (top == Top::kCut && fields.op_is(kOpChunk)) {
        add_chunk(r, true);
      } else {
        summary.unreadable_bytes = file.size() - pos;
      }
      break;
    }
    pos = r.end();
    if (fields.op_is(kOpChunk)) {
      finish_chunk();
      add_chunk(r, false);
    } else if (fields.op_is(kOpIndexData)) {
      if (!chunks.empty() && !chunks.back().in_place && unfinished) {
        index_record(r);
      } else if (indexed) {
        throw std::runtime_error("index record at byte " + num(r.pos) + " follows no chunk");
      }
    } else if (indexed) {
      end_of_section(r.pos,
                     "record at byte " + num(r.pos) + " is neither a chunk nor an index record");
      break;
    } else if (fields.op_is(kOpMessageData) || fields.op_is(kOpConnection)) {
      add_in_place(r);
    } else {
      // The chunk-info records of an index that was never finished, or other records.
      finish_chunk();
    }
  }
  finish_chunk();
}

void BagReader::Layout::add_chunk(const TopRecord& r, bool cut) {
  std::string_view compression;
  uint32_t size = 0;
  const std::string at = "chunk at byte " + num(r.pos);
  if (!fields.text("compression", compression) || !fields.number("size", size)) {
    throw std::runtime_error(at + " has no compression or size field");
  }
  if (!known_compression(compression)) {
    throw std::runtime_error(at + " uses compression " + std::string(compression) +
                             ", which is not read");
  }
  ChunkRef chunk;
  chunk.pos = r.pos;
  chunk.data_pos = r.data_pos;
  chunk.compression.assign(compression);
  chunk.ordinal = static_cast<uint32_t>(chunks.size());
  chunk.connections_from = static_cast<uint32_t>(chunk_connections.size());
  if (cut) {
    if (compression != "none") {
      // A compressed chunk cut short does not decompress: it is lost.
      summary.unreadable_bytes = file.size() - r.pos;
      return;
    }
    const uint64_t available = file.size() - r.data_pos;
    chunk.stored = chunk.size = static_cast<uint32_t>(std::min<uint64_t>(available, size));
    chunk.cut = true;
    summary.unreadable_bytes = available - chunk.size;
  } else {
    if (compression == "none" && r.data_len != size) {
      throw std::runtime_error(at + " stores " + num(r.data_len) + " bytes, not the " + num(size) +
                               " its header states");
    }
    chunk.stored = r.data_len;
    chunk.size = size;
  }
  chunks.push_back(std::move(chunk));
  chunk_bytes += chunks.back().stored;
  unfinished = true;
}

void BagReader::Layout::add_in_place(const TopRecord& r) {
  const uint64_t length = r.end() - r.pos;
  if (length > kMaxChunkSize) {
    throw std::runtime_error("record at byte " + num(r.pos) + " takes " + num(length) +
                             " bytes, more than the " + num(kMaxChunkSize) + " a chunk may hold");
  }
  if (unfinished && chunks.back().in_place && chunks.back().pos + chunks.back().size == r.pos &&
      chunks.back().size + length <= kMaxChunkSize) {
    chunks.back().size += static_cast<uint32_t>(length);
    chunks.back().stored = chunks.back().size;
    chunk_bytes += length;
    return;
  }
  finish_chunk();
  ChunkRef chunk;
  chunk.pos = chunk.data_pos = r.pos;
  chunk.stored = chunk.size = static_cast<uint32_t>(length);
  chunk.compression = "none";
  chunk.in_place = true;
  chunk.ordinal = static_cast<uint32_t>(chunks.size());
  chunk.connections_from = static_cast<uint32_t>(chunk_connections.size());
  chunks.push_back(std::move(chunk));
  chunk_bytes += length;
  unfinished = true;
}

void BagReader::Layout::index_record(const TopRecord& r) {
  ChunkRef& chunk = chunks.back();
  uint32_t version = 0;
  uint32_t connection = 0;
  uint32_t count = 0;
  const auto at = [&] { return "index record at byte " + num(r.pos); };
  if (!fields.number("ver", version) || !fields.number("conn", connection) ||
      !fields.number("count", count) || version != kIndexVersion) {
    throw std::runtime_error(at() + " lacks its ver, conn or count field, or is not version 1");
  }
  if (uint64_t{count} * 12 != r.data_len) {
    throw std::runtime_error(at() + " states " + num(count) + " entries but holds " +
                             num(r.data_len) + " bytes");
  }
  chunk.indexed = true;
  chunk_connections.push_back(connection);
  ++chunk.connections;
  if (count == 0) return;
  chunk.has_messages = true;
  if (chunk.runs == 0) chunk.runs_from = static_cast<uint32_t>(runs.size());
  runs.emplace_back(r.data_pos, count);
  ++chunk.runs;
  uint32_t entry[3];
  if (!ahead.read_at(r.data_pos, entry, sizeof entry)) {
    throw std::runtime_error(at() + " cannot be read");
  }
  pending.push_back({connection, r.data_pos, entry[0], entry[1]});
}

// Reads the index entries of a chunk about to be read: each must point inside the chunk, and
// together they give the chunk's time range.
void BagReader::Layout::read_entries(ChunkRef& chunk) {
  chunk.entries_read = true;
  uint32_t batch[3 * kEntryBatch];
  for (uint32_t k = 0; k < chunk.runs; ++k) {
    const auto [pos, count] = runs[chunk.runs_from + k];
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(count - done, kEntryBatch);
      const uint64_t first = pos + uint64_t{done} * 12;
      if (!ahead.read_at(first, batch, uint64_t{n} * 12)) {
        throw std::runtime_error("index entries at byte " + num(first) + " cannot be read");
      }
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t* entry = &batch[3 * i];
        if (entry[2] >= chunk.size) {
          throw std::runtime_error("index entry at byte " + num(first + uint64_t{i} * 12) +
                                   " points at offset " + num(entry[2]) + " of the chunk at byte " +
                                   num(chunk.pos) + ", which holds " + num(chunk.size) + " bytes");
        }
        const uint64_t time = time_key(entry[0], entry[1]);
        chunk.start = std::min(chunk.start, time);
        chunk.end = std::max(chunk.end, time);
      }
      done += n;
    }
  }
}

void BagReader::Layout::finish_chunk() {
  if (!unfinished) return;
  unfinished = false;
  ChunkRef& chunk = chunks.back();
  bool look = chunk.in_place || chunk.cut || !chunk.indexed;
  for (const PendingIndex& p : pending) look = look || by_id.count(p.connection) == 0;
  if (look) look_into(chunk);
  for (const PendingIndex& p : pending) {
    if (by_id.count(p.connection) != 0) continue;
    throw std::runtime_error("index entry at byte " + num(p.entry_pos) + " has time " +
                             time_text(p.sec, p.nsec) + " on connection " + num(p.connection) +
                             ", which the bag does not define");
  }
  pending.clear();
  const auto first = chunk_connections.begin() + chunk.connections_from;
  std::sort(first, chunk_connections.end());
  chunk_connections.erase(std::unique(first, chunk_connections.end()), chunk_connections.end());
  chunk.connections = static_cast<uint32_t>(chunk_connections.end() - first);
}

void BagReader::Layout::look_into(ChunkRef& chunk) {
  chunk.start = kNoTime;
  chunk.end = 0;
  chunk.entries_read = true;  // the records give the time range
  const uint64_t whole = walk_chunk(
      chunk, inspected, [&](const ReaderConnection& c) { add_connection(c); },
      [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t, uint64_t, uint32_t, auto&) {
        if (by_id.count(id) == 0) return false;
        chunk_connections.push_back(id);
        const uint64_t time = time_key(sec, nsec);
        chunk.start = std::min(chunk.start, time);
        chunk.end = std::max(chunk.end, time);
        return true;
      });
  chunk.has_messages = chunk.start != kNoTime;
  if (chunk.cut) {
    summary.unreadable_bytes += chunk.size - whole;
    chunk_bytes -= chunk.stored - whole;
    chunk.stored = chunk.size = static_cast<uint32_t>(whole);
    chunk.cut = false;
  }
}

const uint8_t* BagReader::Layout::load(const ChunkRef& chunk, Buffer& out) {
  // Judged only here, when the chunk is needed: a chunk that no reader of it wants may be of
  // any size.
  if (chunk.size > kMaxChunkSize) {
    throw std::runtime_error("chunk at byte " + num(chunk.pos) + " states " + num(chunk.size) +
                             " bytes, more than the " + num(kMaxChunkSize) + " a chunk may hold");
  }
  if (chunk.stored > kMaxChunkSize) {
    throw std::runtime_error("chunk at byte " + num(chunk.pos) + " stores " + num(chunk.stored) +
                             " bytes, more than the " + num(kMaxChunkSize) + " a chunk may hold");
  }
  if (chunk.compression == "none") {
    uint8_t* to = out.resize(chunk.size);
    if (!file.read_at(chunk.data_pos, to, chunk.size)) {
      throw std::runtime_error("chunk at byte " + num(chunk.pos) + " cannot be read");
    }
    return to;
  }
  uint8_t* from = stored.resize(chunk.stored);
  if (!file.read_at(chunk.data_pos, from, chunk.stored)) {
    throw std::runtime_error("chunk at byte " + num(chunk.pos) + " cannot be read");
  }
  uint8_t* to = out.resize(chunk.size);
  const std::string fault =
      decompress_chunk(chunk.compression, from, chunk.stored, to, chunk.size, chunk.pos);
  if (!fault.empty()) throw std::runtime_error(fault);
  return to;
}

void ReaderMessage::copy(uint64_t from, void* out, uint64_t n) const {
  if (from > size || n > size - from) {
    throw std::out_of_range("bytes " + num(from) + " to " + num(from + n) + " of a message of " +
                            num(size) + " bytes");
  }
  if (data != nullptr) {
    std::memcpy(out, data + from, n);
  } else if (file == nullptr || !file->read_at(file_pos + from, out, n)) {
    throw std::runtime_error("the message at byte " + num(file_pos) + " cannot be read");
  }
}

const uint8_t* ReaderMessage::whole(std::vector<uint8_t>& buffer) const {
  if (data != nullptr) return data;
  if (size > kMaxChunkSize) {
    throw std::runtime_error("the message at byte " + num(file_pos) + " holds " + num(size) +
                             " bytes, more than the " + num(kMaxChunkSize) +
                             " a message read whole may hold");
  }
  buffer.resize(size);
  copy(0, buffer.data(), size);
  return buffer.data();
}

BagReader::BagReader(const std::string& path) : layout_(std::make_unique<Layout>(path)) {
  layout_->open();
}

BagReader::~BagReader() = default;

const std::vector<ReaderConnection>& BagReader::connections() const { return layout_->connections; }

const ReadSummary& BagReader::summary() const { return layout_->summary; }

const IndexCounts* BagReader::index_counts() const {
  return layout_->summary.recording_closed ? &layout_->counts : nullptr;
}

ReadSummary BagReader::read(const std::function<bool(const ReaderConnection&)>& wanted,
                            const std::function<void(const ReaderMessage&)>& on_message,
                            const std::function<void(double)>& on_progress, bool with_time_zero) {
  Layout& l = *layout_;
  ReadSummary& summary = l.summary;
  summary.chunks_read = 0;
  summary.chunks_skipped = 0;
  std::vector<char> take(l.connections.size());
  for (size_t i = 0; i < take.size(); ++i) take[i] = wanted(l.connections[i]) ? 1 : 0;
  const auto wanted_chunk = [&](const ChunkRef& chunk) {
    if (!chunk.has_messages) return false;
    for (uint32_t i = 0; i < chunk.connections; ++i) {
      const auto it = l.by_id.find(l.chunk_connections[chunk.connections_from + i]);
      if (it != l.by_id.end() && take[it->second] != 0) return true;
    }
    return false;
  };
  uint64_t done = 0;
  for (ChunkRef& chunk : l.chunks) {
    done += chunk.stored;
    if (!wanted_chunk(chunk)) {
      ++summary.chunks_skipped;
      continue;
    }
    if (!chunk.entries_read) l.read_entries(chunk);
    l.walk_chunk(
        chunk, l.contents, [&](const ReaderConnection& c) { l.known_connection(c); },
        [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t offset, uint64_t data_at,
            uint32_t size, auto& source) {
          const auto it = l.by_id.find(id);
          if (it == l.by_id.end()) return false;
          const uint64_t time = time_key(sec, nsec);
          if (time < chunk.start || time > chunk.end) {
            // The chunk's index records state other times: the index that readers of the time
            // order go by does not describe this message.
            throw std::runtime_error("message record at offset " + num(offset) + chunk.where() +
                                     " has time " + time_text(sec, nsec) +
                                     ", outside the times its index records state");
          }
          // Time 0 is no record time: the bag library leaves such messages out, and so does
          // this reader.
          if (take[it->second] != 0 && (sec != 0 || nsec != 0 || with_time_zero)) {
            ReaderMessage message;
            message.connection = &l.connections[it->second];
            message.sec = sec;
            message.nsec = nsec;
            message.data = source.data(data_at, size);
            message.size = size;
            message.file = &l.file;
            message.file_pos = source.file_pos(data_at);
            if (std::decay_t<decltype(source)>::kHeld) {
              l.held.push_back(message);
            } else {
              on_message(message);
            }
          }
          return true;
        });
    // A chunk in memory hands its messages over by record time, equal times as stored: where
    // the chunks do not overlap in time that is the bag library's time order.
    const auto earlier = [](const ReaderMessage& a, const ReaderMessage& b) {
      return time_key(a.sec, a.nsec) < time_key(b.sec, b.nsec);
    };
    if (!std::is_sorted(l.held.begin(), l.held.end(), earlier)) {
      std::stable_sort(l.held.begin(), l.held.end(), earlier);
    }
    for (const ReaderMessage& message : l.held) on_message(message);
    l.held.clear();
    ++summary.chunks_read;
    if (on_progress && l.chunk_bytes > 0) {
      on_progress(static_cast<double>(done) / static_cast<double>(l.chunk_bytes));
    }
  }
  if (on_progress) on_progress(1.0);
  return summary;
}

}  // namespace bag_format
