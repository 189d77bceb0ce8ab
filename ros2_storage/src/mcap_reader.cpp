#include "mcap_reader.h"

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "file_reader.h"
#include "safe_output/scratch_file.h"

namespace ros2_storage {

namespace {

constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr uint64_t kMagicBytes = sizeof kMagic;

// Record opcodes.
constexpr uint8_t kOpHeader = 0x01;
constexpr uint8_t kOpFooter = 0x02;
constexpr uint8_t kOpSchema = 0x03;
constexpr uint8_t kOpChannel = 0x04;
constexpr uint8_t kOpMessage = 0x05;
constexpr uint8_t kOpChunk = 0x06;
constexpr uint8_t kOpMessageIndex = 0x07;
constexpr uint8_t kOpStatistics = 0x0B;
constexpr uint8_t kOpMetadata = 0x0C;
constexpr uint8_t kOpMetadataIndex = 0x0D;
constexpr uint8_t kOpDataEnd = 0x0F;

// Opcode and length before every record body.
constexpr uint64_t kRecordHead = 9;
constexpr uint64_t kFooterBody = 20;
// Channel id, sequence, log time and publish time before a message's data.
constexpr uint64_t kMessageHead = 22;
// Start and end time, uncompressed size, CRC and the compression's length word of a chunk.
constexpr uint64_t kChunkFixed = 32;
// A compression name longer than this is no name any writer uses.
constexpr uint32_t kMaxCompressionName = 64;
// The most output one stored byte can give: lz4 repeats a match of up to 255 bytes per length
// byte; zstd's smallest block, a run of one byte, gives up to 128 KiB from 4 bytes.
constexpr uint64_t kLz4MaxRatio = 255;
constexpr uint64_t kZstdMaxRatio = 32768;
// Progress is reported at least this often in bytes of the file, and after every chunk.
constexpr uint64_t kProgressStep = 1u << 20;
// Stored bytes are decompressed or summed, and decompressed bytes set down in a scratch file, in
// pieces of this size.
constexpr uint64_t kPieceBytes = 1u << 20;

std::string num(uint64_t value) { return std::to_string(value); }

// Little-endian fields of a record body, each read only when it lies inside the body.
class Fields {
 public:
  Fields(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  template <class T>
  bool number(T& value) {
    if (size_ - at_ < sizeof(T)) return false;
    std::memcpy(&value, data_ + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  // Bytes after a length word of type L.
  template <class L = uint32_t>
  bool bytes(std::string_view& value) {
    L length = 0;
    if (!number(length) || size_ - at_ < length) return false;
    value = std::string_view(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return true;
  }
  // A map<string, string>: a uint32 byte length, then key and value strings.
  bool text_map(std::vector<std::pair<std::string, std::string>>& entries) {
    std::string_view all;
    if (!bytes(all)) return false;
    Fields inner(reinterpret_cast<const uint8_t*>(all.data()), all.size());
    while (inner.at_ < inner.size_) {
      std::string_view key;
      std::string_view value;
      if (!inner.bytes(key) || !inner.bytes(value)) return false;
      entries.emplace_back(std::string(key), std::string(value));
    }
    return true;
  }
  uint64_t used() const { return at_; }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t at_ = 0;
};

// A byte buffer that grows without clearing what it gains: it is filled before it is read.
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

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint64_t capacity_ = 0;
};

// Small reads (record heads, short records) through a window of the file: a read that goes on
// where the window ends doubles it up to 64 KiB, one elsewhere starts small, so that walking
// from chunk to chunk does not read their data twice. Larger reads go to the file.
class Window {
 public:
  explicit Window(const FileReader& file) : file_(file) {}

  // Reads exactly n bytes at `pos`; false when they are not all in the file or a read fails.
  bool read_at(uint64_t pos, void* out, uint64_t n) {
    if (n == 0 || n > kWindow / 4) return file_.read_at(pos, out, n);
    const bool inside = pos >= start_ && pos - start_ <= filled_;
    if (!inside || n > filled_ - (pos - start_)) {
      const uint64_t want = inside && filled_ > 0 ? std::min(2 * filled_, kWindow) : kFirstWindow;
      start_ = pos;
      filled_ = pos < file_.size() ? std::min(std::max(want, n), file_.size() - pos) : 0;
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
  const FileReader& file_;
  std::vector<uint8_t> window_ = std::vector<uint8_t>(kWindow);
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
};

// Where a record lies, put in words only for an error message: nothing is built per record.
struct Where {
  enum Kind { kFile, kChunk, kSummary };
  Kind kind = kFile;
  uint64_t pos = 0;    // byte of the file; for kChunk, offset in the chunk
  uint64_t chunk = 0;  // for kChunk, the chunk's byte

  std::string text(const char* what = "record") const {
    if (kind == kChunk) {
      return std::string(what) + " at offset " + num(pos) + " of the chunk at byte " + num(chunk);
    }
    return std::string(kind == kSummary ? "summary " : "") + what + " at byte " + num(pos);
  }
};

struct Schema {
  std::string name;
  std::string encoding;
  std::string data;
};

// What decompressing a chunk gave: its bytes; `whole` tells whether the compressed stream ended
// exactly with the stored bytes; `error` holds the codec's fault, which ends the output where it
// was found.
struct Inflated {
  uint64_t size = 0;
  bool whole = false;
  std::string error;
};

// One decompression stream of a chunk's codec (zstd or lz4 frames), fed and drained in pieces.
class Decompressor {
 public:
  explicit Decompressor(bool lz4) {
    if (lz4) {
      if (LZ4F_isError(LZ4F_createDecompressionContext(&lz4_, LZ4F_VERSION))) lz4_ = nullptr;
    } else {
      zstd_ = ZSTD_createDCtx();
    }
    if (lz4_ == nullptr && zstd_ == nullptr) throw std::bad_alloc();
  }
  ~Decompressor() {
    if (zstd_ != nullptr) ZSTD_freeDCtx(zstd_);
    if (lz4_ != nullptr) LZ4F_freeDecompressionContext(lz4_);
  }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;

  // Decompresses from in[0, in_size) into out[0, room); `used` and `given` say how much of each
  // went. Returns the codec's fault, or empty; `ended` tells whether a frame ended with it.
  // NOLINTNEXTLINE(readability-non-const-parameter): the codecs write the output through `out`.
  std::string step(const uint8_t* in, size_t in_size, uint8_t* out, size_t room, size_t& used,
                   size_t& given, bool& ended) {
    if (zstd_ != nullptr) {
      ZSTD_inBuffer from{in, in_size, 0};
      ZSTD_outBuffer to{out, room, 0};
      const size_t left = ZSTD_decompressStream(zstd_, &to, &from);
      used = from.pos;
      given = to.pos;
      ended = left == 0;
      return ZSTD_isError(left) ? ZSTD_getErrorName(left) : "";
    }
    used = in_size;
    given = room;
    const size_t left = LZ4F_decompress(lz4_, out, &given, in, &used, nullptr);
    ended = left == 0;
    if (LZ4F_isError(left)) {
      used = given = 0;
      return LZ4F_getErrorName(left);
    }
    return "";
  }

 private:
  ZSTD_DCtx* zstd_ = nullptr;
  LZ4F_dctx* lz4_ = nullptr;
};

// The records of a chunk held in memory.
class HeldRecords {
 public:
  explicit HeldRecords(const uint8_t* records) : records_(records) {}
  // `n` bytes from `offset` on, which the walker has checked to lie inside the chunk: valid until
  // the next call of the same function.
  const uint8_t* head(uint64_t offset, uint64_t /*n*/) const { return records_ + offset; }
  const uint8_t* body(uint64_t offset, uint64_t /*n*/) const { return records_ + offset; }

 private:
  const uint8_t* records_;
};

// The records of a chunk too large to hold, read from a file as they are walked (the MCAP file
// for a plain chunk, a scratch file for a compressed one): record and message heads through a
// window, each body into a buffer that grows to the largest body read.
class FileRecords {
 public:
  FileRecords(Window& window, uint64_t start, Buffer& body, const std::string& fault)
      : window_(window), start_(start), body_(body), fault_(fault) {}
  const uint8_t* head(uint64_t offset, uint64_t n) {
    if (n > sizeof head_ || !window_.read_at(start_ + offset, head_, n)) {
      throw std::runtime_error(fault_);
    }
    return head_;
  }
  const uint8_t* body(uint64_t offset, uint64_t n) {
    uint8_t* out = body_.resize(std::max<uint64_t>(n, 1));
    if (!window_.read_at(start_ + offset, out, n)) throw std::runtime_error(fault_);
    return out;
  }

 private:
  Window& window_;
  uint64_t start_;
  Buffer& body_;
  const std::string& fault_;  // the text of a read that fails
  uint8_t head_[kMessageHead];
};

// Hands over the message record whose body of `size` bytes is at `record`.
void hand_over(const uint8_t* record, uint64_t size, const Channel* channel,
               const std::function<void(const Message&)>& on_message) {
  Message message;
  message.channel = channel;
  std::memcpy(&message.sequence, record + 2, 4);
  std::memcpy(&message.log_time, record + 6, 8);
  std::memcpy(&message.publish_time, record + 14, 8);
  message.data = record + kMessageHead;
  message.size = size - kMessageHead;
  on_message(message);
}

class McapFile : public StorageFile {
 public:
  explicit McapFile(const std::string& path) : path_(path), file_(path), window_(file_) {}

  void open();

  const std::vector<Channel>& channels() const override { return channels_; }
  const Inventory* stated_inventory() const override { return stated_ ? &inventory_ : nullptr; }
  const Inventory* found_inventory() const override { return stated_ ? &inventory_ : &walked_; }
  const ReadOutcome& outcome() const override { return outcome_; }
  const StoredInfo& stored() const override { return stored_; }
  uint64_t size() const override { return file_.size(); }
  void read(const std::vector<const Channel*>& target,
            const std::function<void(const Message&)>& on_message,
            const std::function<void(uint64_t)>& on_bytes) override;

 private:
  // What a walk over the data section does: learn the channels (opening), or hand over the
  // messages (reading).
  struct Reading {
    const std::vector<const Channel*>* target = nullptr;
    const std::function<void(const Message&)>* on_message = nullptr;
    const std::function<void(uint64_t)>* on_bytes = nullptr;
  };
  // A message of the chunk being read, to be handed over by log time.
  struct Pending {
    uint64_t log_time;
    uint64_t offset;  // of its record in the chunk
    uint32_t place;
    uint32_t length;  // of its record's body (a chunk holds at most kMaxMcapChunkBytes)
  };

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(path_ + ": " + what);
  }
  void read_exactly(uint64_t pos, void* out, uint64_t n, const std::string& what) {
    if (!window_.read_at(pos, out, n)) fail(what + " cannot be read");
  }
  // The body of the record at `pos`, held whole.
  const uint8_t* body(uint64_t pos, uint64_t length);

  bool read_summary(uint64_t footer_pos);
  void check_summary_crc(uint64_t summary_start, uint64_t footer_pos, uint32_t crc);
  void walk(const Reading* reading);
  uint64_t chunk(uint64_t pos, uint64_t length, bool cut, const Reading* reading);
  // False when the message index records after a chunk (from `next` on) name only channels that
  // `target` does not want; true when they name a wanted one, or when there are none.
  bool may_hold_wanted(uint64_t next, const std::vector<const Channel*>& target);
  // Decompresses the `available` stored bytes at `from` of the chunk at `chunk_pos`, in pieces,
  // into out[0, size) when `out` is given, else handing each piece of at most kPieceBytes to
  // `take`. Never gives more than `size` bytes. `sum`, when given, takes the output's CRC.
  Inflated inflate(bool lz4, uint64_t from, uint64_t available, uint64_t size, uint64_t chunk_pos,
                   uint8_t* out, const std::function<void(const uint8_t*, size_t)>& take,
                   uLong* sum);
  // The CRC of the n bytes at `pos` of the file, read in pieces; `what` names them in a fault.
  uLong crc_of(uint64_t pos, uint64_t n, const std::string& what);
  // Walks the records of a chunk (`size` bytes of `source`): schemas and channels defined or
  // judged, each message's record offset, body length, channel place and log time given to
  // on_message. In a cut chunk the walk ends at the first record that is not whole; otherwise
  // that record is damage. Returns the bytes of its whole records.
  template <class Source, class OnMessage>
  uint64_t chunk_records(Source& source, uint64_t size, bool cut, uint64_t chunk_pos, bool learning,
                         OnMessage&& on_message);
  // Walks a chunk's records as chunk_records does and, when reading, hands over its wanted
  // messages by log time. `list`: the messages are listed (24 bytes each) and sorted where they
  // are not stored by time; otherwise (a chunk too large to hold) they are walked a second time
  // and handed over as stored, and listed only when they are not stored by time.
  template <class Source>
  uint64_t hand_over_chunk(Source& source, uint64_t size, bool cut, uint64_t chunk_pos,
                           const Reading* reading, bool list);

  void define_schema(const uint8_t* data, uint64_t size, const Where& where);
  void define_channel(const uint8_t* data, uint64_t size, const Where& where, bool learning);
  // Counts a message the walk on opening found.
  void count(uint32_t place, uint64_t log_time) {
    if (walked_.messages.size() <= place) walked_.messages.resize(channels_.size());
    ++walked_.messages[place];
    walked_.start = walked_messages_ == 0 ? log_time : std::min(walked_.start, log_time);
    walked_.end = walked_messages_ == 0 ? log_time : std::max(walked_.end, log_time);
    ++walked_messages_;
  }
  // The place in channels_ of the channel a message at `where` is on.
  uint32_t place_of(uint16_t id, const Where& where) const;
  void keep_metadata(const uint8_t* data, uint64_t size, const Where& where);

  std::string path_;
  FileReader file_;
  Window window_;
  uint64_t data_end_ = 0;  // where the data section's records end
  bool frozen_ = false;    // the channels are known: no record may add one
  std::unordered_map<uint16_t, Schema> schemas_;
  std::unordered_map<uint16_t, uint32_t> places_;  // channel id -> place in channels_
  std::vector<uint16_t> ids_;                      // by place
  std::vector<Channel> channels_;
  Inventory inventory_;
  bool stated_ = false;
  Inventory walked_;  // what the walk on opening found
  uint64_t walked_messages_ = 0;
  ReadOutcome outcome_;
  StoredInfo stored_;
  Buffer record_;
  Buffer chunk_;      // a chunk held whole
  Buffer message_;    // a record body of a chunk too large to hold
  Buffer in_piece_;   // stored bytes being decompressed or summed
  Buffer out_piece_;  // decompressed bytes on their way to a scratch file
  std::vector<Pending> pending_;
};

const uint8_t* McapFile::body(uint64_t pos, uint64_t length) {
  if (length > kMaxMcapRecordBytes) {
    fail("record at byte " + num(pos) + " takes " + num(length) + " bytes, more than the " +
         num(kMaxMcapRecordBytes) + " a record held whole may take");
  }
  uint8_t* out = record_.resize(std::max<uint64_t>(length, 1));
  if (!window_.read_at(pos + kRecordHead, out, length)) {
    fail("record at byte " + num(pos) + " cannot be read");
  }
  return out;
}

void McapFile::open() {
  uint8_t magic[kMagicBytes];
  if (!file_.read_at(0, magic, kMagicBytes) || std::memcmp(magic, kMagic, kMagicBytes) != 0) {
    fail("does not start with the MCAP magic");
  }
  // The header record comes first; a file cut inside it has nothing to read.
  uint8_t head[kRecordHead];
  uint64_t length = 0;
  if (window_.read_at(kMagicBytes, head, kRecordHead) && head[0] == kOpHeader) {
    std::memcpy(&length, head + 1, sizeof length);
    if (length <= file_.size() - kMagicBytes - kRecordHead) {
      Fields fields(body(kMagicBytes, length), length);
      std::string_view profile;
      std::string_view library;
      if (!fields.bytes(profile) || !fields.bytes(library)) {
        fail("header record at byte 8 is shorter than its fields");
      }
      stored_.profile = profile;
      stored_.library = library;
    }
  }
  // A closed file ends with the footer and the magic.
  const uint64_t tail = kRecordHead + kFooterBody + kMagicBytes;
  bool closed = false;
  uint64_t footer_pos = 0;
  if (file_.size() >= kMagicBytes + tail) {
    footer_pos = file_.size() - tail;
    uint8_t end[kRecordHead + kFooterBody + kMagicBytes];
    read_exactly(footer_pos, end, sizeof end, "footer");
    std::memcpy(&length, end + 1, sizeof length);
    closed = end[0] == kOpFooter && length == kFooterBody &&
             std::memcmp(end + kRecordHead + kFooterBody, kMagic, kMagicBytes) == 0;
  }
  outcome_.recording_closed = closed;
  data_end_ = closed ? footer_pos : file_.size();
  // A summary that does not read whole is not used, as if there were none; its faults come out
  // again where the walk meets what they damaged.
  try {
    outcome_.index_complete = closed && read_summary(footer_pos);
  } catch (const std::runtime_error&) {
    outcome_.index_complete = false;
    stated_ = false;
  }
  if (outcome_.index_complete) return;
  // Without a summary the channels come from walking the data section.
  schemas_.clear();
  places_.clear();
  ids_.clear();
  channels_.clear();
  stored_.metadata.clear();
  frozen_ = false;
  walked_ = Inventory();
  walk(nullptr);
  walked_.messages.resize(channels_.size());
  frozen_ = true;
}

bool McapFile::read_summary(uint64_t footer_pos) {
  uint8_t footer[kFooterBody];
  read_exactly(footer_pos + kRecordHead, footer, kFooterBody, "footer");
  uint64_t summary_start = 0;
  uint64_t offsets_start = 0;
  uint32_t crc = 0;
  std::memcpy(&summary_start, footer, 8);
  std::memcpy(&offsets_start, footer + 8, 8);
  std::memcpy(&crc, footer + 16, 4);
  if (summary_start == 0) return false;
  if (summary_start < kMagicBytes || summary_start > footer_pos ||
      (offsets_start != 0 && (offsets_start < summary_start || offsets_start > footer_pos))) {
    fail("footer at byte " + num(footer_pos) + " places the summary at byte " + num(summary_start) +
         " and its offsets at byte " + num(offsets_start) + ", outside the file's records");
  }
  data_end_ = summary_start;
  if (crc != 0) check_summary_crc(summary_start, footer_pos, crc);
  const uint64_t summary_end = offsets_start != 0 ? offsets_start : footer_pos;
  bool statistics = false;
  uint32_t stated_channels = 0;
  uint64_t messages = 0;
  std::vector<std::pair<uint16_t, uint64_t>> counts;
  std::vector<std::pair<uint64_t, uint64_t>> metadata;  // position, length
  for (uint64_t pos = summary_start; pos < summary_end;) {
    uint8_t head[kRecordHead];
    uint64_t length = 0;
    const Where where{Where::kSummary, pos};
    if (summary_end - pos < kRecordHead) fail(where.text() + " runs past the summary's end");
    read_exactly(pos, head, kRecordHead, where.text());
    std::memcpy(&length, head + 1, sizeof length);
    if (length > summary_end - pos - kRecordHead) {
      fail(where.text() + " runs past the summary's end");
    }
    const uint8_t op = head[0];
    if (op == kOpSchema) {
      define_schema(body(pos, length), length, where);
    } else if (op == kOpChannel) {
      define_channel(body(pos, length), length, where, true);
    } else if (op == kOpStatistics) {
      Fields fields(body(pos, length), length);
      uint16_t schemas = 0;
      uint32_t attachments = 0;
      uint32_t metadata_count = 0;
      uint32_t chunks = 0;
      std::string_view map;
      if (!fields.number(messages) || !fields.number(schemas) || !fields.number(stated_channels) ||
          !fields.number(attachments) || !fields.number(metadata_count) || !fields.number(chunks) ||
          !fields.number(inventory_.start) || !fields.number(inventory_.end) ||
          !fields.bytes(map) || map.size() % 10 != 0) {
        fail(where.text() + " (statistics) is shorter than its fields");
      }
      for (size_t i = 0; i < map.size(); i += 10) {
        uint16_t id = 0;
        uint64_t count = 0;
        std::memcpy(&id, map.data() + i, 2);
        std::memcpy(&count, map.data() + i + 2, 8);
        counts.emplace_back(id, count);
      }
      if (messages == 0) inventory_.start = inventory_.end = 0;
      statistics = true;
    } else if (op == kOpMetadataIndex) {
      Fields fields(body(pos, length), length);
      uint64_t at = 0;
      uint64_t size = 0;
      if (!fields.number(at) || !fields.number(size)) {
        fail(where.text() + " is shorter than its fields");
      }
      metadata.emplace_back(at, size);
    }
    pos += kRecordHead + length;
  }
  // The summary describes the file only when it states its statistics and defines every
  // channel they count (rosbag2 also lists there the channels it never wrote a message on).
  if (!statistics || channels_.size() < stated_channels || (messages > 0 && channels_.empty())) {
    return false;
  }
  inventory_.messages.assign(channels_.size(), 0);
  for (const auto& [id, count] : counts) {
    const auto found = places_.find(id);
    if (found == places_.end()) return false;
    inventory_.messages[found->second] = count;
  }
  // A metadata index that points elsewhere than at a metadata record (some writers of files
  // without chunks do so) is passed over: no message depends on it.
  for (const auto& [at, size] : metadata) {
    uint8_t head[kRecordHead];
    uint64_t length = 0;
    if (at > data_end_ || size < kRecordHead || size > data_end_ - at ||
        !window_.read_at(at, head, kRecordHead)) {
      continue;
    }
    std::memcpy(&length, head + 1, sizeof length);
    if (head[0] != kOpMetadata || length != size - kRecordHead) continue;
    keep_metadata(body(at, length), length, Where{Where::kFile, at});
  }
  stated_ = true;
  frozen_ = true;
  return true;
}

void McapFile::check_summary_crc(uint64_t summary_start, uint64_t footer_pos, uint32_t crc) {
  // From the summary's start up to the footer's CRC field.
  const uint64_t end = footer_pos + kRecordHead + 16;
  const uLong sum =
      crc_of(summary_start, end - summary_start, "summary at byte " + num(summary_start));
  if (sum != crc) {
    fail("summary at byte " + num(summary_start) + " has the CRC " + num(sum) + ", not the " +
         num(crc) + " its footer states");
  }
}

uLong McapFile::crc_of(uint64_t pos, uint64_t n, const std::string& what) {
  uLong sum = crc32(0, nullptr, 0);
  uint8_t* piece = in_piece_.resize(kPieceBytes);
  for (uint64_t done = 0; done < n;) {
    const uint64_t step = std::min<uint64_t>(kPieceBytes, n - done);
    if (!file_.read_at(pos + done, piece, step)) fail(what + " cannot be read");
    sum = crc32(sum, piece, static_cast<uInt>(step));
    done += step;
  }
  return sum;
}

void McapFile::define_schema(const uint8_t* data, uint64_t size, const Where& where) {
  Fields fields(data, size);
  uint16_t id = 0;
  std::string_view name;
  std::string_view encoding;
  std::string_view text;
  if (!fields.number(id) || !fields.bytes(name) || !fields.bytes(encoding) || !fields.bytes(text)) {
    fail(where.text() + " (schema) is shorter than its fields");
  }
  if (id == 0) fail(where.text() + " defines schema 0, which stands for no schema");
  Schema& schema = schemas_[id];
  schema.name = name;
  schema.encoding = encoding;
  schema.data = text;
}

void McapFile::define_channel(const uint8_t* data, uint64_t size, const Where& where,
                              bool learning) {
  Fields fields(data, size);
  uint16_t id = 0;
  uint16_t schema_id = 0;
  std::string_view topic;
  std::string_view encoding;
  std::vector<std::pair<std::string, std::string>> metadata;
  if (!fields.number(id) || !fields.number(schema_id) || !fields.bytes(topic) ||
      !fields.bytes(encoding) || !fields.text_map(metadata)) {
    fail(where.text() + " (channel) is shorter than its fields");
  }
  std::string type;
  const auto schema = schemas_.find(schema_id);
  if (schema_id != 0) {
    if (schema == schemas_.end()) {
      if (learning) {
        fail(where.text() + " defines channel " + num(id) + " with schema " + num(schema_id) +
             ", which the file does not define before it");
      }
    } else {
      type = schema->second.name;
    }
  }
  const auto known = places_.find(id);
  if (known != places_.end()) {
    const Channel& before = channels_[known->second];
    if (before.topic != topic || (!type.empty() && before.type != type)) {
      fail("channel " + num(id) + " is defined for topic " + before.topic + " (" + before.type +
           ") and again for topic " + std::string(topic) + " (" + type +
           "); its messages cannot be told apart");
    }
    return;
  }
  if (frozen_) {
    fail(where.text() + " defines channel " + num(id) + " (" + std::string(topic) +
         "), which the file's summary or first walk did not find");
  }
  Channel channel;
  channel.topic = topic;
  channel.type = type;
  channel.encoding = encoding;
  if (schema != schemas_.end()) {
    channel.schema_encoding = schema->second.encoding;
    channel.schema = schema->second.data;
  }
  for (const auto& [key, value] : metadata) {
    if (key == "offered_qos_profiles") channel.qos = value;
    if (key == "topic_type_hash") channel.type_description_hash = value;
  }
  channel.metadata = std::move(metadata);
  places_.emplace(id, static_cast<uint32_t>(channels_.size()));
  ids_.push_back(id);
  channels_.push_back(std::move(channel));
}

uint32_t McapFile::place_of(uint16_t id, const Where& where) const {
  const auto found = places_.find(id);
  if (found == places_.end()) {
    fail(where.text("message") + " is on channel " + num(id) + ", which the file does not define");
  }
  return found->second;
}

void McapFile::keep_metadata(const uint8_t* data, uint64_t size, const Where& where) {
  Fields fields(data, size);
  std::string_view name;
  MetadataRecord record;
  if (!fields.bytes(name) || !fields.text_map(record.entries)) {
    fail(where.text("metadata record") + " is shorter than its fields");
  }
  record.name = name;
  stored_.metadata.push_back(std::move(record));
}

void McapFile::walk(const Reading* reading) {
  const bool learning = reading == nullptr;
  uint64_t reported = 0;
  uint64_t pos = kMagicBytes;
  while (pos < data_end_) {
    const Where where{Where::kFile, pos};
    uint8_t head[kRecordHead];
    uint64_t length = 0;
    const bool whole_head = data_end_ - pos >= kRecordHead;
    if (whole_head) {
      if (!window_.read_at(pos, head, kRecordHead)) fail(where.text() + " cannot be read");
      std::memcpy(&length, head + 1, sizeof length);
    }
    const bool cut = !whole_head || length > data_end_ - pos - kRecordHead;
    if (cut && outcome_.recording_closed) {
      fail(where.text() + " runs past the data section's end");
    }
    if (cut && (!whole_head || head[0] != kOpChunk)) {
      if (learning) outcome_.unreadable_bytes = data_end_ - pos;
      break;
    }
    const uint8_t op = head[0];
    if (op == kOpChunk) {
      const uint64_t whole = chunk(pos, length, cut, reading);
      if (cut) {
        if (learning) outcome_.unreadable_bytes = data_end_ - whole;
        break;
      }
    } else if (op == kOpSchema) {
      if (learning) define_schema(body(pos, length), length, where);
    } else if (op == kOpChannel) {
      define_channel(body(pos, length), length, where, learning);
    } else if (op == kOpMessage) {
      uint8_t fields[kMessageHead];
      uint16_t id = 0;
      if (length < kMessageHead) fail(where.text() + " (message) is shorter than its fields");
      if (!window_.read_at(pos + kRecordHead, fields, kMessageHead)) {
        fail(where.text() + " cannot be read");
      }
      std::memcpy(&id, fields, sizeof id);
      const uint32_t place = place_of(id, where);
      if (learning) {
        uint64_t log_time = 0;
        std::memcpy(&log_time, fields + 6, sizeof log_time);
        count(place, log_time);
      } else if ((*reading->target)[place] != nullptr) {
        hand_over(body(pos, length), length, (*reading->target)[place], *reading->on_message);
      }
    } else if (op == kOpMetadata) {
      if (learning) keep_metadata(body(pos, length), length, where);
    } else if (op == kOpDataEnd || op == kOpFooter) {
      break;
    }
    pos += kRecordHead + length;
    if (!learning && *reading->on_bytes && (op == kOpChunk || pos - reported >= kProgressStep)) {
      reported = pos;
      (*reading->on_bytes)(pos);
    }
  }
}

uint64_t McapFile::chunk(uint64_t pos, uint64_t length, bool cut, const Reading* reading) {
  // Put in words only for an error: nothing is built per chunk.
  const auto at = [pos] { return "chunk at byte " + num(pos); };
  // What of the chunk's body the file holds.
  const uint64_t body_pos = pos + kRecordHead;
  const uint64_t held = std::min(length, data_end_ - body_pos);
  uint8_t fixed[kChunkFixed];
  if (held < kChunkFixed) return pos;
  if (!window_.read_at(body_pos, fixed, kChunkFixed)) fail(at() + " cannot be read");
  uint64_t size = 0;
  uint32_t crc = 0;
  uint32_t name_length = 0;
  std::memcpy(&size, fixed + 16, 8);
  std::memcpy(&crc, fixed + 24, 4);
  std::memcpy(&name_length, fixed + 28, 4);
  if (name_length > kMaxCompressionName) {
    fail(at() + " names a compression of " + num(name_length) + " bytes");
  }
  if (held < kChunkFixed + name_length + 8) {
    if (cut) return pos;
    fail(at() + " is shorter than its fields");
  }
  char name[kMaxCompressionName];
  uint64_t stored = 0;
  if (!window_.read_at(body_pos + kChunkFixed, name, name_length)) fail(at() + " cannot be read");
  if (!window_.read_at(body_pos + kChunkFixed + name_length, &stored, 8))
    fail(at() + " cannot be read");
  const std::string_view compression(name, name_length);
  const uint64_t records_pos = body_pos + kChunkFixed + name_length + 8;
  const uint64_t room = length - (kChunkFixed + name_length + 8);
  if (stored > room) {
    fail(at() + " stores " + num(stored) + " bytes of records, more than its length of " +
         num(length) + " bytes holds");
  }
  if (size > kMaxMcapChunkBytes) {
    fail(at() + " states " + num(size) + " uncompressed bytes, more than the " +
         num(kMaxMcapChunkBytes) + " a chunk may hold");
  }
  if (compression.empty()) {
    if (stored != size) {
      fail(at() + " stores " + num(stored) + " bytes, not the " + num(size) + " it states");
    }
  } else if (compression == "lz4" || compression == "zstd") {
    const uint64_t ratio = compression == "lz4" ? kLz4MaxRatio : kZstdMaxRatio;
    if (size / ratio > stored) {
      fail(at() + " states " + num(size) + " bytes, more than its " + num(stored) +
           " stored bytes can hold with " + std::string(compression));
    }
  } else {
    fail(at() + " uses compression " + std::string(compression) + ", which is not read");
  }
  const uint64_t available = cut ? std::min(stored, data_end_ - records_pos) : stored;
  const uint64_t next = pos + kRecordHead + length;
  // A chunk without a wanted message is not read.
  if (reading != nullptr && !cut && !may_hold_wanted(next, *reading->target)) {
    return records_pos + available;
  }
  // The walk on opening only learns the channels: read() checks the CRC.
  const bool check_crc = !cut && crc != 0 && reading != nullptr;
  uLong sum = 0;
  const bool lz4 = compression == "lz4";
  const auto check = [&](const Inflated& inflated) {
    if (cut) return;
    if (!inflated.error.empty()) {
      fail(at() + " cannot be decompressed (" + std::string(compression) + ": " + inflated.error +
           ")");
    }
    if (!inflated.whole || inflated.size != size) {
      fail(at() + " decompresses to " + (inflated.whole ? "" : "more than ") + num(inflated.size) +
           " bytes, not the " + num(size) + " it states");
    }
  };
  const auto check_sum = [&] {
    if (check_crc && sum != crc) {
      fail(at() + " has records whose CRC is " + num(sum) + ", not the " + num(crc) + " it states");
    }
  };
  uint64_t whole = 0;
  if (size <= kStreamedMcapChunkBytes) {
    uint8_t* records = chunk_.resize(std::max<uint64_t>(size, 1));
    uint64_t records_size = available;
    if (compression.empty()) {
      if (!file_.read_at(records_pos, records, available)) fail(at() + " cannot be read");
      if (check_crc) sum = crc32(crc32(0, nullptr, 0), records, static_cast<uInt>(available));
    } else {
      const Inflated inflated =
          inflate(lz4, records_pos, available, size, pos, records, {}, check_crc ? &sum : nullptr);
      check(inflated);
      records_size = inflated.size;
    }
    // The next chunk, about as long, is read by the system while this one is handed over.
    if (reading != nullptr && !cut) file_.read_ahead(next, length);
    check_sum();
    HeldRecords source(records);
    whole = hand_over_chunk(source, records_size, cut, pos, reading, true);
  } else {
    // Too large to hold: a plain chunk's records are read from the file as they are walked, a
    // compressed chunk's from a scratch file it is decompressed into.
    const std::string fault = path_ + ": " + at() + " cannot be read";
    std::unique_ptr<FileReader> scratch;
    uint64_t records_size = available;
    if (compression.empty()) {
      if (check_crc) sum = crc_of(records_pos, available, at());
    } else {
      const std::string dir = safe_output::scratch_dir();
      safe_output::ScratchFile out(dir, ".mcap-chunk");
      const auto refuse = [&](const char* doing) {
        const int error = errno;
        fail(std::string("cannot ") + doing + " a scratch file in " + dir + " for the " + at() +
             ": " + std::strerror(error));
      };
      if (out.fd() < 0) refuse("create");
      const Inflated inflated = inflate(
          lz4, records_pos, available, size, pos, nullptr,
          [&](const uint8_t* piece, size_t n) {
            if (!out.write(piece, n)) refuse("write");
          },
          check_crc ? &sum : nullptr);
      check(inflated);
      records_size = inflated.size;
      scratch = std::make_unique<FileReader>(out.release());
    }
    if (reading != nullptr && !cut) file_.read_ahead(next, length);
    check_sum();
    Window window(scratch != nullptr ? *scratch : file_);
    FileRecords source(window, scratch != nullptr ? 0 : records_pos, message_, fault);
    whole = hand_over_chunk(source, records_size, cut, pos, reading, false);
  }
  // A compressed chunk cut short counts whole among the unreadable bytes, though the whole
  // messages at its start are read.
  return compression.empty() ? records_pos + whole : pos;
}

Inflated McapFile::inflate(bool lz4, uint64_t from, uint64_t available, uint64_t size,
                           uint64_t chunk_pos, uint8_t* out,
                           const std::function<void(const uint8_t*, size_t)>& take, uLong* sum) {
  Inflated result;
  Decompressor codec(lz4);
  if (sum != nullptr) *sum = crc32(0, nullptr, 0);
  uint8_t* in = in_piece_.resize(kPieceBytes);
  uint8_t* piece = out == nullptr ? out_piece_.resize(kPieceBytes) : nullptr;
  uint64_t fed = 0;
  size_t in_at = 0;
  size_t in_size = 0;
  for (;;) {
    if (in_at == in_size && fed < available) {
      in_size = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, available - fed));
      if (!file_.read_at(from + fed, in, in_size)) {
        fail("chunk at byte " + num(chunk_pos) + " cannot be read");
      }
      fed += in_size;
      in_at = 0;
    }
    uint8_t* to = out != nullptr ? out + result.size : piece;
    const uint64_t room =
        out != nullptr ? size - result.size : std::min<uint64_t>(kPieceBytes, size - result.size);
    size_t used = 0;
    size_t given = 0;
    bool ended = false;
    result.error =
        codec.step(in + in_at, in_size - in_at, to, static_cast<size_t>(room), used, given, ended);
    if (!result.error.empty()) break;
    in_at += used;
    if (given > 0) {
      if (sum != nullptr) *sum = crc32(*sum, to, static_cast<uInt>(given));
      if (out == nullptr) take(to, given);
      result.size += given;
    }
    if (ended && in_at == in_size && fed == available) {
      result.whole = true;
      break;
    }
    // No step further: the output is full with more to come, or the stored bytes end before the
    // stream does.
    if (used == 0 && given == 0) break;
  }
  return result;
}

bool McapFile::may_hold_wanted(uint64_t next, const std::vector<const Channel*>& target) {
  if (std::none_of(target.begin(), target.end(), [](const Channel* c) { return c != nullptr; })) {
    return false;
  }
  bool indexed = false;
  uint8_t head[kRecordHead + 2];
  while (data_end_ - next >= sizeof head && window_.read_at(next, head, sizeof head) &&
         head[0] == kOpMessageIndex) {
    uint64_t length = 0;
    uint16_t id = 0;
    std::memcpy(&length, head + 1, sizeof length);
    std::memcpy(&id, head + kRecordHead, sizeof id);
    if (length < sizeof id || length > data_end_ - next - kRecordHead) break;
    const auto found = places_.find(id);
    if (found == places_.end() || target[found->second] != nullptr) return true;
    indexed = true;
    next += kRecordHead + length;
  }
  return !indexed;
}

template <class Source, class OnMessage>
uint64_t McapFile::chunk_records(Source& source, uint64_t size, bool cut, uint64_t chunk_pos,
                                 bool learning, OnMessage&& on_message) {
  uint64_t offset = 0;
  while (offset < size) {
    const Where where{Where::kChunk, offset, chunk_pos};
    uint64_t length = 0;
    uint8_t op = 0;
    if (size - offset >= kRecordHead) {
      const uint8_t* head = source.head(offset, kRecordHead);
      op = head[0];
      std::memcpy(&length, head + 1, sizeof length);
    }
    if (size - offset < kRecordHead || length > size - offset - kRecordHead) {
      if (cut) break;
      fail(where.text() + " runs past the chunk's end");
    }
    const uint64_t at = offset + kRecordHead;
    if (op == kOpSchema) {
      if (learning) define_schema(source.body(at, length), length, where);
    } else if (op == kOpChannel) {
      define_channel(source.body(at, length), length, where, learning);
    } else if (op == kOpMessage) {
      if (length < kMessageHead) fail(where.text() + " (message) is shorter than its fields");
      const uint8_t* fields = source.head(at, kMessageHead);
      uint16_t id = 0;
      uint64_t log_time = 0;
      std::memcpy(&id, fields, sizeof id);
      std::memcpy(&log_time, fields + 6, sizeof log_time);
      on_message(offset, length, place_of(id, where), log_time);
    }
    offset += kRecordHead + length;
  }
  return offset;
}

template <class Source>
uint64_t McapFile::hand_over_chunk(Source& source, uint64_t size, bool cut, uint64_t chunk_pos,
                                   const Reading* reading, bool list) {
  const bool learning = reading == nullptr;
  if (learning) {
    return chunk_records(
        source, size, cut, chunk_pos, true,
        [this](uint64_t, uint64_t, uint32_t place, uint64_t log_time) { count(place, log_time); });
  }
  const std::vector<const Channel*>& target = *reading->target;
  bool sorted = true;
  uint64_t last = 0;
  const auto add = [&](uint64_t offset, uint64_t length, uint32_t place, uint64_t log_time) {
    pending_.push_back({log_time, offset, place, static_cast<uint32_t>(length)});
  };
  pending_.clear();
  const uint64_t whole =
      chunk_records(source, size, cut, chunk_pos, false,
                    [&](uint64_t offset, uint64_t length, uint32_t place, uint64_t log_time) {
                      if (target[place] == nullptr) return;
                      sorted = sorted && last <= log_time;
                      last = log_time;
                      if (list) add(offset, length, place, log_time);
                    });
  if (!list) {
    // The second walk meets only whole records, judged by the first.
    if (sorted) {
      chunk_records(source, whole, false, chunk_pos, false,
                    [&](uint64_t offset, uint64_t length, uint32_t place, uint64_t) {
                      if (target[place] == nullptr) return;
                      hand_over(source.body(offset + kRecordHead, length), length, target[place],
                                *reading->on_message);
                    });
      return whole;
    }
    chunk_records(source, whole, false, chunk_pos, false,
                  [&](uint64_t offset, uint64_t length, uint32_t place, uint64_t log_time) {
                    if (target[place] != nullptr) add(offset, length, place, log_time);
                  });
  }
  if (!sorted) {
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.log_time < b.log_time; });
  }
  for (const Pending& p : pending_) {
    hand_over(source.body(p.offset + kRecordHead, p.length), p.length, target[p.place],
              *reading->on_message);
  }
  pending_.clear();
  // The list of a chunk too large to hold is not kept for the next chunk.
  if (!list) pending_.shrink_to_fit();
  return whole;
}

void McapFile::read(const std::vector<const Channel*>& target,
                    const std::function<void(const Message&)>& on_message,
                    const std::function<void(uint64_t)>& on_bytes) {
  const Reading reading{&target, &on_message, &on_bytes};
  walk(&reading);
  if (on_bytes) on_bytes(file_.size());
}

}  // namespace

std::unique_ptr<StorageFile> open_mcap_file(const std::string& path) {
  auto file = std::make_unique<McapFile>(path);
  file->open();
  return file;
}

}  // namespace ros2_storage
