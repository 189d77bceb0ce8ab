#include "bag_format/bag_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "bag_format/bag_record.h"
#include "safe_output/read_window.h"

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

// A buffer that grows without clearing (filled completely before it is read), and small reads of
// record headers and index entries through a window of the file, so that the thousands of index
// records after a chunk of a many-connection bag cost a few system calls rather than several
// each.
using Buffer = safe_output::GrowBuffer;
using ReadAhead = safe_output::ReadWindow<BagFile>;

// A chunk of the bag, or a run of records stored in place of a chunk (the records of a plain
// chunk still open when the recording stopped, which follow its header in place). Only the chunk
// being walked is described: nothing is kept per chunk once it has been read.
struct ChunkRef {
  uint64_t pos = 0;         // the chunk record, or the first record stored in place
  uint64_t data_pos = 0;    // the stored bytes
  uint32_t stored = 0;      // stored bytes
  uint32_t size = 0;        // uncompressed bytes
  std::string compression;  // "none", "bz2" or "lz4"
  bool in_place = false;    // records stored in place
  bool cut = false;         // the file ends inside it: only its whole records are read
  bool indexed = false;     // index records follow it
  bool has_messages = false;
  // Its records, not its index records, give its connections and times: it has no index
  // records, is cut short, stored in place, or its index records name a connection not defined
  // before it.
  bool by_records = false;
  // Time range of its messages (time_key), from its index entries once read (entries_read) or
  // from its records; kNoTime: none.
  uint64_t start = kNoTime;
  uint64_t end = 0;
  bool entries_read = false;

  std::string where() const {
    return (in_place ? " of the records stored in place at byte " : " of the chunk at byte ") +
           num(pos);
  }
  // Held in memory while it is read; a larger chunk is read from the file, or from a scratch
  // file that holds its decompressed records.
  bool held() const { return size <= kStreamedChunkBytes && stored <= kStreamedChunkBytes; }
};

// The chunk positions that the index section lists, handed out ascending, to be matched against
// the chunks as they are walked. Writers list the chunks in file order: the chunk-info records
// are then read back one at a time as the walk goes on. Otherwise the positions are held, sorted.
class ListedChunks {
 public:
  explicit ListedChunks(const BagFile& file) : ahead_(file) {}

  // The chunk-info records, `count` of them from byte `first` on, list the chunks in file order.
  void stream(uint64_t first, uint32_t count) {
    next_record_ = first;
    left_ = count;
    held_.clear();
    at_ = 0;
    streaming_ = true;
  }
  // The positions, in any order, repeats included.
  void hold(std::vector<uint64_t> positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    held_ = std::move(positions);
    at_ = 0;
    streaming_ = false;
    has_next_ = false;
    left_ = 0;
  }
  // The next position not yet taken; false when none is left.
  bool peek(uint64_t& pos) {
    if (!streaming_) {
      if (at_ == held_.size()) return false;
      pos = held_[at_];
      return true;
    }
    while (!has_next_ && left_ > 0) {
      const uint64_t read = read_position();
      if (!any_ || read != last_) {
        next_ = read;
        has_next_ = true;
      }
      any_ = true;
      last_ = read;
    }
    pos = next_;
    return has_next_;
  }
  void take() {
    if (streaming_) {
      has_next_ = false;
    } else {
      ++at_;
    }
  }

 private:
  // The chunk position of the next chunk-info record, which the index parser has read already.
  uint64_t read_position() {
    uint32_t length = 0;
    if (!ahead_.read_at(next_record_, &length, 4)) throw std::runtime_error("index cannot be read");
    header_.resize(length);
    uint32_t data_length = 0;
    uint64_t pos = 0;
    if (!ahead_.read_at(next_record_ + 4, header_.data(), length) ||
        !ahead_.read_at(next_record_ + 4 + length, &data_length, 4) ||
        fields_.parse(header_.data(), length) != Parse::kOk || !fields_.number("chunk_pos", pos)) {
      throw std::runtime_error("index cannot be read");
    }
    next_record_ += uint64_t{4} + length + 4 + data_length;
    --left_;
    return pos;
  }

  ReadAhead ahead_;
  RecordFields fields_;
  std::vector<uint8_t> header_;
  bool streaming_ = false;
  uint64_t next_record_ = 0;
  uint32_t left_ = 0;
  bool any_ = false;
  uint64_t last_ = 0;
  bool has_next_ = false;
  uint64_t next_ = 0;
  std::vector<uint64_t> held_;
  size_t at_ = 0;
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
    // One pass over the fields for the three that every record inside a chunk is read by; a
    // later field of a name replaces an earlier one.
    std::string_view op_field;
    std::string_view conn_field;
    std::string_view time_field;
    for (const auto& [name, value] : fields.all()) {
      if (name == "op") {
        op_field = value;
      } else if (name == "conn") {
        conn_field = value;
      } else if (name == "time") {
        time_field = value;
      }
    }
    const uint8_t op = op_field.size() == 1 ? static_cast<uint8_t>(op_field[0]) : 0;
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
      if (conn_field.size() != sizeof id || time_field.size() != sizeof time) {
        throw fault(kind, "lacks its conn or time field");
      }
      std::memcpy(&id, conn_field.data(), sizeof id);
      std::memcpy(&time, time_field.data(), sizeof time);
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

// Where the records of a chunk too large to be held are read from: the bag itself for a plain
// chunk, else a scratch file holding its decompressed records.
struct StreamedChunk {
  std::unique_ptr<BagFile> scratch;
  const BagFile* file = nullptr;
  uint64_t data_pos = 0;
};

// One message of a chunk read from a file, kept to be handed over in record-time order.
struct StreamedEntry {
  uint64_t time;
  uint64_t data_at;  // offset of its data in the chunk
  uint32_t size;
  uint32_t connection;  // index in Layout::connections
};

// What a read() hands over.
struct Selection {
  std::vector<char> take;  // by place in connections: its messages are wanted
  bool any;                // some connection is wanted
  bool time_zero;          // messages stamped at time 0 are handed over too
  const std::function<void(const ReaderMessage&)>& on_message;
};

struct BagReader::Layout {
  explicit Layout(const std::string& bag_path) : path(bag_path), file(bag_path) {}

  const std::string path;
  const BagFile file;
  ReadAhead ahead{file};  // record headers and index entries
  std::vector<ReaderConnection> connections;
  std::unordered_map<uint32_t, uint32_t> by_id;  // connection id -> index in connections
  uint64_t chunks_from = 0;                      // the first record after the file header
  uint64_t chunks_end = 0;                       // the index section, or the end of the file
  bool indexed = false;                          // the index section was read
  uint64_t chunk_bytes = 0;                      // stored bytes of every chunk
  ReadSummary summary;
  IndexCounts counts;  // what the index section's chunk-info records count
  ListedChunks listed{file};

  // The walk of the chunk section. The constructor walks it to learn the connections and to
  // match the chunks against the index; read() walks it again and reads each chunk as it is met.
  bool reading = false;
  std::function<void(ChunkRef&)> on_chunk;  // read(): a chunk whose index records are known
  // The chunk being walked, whose index records are still being read.
  bool unfinished = false;
  ChunkRef chunk;
  std::vector<PendingIndex> pending;
  // The entries of each of its index records: position of the first, count; read only when the
  // chunk is.
  std::vector<std::pair<uint64_t, uint32_t>> runs;
  std::vector<uint32_t> chunk_connections;  // the connection ids its index records name
  uint64_t stored_chunks = 0;               // chunk records walked
  uint64_t matched_chunks = 0;              // of them, listed by the index

  std::vector<uint8_t> header;
  RecordFields fields;        // the top-level record last read
  RecordFields inner_fields;  // a record inside a chunk
  ReaderConnection scratch;
  Buffer stored;                    // a compressed chunk's stored bytes
  Buffer contents;                  // the chunk being read
  std::vector<ReaderMessage> held;  // its messages, until they are ordered
  std::vector<StreamedEntry> streamed;

  void open();
  Top read_top(uint64_t pos, TopRecord& r);
  bool read_index(uint64_t pos, uint32_t connection_count, uint32_t chunk_count);
  void walk();
  void end_of_section(uint64_t pos, const std::string& fault);
  void add_chunk(const TopRecord& r, bool cut);
  void add_in_place(const TopRecord& r);
  void start_chunk(ChunkRef next);
  void index_record(const TopRecord& r);
  void read_entries(ChunkRef& chunk);
  void finish_chunk();
  void match_listed(const ChunkRef& chunk);
  void look_into(ChunkRef& chunk);
  const uint8_t* load(const ChunkRef& chunk, Buffer& out);
  StreamedChunk stream(const ChunkRef& chunk) const;
  // Walks the records of `chunk`: one that is held after loading it into `buffer` (in one read),
  // any other from the file (or its scratch file, see stream()).
  template <class OnConnection, class OnMessage>
  uint64_t walk_chunk(const ChunkRef& chunk, Buffer& buffer, OnConnection&& on_connection,
                      OnMessage&& on_message) {
    if (!chunk.held()) {
      const StreamedChunk streamed_chunk = stream(chunk);
      return walk_streamed(chunk, streamed_chunk, on_connection, on_message);
    }
    MemorySource source(load(chunk, buffer));
    return walk_records(source, chunk.size, chunk.cut, chunk.where(), inner_fields, scratch,
                        on_connection, on_message);
  }
  template <class OnConnection, class OnMessage>
  uint64_t walk_streamed(const ChunkRef& chunk, const StreamedChunk& from,
                         OnConnection&& on_connection, OnMessage&& on_message) {
    if (from.scratch == nullptr) {
      FileSource source(file, ahead, from.data_pos);
      return walk_records(source, chunk.size, chunk.cut, chunk.where(), inner_fields, scratch,
                          on_connection, on_message);
    }
    ReadAhead scratch_ahead(*from.file);
    FileSource source(*from.file, scratch_ahead, from.data_pos);
    return walk_records(source, chunk.size, chunk.cut, chunk.where(), inner_fields, scratch,
                        on_connection, on_message);
  }
  void add_connection(const ReaderConnection& connection);
  bool known_connection(const ReaderConnection& connection) const;

  // read(): the chunk just walked, when it holds a wanted message (true), else its connection
  // records judged alone.
  bool read_chunk(ChunkRef& chunk_ref, const Selection& selection);
  bool wanted_chunk(const ChunkRef& chunk_ref, const Selection& selection) const;
  // False when the chunk holds no connection record: its bytes (decompressed; those of a plain
  // one too large to hold read in pieces) hold no connection record's op field.
  bool may_define_connections(const ChunkRef& chunk_ref);
  void read_held(const ChunkRef& chunk_ref, const Selection& selection);
  void read_streamed(const ChunkRef& chunk_ref, const Selection& selection);
  // Whether the message record at `offset` on connection `id` at sec.nsec is handed over
  // (`hand_over`, with its place in connections); false for a connection the bag does not
  // define. Throws for a time outside the chunk's index records.
  bool judge(const ChunkRef& chunk_ref, const Selection& selection, uint32_t id, uint32_t sec,
             uint32_t nsec, uint64_t offset, uint32_t& connection, bool& hand_over) const;
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
    summary.recording_closed = summary.index_complete = false;
    chunks_from = chunks_end = file.size();
    return;
  }
  chunks_from = r.end();
  indexed = index_pos != 0 && index_pos >= chunks_from && index_pos <= file.size() &&
            read_index(index_pos, connection_count, chunk_count);
  if (!indexed) {
    connections.clear();
    by_id.clear();
    counts = IndexCounts();
    listed.hold({});
  }
  summary.recording_closed = indexed;
  summary.index_complete = false;
  chunks_end = indexed ? index_pos : file.size();
  walk();
  // Connections found in the chunks alone have no count in the index.
  if (indexed) {
    counts.messages.resize(connections.size(), 0);
    uint64_t missing = 0;
    if (listed.peek(missing)) {
      throw std::runtime_error("the index lists a chunk at byte " + num(missing) +
                               ", where the bag stores none");
    }
    summary.index_complete = matched_chunks == stored_chunks;
  }
  contents = Buffer();
  stored = Buffer();
}

// The one parser of the index section: the connection records, then the chunk-info records with
// their per-connection counts, each record in its place and size with the fields the bag
// library needs (chunk-info version 1, a chunk position between the file header and the index,
// normalised start and end times in order, as many entries as its data holds). False when any
// of it does not read so; the chunks are then walked.
bool BagReader::Layout::read_index(uint64_t pos, uint32_t connection_count, uint32_t chunk_count) {
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
  const uint64_t infos_from = pos;
  bool in_file_order = true;
  uint64_t last_listed = 0;
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
    in_file_order = in_file_order && (i == 0 || chunk_pos >= last_listed);
    last_listed = chunk_pos;
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
  listed.stream(infos_from, chunk_count);
  if (!in_file_order) {
    // Rare: the positions are held, sorted (8 bytes a chunk).
    std::vector<uint64_t> positions;
    positions.reserve(chunk_count);
    for (uint64_t next = 0; listed.peek(next); listed.take()) positions.push_back(next);
    listed.hold(std::move(positions));
  }
  return true;
}

// With an index, bytes that hold no chunk or index record end the chunk section (padding before
// the index), unless the index lists a chunk after them.
void BagReader::Layout::end_of_section(uint64_t pos, const std::string& fault) {
  if (reading) return;  // judged when the constructor walked the same bytes
  uint64_t next = 0;
  uint64_t missing = 0;
  bool any_missing = false;
  for (; listed.peek(next) && next < pos; listed.take()) {
    if (!any_missing) missing = next;
    any_missing = true;
  }
  if (listed.peek(next)) {
    throw std::runtime_error("the chunk section holds bytes that are no chunk at byte " + num(pos) +
                             " (" + fault + "), before the chunk at byte " + num(next) +
                             " that the index lists");
  }
  if (any_missing) {
    throw std::runtime_error("the index lists a chunk at byte " + num(missing) +
                             ", where the bag stores none");
  }
}

void BagReader::Layout::walk() {
  unfinished = false;
  pending.clear();
  runs.clear();
  chunk_connections.clear();
  uint64_t pos = chunks_from;
  const uint64_t end = chunks_end;
  while (pos < end) {
    TopRecord r;
    const Top top = read_top(pos, r);
    if (indexed) {
      if (top != Top::kOk) {
        finish_chunk();
        end_of_section(pos, r.fault);
        break;
      }
      if (r.end() > end) {
        finish_chunk();
        end_of_section(pos,
                       "record at byte " + num(pos) + " runs into the index at byte " + num(end));
        break;
      }
    } else if (top != Top::kOk) {
      finish_chunk();
      if (top == Top::kCut && fields.op_is(kOpChunk)) {
        add_chunk(r, true);
      } else if (!reading) {
        summary.unreadable_bytes = file.size() - pos;
      }
      break;
    }
    pos = r.end();
    if (fields.op_is(kOpChunk)) {
      finish_chunk();
      add_chunk(r, false);
    } else if (fields.op_is(kOpIndexData)) {
      if (unfinished && !chunk.in_place) {
        index_record(r);
      } else if (indexed) {
        throw std::runtime_error("index record at byte " + num(r.pos) + " follows no chunk");
      }
    } else if (indexed) {
      finish_chunk();
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

void BagReader::Layout::start_chunk(ChunkRef next) {
  chunk = std::move(next);
  pending.clear();
  runs.clear();
  chunk_connections.clear();
  unfinished = true;
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
  ChunkRef next;
  next.pos = r.pos;
  next.data_pos = r.data_pos;
  next.compression.assign(compression);
  if (cut) {
    if (compression != "none") {
      // A compressed chunk cut short does not decompress: it is lost.
      if (!reading) summary.unreadable_bytes = file.size() - r.pos;
      return;
    }
    const uint64_t available = file.size() - r.data_pos;
    next.stored = next.size = static_cast<uint32_t>(std::min<uint64_t>(available, size));
    next.cut = true;
    if (!reading) summary.unreadable_bytes = available - next.size;
  } else {
    if (compression == "none" && r.data_len != size) {
      throw std::runtime_error(at + " stores " + num(r.data_len) + " bytes, not the " + num(size) +
                               " its header states");
    }
    next.stored = r.data_len;
    next.size = size;
  }
  start_chunk(std::move(next));
}

void BagReader::Layout::add_in_place(const TopRecord& r) {
  const uint64_t length = r.end() - r.pos;
  if (length > kMaxChunkSize) {
    throw std::runtime_error("record at byte " + num(r.pos) + " takes " + num(length) +
                             " bytes, more than the " + num(kMaxChunkSize) + " a chunk may hold");
  }
  if (unfinished && chunk.in_place && chunk.pos + chunk.size == r.pos &&
      chunk.size + length <= kMaxChunkSize) {
    chunk.size += static_cast<uint32_t>(length);
    chunk.stored = chunk.size;
    return;
  }
  finish_chunk();
  ChunkRef next;
  next.pos = next.data_pos = r.pos;
  next.stored = next.size = static_cast<uint32_t>(length);
  next.compression = "none";
  next.in_place = true;
  start_chunk(std::move(next));
}

void BagReader::Layout::index_record(const TopRecord& r) {
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
  if (count == 0) return;
  chunk.has_messages = true;
  runs.emplace_back(r.data_pos, count);
  uint32_t entry[3];
  if (!ahead.read_at(r.data_pos, entry, sizeof entry)) {
    throw std::runtime_error(at() + " cannot be read");
  }
  pending.push_back({connection, r.data_pos, entry[0], entry[1]});
}

// Reads the index entries of a chunk about to be read: each must point inside the chunk, and
// together they give the chunk's time range.
void BagReader::Layout::read_entries(ChunkRef& chunk_ref) {
  chunk_ref.entries_read = true;
  uint32_t batch[3 * kEntryBatch];
  for (const auto& [pos, count] : runs) {
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(count - done, kEntryBatch);
      const uint64_t first = pos + uint64_t{done} * 12;
      if (!ahead.read_at(first, batch, uint64_t{n} * 12)) {
        throw std::runtime_error("index entries at byte " + num(first) + " cannot be read");
      }
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t* entry = &batch[3 * i];
        if (entry[2] >= chunk_ref.size) {
          throw std::runtime_error("index entry at byte " + num(first + uint64_t{i} * 12) +
                                   " points at offset " + num(entry[2]) + " of the chunk at byte " +
                                   num(chunk_ref.pos) + ", which holds " + num(chunk_ref.size) +
                                   " bytes");
        }
        const uint64_t time = time_key(entry[0], entry[1]);
        chunk_ref.start = std::min(chunk_ref.start, time);
        chunk_ref.end = std::max(chunk_ref.end, time);
      }
      done += n;
    }
  }
}

void BagReader::Layout::finish_chunk() {
  if (!unfinished) return;
  unfinished = false;
  bool by_records = chunk.in_place || chunk.cut || !chunk.indexed;
  for (const PendingIndex& p : pending) by_records = by_records || by_id.count(p.connection) == 0;
  chunk.by_records = by_records;
  std::sort(chunk_connections.begin(), chunk_connections.end());
  chunk_connections.erase(std::unique(chunk_connections.begin(), chunk_connections.end()),
                          chunk_connections.end());
  if (reading) {
    on_chunk(chunk);
    return;
  }
  if (by_records) look_into(chunk);
  for (const PendingIndex& p : pending) {
    if (by_id.count(p.connection) != 0) continue;
    throw std::runtime_error("index entry at byte " + num(p.entry_pos) + " has time " +
                             time_text(p.sec, p.nsec) + " on connection " + num(p.connection) +
                             ", which the bag does not define");
  }
  if (!chunk.in_place) match_listed(chunk);
  chunk_bytes += chunk.stored;
}

// Takes the chunk off the index's list; a chunk the index lists before it is stored nowhere.
void BagReader::Layout::match_listed(const ChunkRef& chunk_ref) {
  if (!indexed) return;
  ++stored_chunks;
  uint64_t next = 0;
  if (listed.peek(next) && next < chunk_ref.pos) {
    throw std::runtime_error("the index lists a chunk at byte " + num(next) +
                             ", where the bag stores none");
  }
  if (listed.peek(next) && next == chunk_ref.pos) {
    listed.take();
    ++matched_chunks;
  }
}

// Learns the connections and the time range of a chunk from its records.
void BagReader::Layout::look_into(ChunkRef& chunk_ref) {
  chunk_ref.start = kNoTime;
  chunk_ref.end = 0;
  const uint64_t whole = walk_chunk(
      chunk_ref, contents, [&](const ReaderConnection& c) { add_connection(c); },
      [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t, uint64_t, uint32_t, auto&) {
        if (by_id.count(id) == 0) return false;
        const uint64_t time = time_key(sec, nsec);
        chunk_ref.start = std::min(chunk_ref.start, time);
        chunk_ref.end = std::max(chunk_ref.end, time);
        return true;
      });
  chunk_ref.has_messages = chunk_ref.start != kNoTime;
  if (chunk_ref.cut) {
    summary.unreadable_bytes += chunk_ref.size - whole;
    chunk_ref.stored = static_cast<uint32_t>(whole);
  }
}

const uint8_t* BagReader::Layout::load(const ChunkRef& chunk_ref, Buffer& out) {
  if (chunk_ref.compression == "none") {
    uint8_t* to = out.resize(chunk_ref.size);
    if (!file.read_at(chunk_ref.data_pos, to, chunk_ref.size)) {
      throw std::runtime_error("chunk at byte " + num(chunk_ref.pos) + " cannot be read");
    }
    return to;
  }
  uint8_t* from = stored.resize(chunk_ref.stored);
  if (!file.read_at(chunk_ref.data_pos, from, chunk_ref.stored)) {
    throw std::runtime_error("chunk at byte " + num(chunk_ref.pos) + " cannot be read");
  }
  uint8_t* to = out.resize(chunk_ref.size);
  const std::string fault = decompress_chunk(chunk_ref.compression, from, chunk_ref.stored, to,
                                             chunk_ref.size, chunk_ref.pos);
  if (!fault.empty()) throw std::runtime_error(fault);
  return to;
}

bool BagReader::Layout::wanted_chunk(const ChunkRef& chunk_ref, const Selection& selection) const {
  if (chunk_ref.by_records) return selection.any;
  if (!chunk_ref.has_messages) return false;
  return std::any_of(chunk_connections.begin(), chunk_connections.end(), [&](uint32_t id) {
    const auto it = by_id.find(id);
    return it != by_id.end() && selection.take[it->second] != 0;
  });
}

bool BagReader::Layout::judge(const ChunkRef& chunk_ref, const Selection& selection, uint32_t id,
                              uint32_t sec, uint32_t nsec, uint64_t offset, uint32_t& connection,
                              bool& hand_over) const {
  const auto it = by_id.find(id);
  if (it == by_id.end()) return false;
  const uint64_t time = time_key(sec, nsec);
  if (!chunk_ref.by_records && (time < chunk_ref.start || time > chunk_ref.end)) {
    // The chunk's index records state other times: the index that readers of the time order go
    // by does not describe this message.
    throw std::runtime_error("message record at offset " + num(offset) + chunk_ref.where() +
                             " has time " + time_text(sec, nsec) +
                             ", outside the times its index records state");
  }
  connection = it->second;
  // Time 0 is no record time: the bag library leaves such messages out, and so does this reader.
  hand_over = selection.take[connection] != 0 && (sec != 0 || nsec != 0 || selection.time_zero);
  return true;
}

bool BagReader::Layout::read_chunk(ChunkRef& chunk_ref, const Selection& selection) {
  if (wanted_chunk(chunk_ref, selection)) {
    if (!chunk_ref.by_records) read_entries(chunk_ref);
    if (chunk_ref.held()) {
      read_held(chunk_ref, selection);
    } else {
      read_streamed(chunk_ref, selection);
    }
    return true;
  }
  // Its messages are not wanted, but a connection record inside it that defines a connection id
  // again is refused as in a chunk that is read, so that every reader of the bag gives one
  // verdict on it. A plain chunk of large messages is judged whole from its record headers, a
  // few reads; any other only when its bytes hold a connection record's op field. A chunk read by
  // its records was judged when the bag was opened.
  if (chunk_ref.by_records) return false;
  uint64_t messages = 0;
  for (const auto& run : runs) messages += run.second;
  const bool few_records =
      chunk_ref.compression == "none" && chunk_ref.size / std::max<uint64_t>(messages, 1) >= 4096;
  if (!few_records && !may_define_connections(chunk_ref)) return false;
  read_entries(chunk_ref);
  const auto check_connection = [&](const ReaderConnection& c) { known_connection(c); };
  const auto check_message = [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t offset,
                                 uint64_t, uint32_t, auto&) {
    uint32_t connection = 0;
    bool hand_over = false;
    return judge(chunk_ref, selection, id, sec, nsec, offset, connection, hand_over);
  };
  if (chunk_ref.held() && !few_records) {
    // Still in memory from the search.
    MemorySource source(contents.data());
    walk_records(source, chunk_ref.size, chunk_ref.cut, chunk_ref.where(), inner_fields, scratch,
                 check_connection, check_message);
  } else if (chunk_ref.compression == "none") {
    // Record headers through the read-ahead, the messages' data not read.
    walk_streamed(chunk_ref, stream(chunk_ref), check_connection, check_message);
  } else {
    walk_chunk(chunk_ref, contents, check_connection, check_message);
  }
  return false;
}

bool BagReader::Layout::may_define_connections(const ChunkRef& chunk_ref) {
  // The op field of a connection record: its length word (4) and "op=" with the op code.
  static constexpr char kConnectionOp[] = {4, 0, 0, 0, 'o', 'p', '=', kOpConnection};
  // Each byte of the connection op code found, then the bytes before it compared: the op fields
  // of message records, which differ only in that byte, cost nothing.
  const auto holds = [](const uint8_t* data, size_t n) {
    constexpr size_t kBefore = sizeof kConnectionOp - 1;
    const uint8_t* at = data + std::min(n, kBefore);
    const uint8_t* const end = data + n;
    while (at < end) {
      at = static_cast<const uint8_t*>(
          std::memchr(at, kOpConnection, static_cast<size_t>(end - at)));
      if (at == nullptr) return false;
      if (std::memcmp(at - kBefore, kConnectionOp, kBefore) == 0) return true;
      ++at;
    }
    return false;
  };
  if (chunk_ref.held()) return holds(load(chunk_ref, contents), chunk_ref.size);
  constexpr size_t kOverlap = sizeof kConnectionOp - 1;
  if (chunk_ref.compression != "none") {
    // Decompressed in pieces and searched, each piece after the last bytes of the one before.
    std::vector<uint8_t> window;
    bool found = false;
    decompress_chunk_in_pieces(file, chunk_ref.compression, chunk_ref.data_pos, chunk_ref.stored,
                               chunk_ref.size, chunk_ref.pos, [&](const char* data, size_t n) {
                                 if (found) return;
                                 window.insert(window.end(), data, data + n);
                                 found = holds(window.data(), window.size());
                                 const size_t keep = std::min(window.size(), kOverlap);
                                 window.erase(window.begin(), window.end() - keep);
                               });
    return found;
  }
  // A plain chunk too large to hold, in pieces that overlap by the pattern's length less one.
  constexpr uint64_t kPiece = 1u << 20;
  uint8_t* piece = contents.resize(kPiece);
  for (uint64_t at = 0; at < chunk_ref.size;) {
    const uint64_t n = std::min<uint64_t>(kPiece, chunk_ref.size - at);
    if (!file.read_at(chunk_ref.data_pos + at, piece, n)) {
      throw std::runtime_error("chunk at byte " + num(chunk_ref.pos) + " cannot be read");
    }
    if (holds(piece, n)) return true;
    if (at + n == chunk_ref.size) break;
    at += n - kOverlap;
  }
  return false;
}

// A held chunk hands its messages over by record time, equal times as stored: where the chunks
// do not overlap in time that is the bag library's time order.
void BagReader::Layout::read_held(const ChunkRef& chunk_ref, const Selection& selection) {
  MemorySource source(load(chunk_ref, contents));
  walk_records(
      source, chunk_ref.size, chunk_ref.cut, chunk_ref.where(), inner_fields, scratch,
      [&](const ReaderConnection& c) { known_connection(c); },
      [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t offset, uint64_t data_at,
          uint32_t size, MemorySource& from) {
        uint32_t connection = 0;
        bool hand_over = false;
        if (!judge(chunk_ref, selection, id, sec, nsec, offset, connection, hand_over)) {
          return false;
        }
        if (hand_over) {
          ReaderMessage message;
          message.connection = &connections[connection];
          message.sec = sec;
          message.nsec = nsec;
          message.data = from.data(data_at, size);
          message.size = size;
          message.file = &file;
          held.push_back(message);
        }
        return true;
      });
  const auto by_time = [](const ReaderMessage& a, const ReaderMessage& b) {
    return time_key(a.sec, a.nsec) < time_key(b.sec, b.nsec);
  };
  if (!std::is_sorted(held.begin(), held.end(), by_time)) {
    std::stable_sort(held.begin(), held.end(), by_time);
  }
  for (const ReaderMessage& message : held) selection.on_message(message);
  held.clear();
}

// A chunk too large to be held is read from the file (or its scratch file) in two walks: the
// first judges every record and whether the wanted messages are stored by time, the second hands
// them over as stored. Messages not stored by time are listed (24 bytes each) and handed over by
// time instead.
void BagReader::Layout::read_streamed(const ChunkRef& chunk_ref, const Selection& selection) {
  const StreamedChunk from = stream(chunk_ref);
  uint64_t last = 0;
  bool by_time = true;
  walk_streamed(
      chunk_ref, from, [&](const ReaderConnection& c) { known_connection(c); },
      [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t offset, uint64_t, uint32_t,
          FileSource&) {
        uint32_t connection = 0;
        bool hand_over = false;
        if (!judge(chunk_ref, selection, id, sec, nsec, offset, connection, hand_over)) {
          return false;
        }
        if (hand_over) {
          by_time = by_time && time_key(sec, nsec) >= last;
          last = time_key(sec, nsec);
        }
        return true;
      });
  const auto no_check = [](const ReaderConnection&) {};
  const auto handed_over = [&](uint32_t connection, uint32_t sec, uint32_t nsec) {
    return selection.take[connection] != 0 && (sec != 0 || nsec != 0 || selection.time_zero);
  };
  ReaderMessage message;
  message.file = from.file;
  if (by_time) {
    walk_streamed(chunk_ref, from, no_check,
                  [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t, uint64_t data_at,
                      uint32_t size, FileSource& source) {
                    const uint32_t connection = by_id.at(id);
                    if (!handed_over(connection, sec, nsec)) return true;
                    message.connection = &connections[connection];
                    message.sec = sec;
                    message.nsec = nsec;
                    message.data = source.data(data_at, size);
                    message.size = size;
                    message.file_pos = source.file_pos(data_at);
                    selection.on_message(message);
                    return true;
                  });
    return;
  }
  walk_streamed(chunk_ref, from, no_check,
                [&](uint32_t id, uint32_t sec, uint32_t nsec, uint64_t, uint64_t data_at,
                    uint32_t size, FileSource&) {
                  const uint32_t connection = by_id.at(id);
                  if (handed_over(connection, sec, nsec)) {
                    streamed.push_back({time_key(sec, nsec), data_at, size, connection});
                  }
                  return true;
                });
  std::stable_sort(streamed.begin(), streamed.end(),
                   [](const StreamedEntry& a, const StreamedEntry& b) { return a.time < b.time; });
  std::vector<uint8_t> data;
  for (const StreamedEntry& entry : streamed) {
    message.connection = &connections[entry.connection];
    message.sec = static_cast<uint32_t>(entry.time >> 32);
    message.nsec = static_cast<uint32_t>(entry.time);
    message.size = entry.size;
    message.file_pos = from.data_pos + entry.data_at;
    message.data = nullptr;
    if (entry.size <= kWholeMessageBytes) {
      data.resize(entry.size);
      if (!from.file->read_at(message.file_pos, data.data(), entry.size)) {
        throw std::runtime_error("bytes at " + num(message.file_pos) + " cannot be read");
      }
      message.data = data.data();
    }
    selection.on_message(message);
  }
  streamed.clear();
  streamed.shrink_to_fit();
}

StreamedChunk BagReader::Layout::stream(const ChunkRef& chunk_ref) const {
  StreamedChunk out;
  if (chunk_ref.compression == "none") {
    out.file = &file;
    out.data_pos = chunk_ref.data_pos;
  } else {
    out.scratch = decompress_chunk_to_file(file, chunk_ref.compression, chunk_ref.data_pos,
                                           chunk_ref.stored, chunk_ref.size, chunk_ref.pos);
    out.file = out.scratch.get();
  }
  return out;
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
  Selection selection{{}, false, with_time_zero, on_message};
  selection.take.resize(l.connections.size());
  for (size_t i = 0; i < l.connections.size(); ++i) {
    selection.take[i] = wanted(l.connections[i]) ? 1 : 0;
    selection.any = selection.any || selection.take[i] != 0;
  }
  uint64_t done = 0;
  l.reading = true;
  l.on_chunk = [&](ChunkRef& chunk) {
    done += chunk.stored;
    if (l.read_chunk(chunk, selection)) {
      ++summary.chunks_read;
    } else {
      ++summary.chunks_skipped;
    }
    if (on_progress && l.chunk_bytes > 0) {
      on_progress(std::min(1.0, static_cast<double>(done) / static_cast<double>(l.chunk_bytes)));
    }
  };
  struct Reset {
    Layout& l;
    ~Reset() {
      l.reading = false;
      l.on_chunk = nullptr;
      l.held.clear();
      l.streamed.clear();
    }
  } reset{l};
  l.walk();
  if (on_progress) on_progress(1.0);
  return summary;
}

}  // namespace bag_format
