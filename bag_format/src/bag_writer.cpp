#include "bag_format/bag_writer.h"

#include "bag_format/bag_record.h"

#include <bzlib.h>
#include <fcntl.h>
#include <roslz4/lz4s.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "safe_output/output_file.h"

namespace bag_format {

namespace {

// A message written in pieces goes to the file this many bytes at a time.
constexpr size_t kPieceBytes = 1u << 20;
// lz4 frames of 1 MiB blocks, as the bag library writes them.
constexpr int kLz4BlockSizeId = 6;

// Starts a record header (or a connection header) in `out`; returns where its length word is.
size_t begin_header(std::string& out) {
  out.append(4, '\0');
  return out.size() - 4;
}

// Gives the header started at `at` its length.
void end_header(std::string& out, size_t at) {
  const uint32_t length = static_cast<uint32_t>(out.size() - at - 4);
  std::memcpy(&out[at], &length, 4);
}

// A time field: seconds in the upper, nanoseconds in the lower half of `time`.
void put_time(std::string& out, const char* name, uint64_t time) {
  append_number_field(out, name,
                      pack_time(static_cast<uint32_t>(time >> 32), static_cast<uint32_t>(time)));
}

const char* compression_name(ChunkCompression compression) {
  switch (compression) {
    case ChunkCompression::kBz2:
      return "bz2";
    case ChunkCompression::kLz4:
      return "lz4";
    case ChunkCompression::kNone:
      break;
  }
  return "none";
}

// The chunk record's header, its fields in name order as bag writers store them, and the
// data length word.
void put_chunk_header(std::string& out, ChunkCompression compression, uint32_t size,
                      uint32_t stored_size) {
  const size_t at = begin_header(out);
  const std::string name = compression_name(compression);
  append_field(out, "compression", name);
  append_number_field(out, "op", kOpChunk);
  append_number_field(out, "size", size);
  end_header(out, at);
  append_u32(out, stored_size);
}

// The whole file header record, padded to its fixed length.
std::string file_header(uint64_t index_pos, uint32_t connections, uint32_t chunks) {
  std::string out;
  const size_t at = begin_header(out);
  append_number_field(out, "chunk_count", chunks);
  append_number_field(out, "conn_count", connections);
  append_number_field(out, "index_pos", index_pos);
  append_number_field(out, "op", kOpFileHeader);
  end_header(out, at);
  const uint32_t padding = kFileHeaderRecordLength - static_cast<uint32_t>(out.size() - 4);
  append_u32(out, padding);
  out.append(padding, ' ');
  return out;
}

std::string system_text(int error) { return std::strerror(error); }

// safe_output's temporary file; the header at its start is patched through a second
// descriptor, since the file itself is only ever appended to.
class SafeFileOutput : public BagOutput {
 public:
  explicit SafeFileOutput(const std::string& path) : file_(path) {}
  std::string open() { return file_.open(); }
  std::string append(const void* data, size_t size) override { return file_.write(data, size); }
  std::string overwrite(uint64_t offset, const void* data, size_t size) override {
    const int fd = ::open(file_.temp_path().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return system_text(errno);
    const char* p = static_cast<const char*>(data);
    std::string failure;
    while (size > 0) {
      const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failure = system_text(n < 0 ? errno : EIO);
        break;
      }
      p += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && failure.empty()) failure = system_text(errno);
    return failure;
  }
  std::string commit() override { return file_.commit(); }

 private:
  safe_output::OutputFile file_;
};

std::unique_ptr<BagOutput> open_file(const std::string& path) {
  auto output = std::make_unique<SafeFileOutput>(path);
  const std::string failure = output->open();
  if (!failure.empty()) {
    throw std::runtime_error("cannot write output bag " + path + " (" + failure + ")");
  }
  return output;
}

// Where a message record's varying values sit: <38><9>"conn="<id><4>"op="<2><13>"time="<sec>
// <nsec>, then the data length.
constexpr size_t kMessageHeadLength = 4 + 38 + 4;
constexpr size_t kMessageConnectionAt = 4 + 4 + 5;
constexpr size_t kMessageTimeAt = kMessageHeadLength - 4 - 8;
constexpr size_t kMessageLengthAt = kMessageHeadLength - 4;

struct Connection {
  std::string topic;
  std::string header;  // the connection header, encoded with its length word
  bool stored = false;
};

struct IndexEntry {
  uint32_t connection;
  uint64_t time;  // seconds in the upper, nanoseconds in the lower half
  uint32_t offset;
};

}  // namespace

struct BagWriter::State {
  std::unique_ptr<BagOutput> output;
  std::string name;
  BagWriterOptions options;
  std::map<uint32_t, Connection> connections;
  uint32_t stored_connections = 0;
  uint64_t file_pos = 0;
  // The chunk being filled: for uncompressed chunks, room for the chunk header comes first.
  size_t prefix = 0;
  std::string chunk;
  std::vector<IndexEntry> entries;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  std::string compressed;
  std::string chunk_infos;  // the chunk-info records of the chunks written
  uint32_t chunk_count = 0;
  std::string failure;
  bool closed = false;
  // A message record's header with its length words, connection, time and data length 0.
  uint8_t message_head[kMessageHeadLength] = {};

  [[noreturn]] void fail(const std::string& reason) {
    failure = reason;
    throw std::runtime_error(reason);
  }

  void check_usable() const {
    if (!failure.empty()) throw std::runtime_error(failure);
    if (closed) throw std::runtime_error("output bag " + name + " is already closed");
  }

  void put(const std::string& bytes) {
    const std::string failed = output->append(bytes.data(), bytes.size());
    if (!failed.empty()) fail("cannot write output bag " + name + " (" + failed + ")");
    file_pos += bytes.size();
  }

  void start() {
    std::string head = kVersionLine;
    head += file_header(0, 0, 0);
    put(head);
    std::string header;
    put_chunk_header(header, options.compression, 0, 0);
    prefix = options.compression == ChunkCompression::kNone ? header.size() : 0;
    chunk.assign(prefix, '\0');
    std::string message;
    const size_t at = begin_header(message);
    append_number_field(message, "conn", uint32_t{0});
    append_number_field(message, "op", kOpMessageData);
    put_time(message, "time", 0);
    end_header(message, at);
    append_u32(message, 0);
    std::memcpy(message_head, message.data(), sizeof message_head);
  }

  // Compresses the chunk's records into `compressed` after its header.
  void compress(uint32_t size) {
    char* const in = &chunk[prefix];
    std::string& out = compressed;
    out.clear();
    put_chunk_header(out, options.compression, size, 0);
    const size_t at = out.size();
    // Room for incompressible data: bzip2 grows it by at most 1% and 600 bytes, lz4 by 1/255
    // and a few bytes per block, plus the frame's header, block words and checksum.
    uint64_t room = options.compression == ChunkCompression::kBz2
                        ? uint64_t{size} + size / 100 + 600
                        : uint64_t{size} + size / 255 + 32 * (uint64_t{size} / 65536 + 1) + 1024;
    room = std::min<uint64_t>(room, std::numeric_limits<uint32_t>::max());
    out.resize(at + room);
    unsigned int produced = static_cast<unsigned int>(room);
    const int status =
        options.compression == ChunkCompression::kBz2
            ? BZ2_bzBuffToBuffCompress(&out[at], &produced, in, size, 9, 0, 30)
            : roslz4_buffToBuffCompress(in, size, &out[at], &produced, kLz4BlockSizeId);
    if (status != (options.compression == ChunkCompression::kBz2 ? BZ_OK : ROSLZ4_OK)) {
      fail("cannot write output bag " + name + " (" + compression_name(options.compression) +
           " compression error " + std::to_string(status) + ")");
    }
    out.resize(at + produced);
    std::memcpy(&out[at - 4], &produced, 4);
  }

  // Writes the chunk with its index records in one piece and notes its chunk-info record.
  void flush() {
    if (entries.empty()) return;
    std::stable_sort(entries.begin(), entries.end(), [](const IndexEntry& a, const IndexEntry& b) {
      return a.connection != b.connection ? a.connection < b.connection : a.time < b.time;
    });
    const uint32_t size = static_cast<uint32_t>(chunk.size() - prefix);
    std::string* out = &chunk;
    if (options.compression == ChunkCompression::kNone) {
      std::string header;
      put_chunk_header(header, options.compression, size, size);
      std::memcpy(chunk.data(), header.data(), header.size());
    } else {
      compress(size);
      out = &compressed;
    }
    index_chunk(*out, file_pos);
    put(*out);
    entries.clear();
    // A chunk made large by one large message does not keep its memory for the rest.
    const size_t keep = 4 * size_t{options.chunk_threshold} + (1u << 20);
    if (chunk.capacity() > keep) std::string().swap(chunk);
    if (compressed.capacity() > keep) std::string().swap(compressed);
    chunk.assign(prefix, '\0');
  }

  // Appends the index records of the chunk's entries to `out`, after its data, and notes the
  // chunk-info record of the chunk at `chunk_pos`.
  void index_chunk(std::string& out, uint64_t chunk_pos) {
    std::vector<std::pair<uint32_t, uint32_t>> counts;
    for (size_t i = 0; i < entries.size();) {
      size_t j = i;
      while (j < entries.size() && entries[j].connection == entries[i].connection) ++j;
      const uint32_t count = static_cast<uint32_t>(j - i);
      const size_t at = begin_header(out);
      append_number_field(out, "conn", entries[i].connection);
      append_number_field(out, "count", count);
      append_number_field(out, "op", kOpIndexData);
      append_number_field(out, "ver", kIndexVersion);
      end_header(out, at);
      append_u32(out, count * 12);
      for (size_t k = i; k < j; ++k) {
        append_u32(out, static_cast<uint32_t>(entries[k].time >> 32));
        append_u32(out, static_cast<uint32_t>(entries[k].time));
        append_u32(out, entries[k].offset);
      }
      counts.emplace_back(entries[i].connection, count);
      i = j;
    }
    const size_t at = begin_header(chunk_infos);
    append_number_field(chunk_infos, "chunk_pos", chunk_pos);
    append_number_field(chunk_infos, "count", static_cast<uint32_t>(counts.size()));
    put_time(chunk_infos, "end_time", end_time);
    append_number_field(chunk_infos, "op", kOpChunkInfo);
    put_time(chunk_infos, "start_time", start_time);
    append_number_field(chunk_infos, "ver", kIndexVersion);
    end_header(chunk_infos, at);
    append_u32(chunk_infos, static_cast<uint32_t>(counts.size() * 8));
    for (const auto& [connection, count] : counts) {
      append_u32(chunk_infos, connection);
      append_u32(chunk_infos, count);
    }
    ++chunk_count;
  }

  // The declared connection a message goes to; fails for an undeclared one and a time a bag
  // cannot hold.
  Connection& message_connection(uint32_t connection_id, uint32_t sec, uint32_t nsec) {
    check_usable();
    const auto it = connections.find(connection_id);
    if (it == connections.end()) {
      fail("message on connection " + std::to_string(connection_id) + ", which is not declared");
    }
    if ((sec == 0 && nsec == 0) || nsec >= 1000000000u) {
      fail("message on connection " + std::to_string(connection_id) + " has time " +
           std::to_string(sec) + "." + std::to_string(nsec) + ", which a bag cannot hold");
    }
    return it->second;
  }

  // The header of a message record on `connection_id` at `sec`.`nsec` with `size` data bytes,
  // with its length words. It differs from one message to the next only in these values.
  void append_message_head(std::string& out, uint32_t connection_id, uint32_t sec, uint32_t nsec,
                           uint32_t size) const {
    uint8_t head[sizeof message_head];
    std::memcpy(head, message_head, sizeof head);
    std::memcpy(head + kMessageConnectionAt, &connection_id, 4);
    const uint32_t parts[2] = {sec, nsec};
    std::memcpy(head + kMessageTimeAt, parts, 8);
    std::memcpy(head + kMessageLengthAt, &size, 4);
    out.append(reinterpret_cast<const char*>(head), sizeof head);
  }
};

BagWriter::BagWriter(const std::string& path, BagWriterOptions options)
    : BagWriter(open_file(path), path, options) {}

BagWriter::BagWriter(std::unique_ptr<BagOutput> output, const std::string& name,
                     BagWriterOptions options)
    : state_(std::make_unique<State>()) {
  state_->output = std::move(output);
  state_->name = name;
  state_->options = options;
  state_->start();
}

BagWriter::~BagWriter() = default;

void BagWriter::add_connection(const BagConnectionInfo& connection) {
  State& s = *state_;
  s.check_usable();
  const std::string id = std::to_string(connection.id);
  if (s.connections.count(connection.id) != 0) s.fail("connection " + id + " is declared twice");
  if (connection.topic.empty() || connection.topic.size() > kMaxFieldLength) {
    s.fail("connection " + id + " has a topic of " + std::to_string(connection.topic.size()) +
           " bytes");
  }
  Connection c;
  c.topic = connection.topic;
  const size_t at = begin_header(c.header);
  for (const auto& [name, value] : connection.fields) {
    if (name.empty() || name.find('=') != std::string::npos ||
        name.size() + 1 + value.size() > kMaxFieldLength) {
      s.fail("connection " + id + " has a field that bag readers refuse (\"" + name.substr(0, 64) +
             "\")");
    }
    append_field(c.header, name, value);
  }
  end_header(c.header, at);
  for (const char* required : {"type", "md5sum", "message_definition"}) {
    const bool found = std::any_of(connection.fields.begin(), connection.fields.end(),
                                   [&](const auto& f) { return f.first == required; });
    if (!found) s.fail("connection " + id + " has no \"" + required + "\" field");
  }
  s.connections.emplace(connection.id, std::move(c));
}

namespace {

// The connection record: header fields in name order, then the connection header.
void put_connection(std::string& out, uint32_t id, const Connection& c) {
  const size_t at = begin_header(out);
  append_number_field(out, "conn", id);
  append_number_field(out, "op", kOpConnection);
  append_field(out, "topic", c.topic);
  end_header(out, at);
  out.append(c.header);
}

}  // namespace

void BagWriter::write(uint32_t connection_id, uint32_t sec, uint32_t nsec, const uint8_t* data,
                      size_t size) {
  State& s = *state_;
  Connection& c = s.message_connection(connection_id, sec, nsec);
  // Message record: header length, 38 bytes of header, data length, data.
  const uint64_t needed = 4 + 38 + 4 + uint64_t{size} +
                          (c.stored ? 0 : 4 + 13 + 8 + 4 + 6 + c.topic.size() + c.header.size());
  const uint64_t limit = std::numeric_limits<uint32_t>::max();
  if (needed > limit - (s.chunk.size() - s.prefix)) s.flush();
  if (needed > limit) {
    s.fail("message of " + std::to_string(size) + " bytes on connection " +
           std::to_string(connection_id) + " does not fit in a chunk");
  }
  const uint64_t time = (uint64_t{sec} << 32) | nsec;
  if (s.entries.empty()) {
    s.start_time = time;
    s.end_time = time;
  }
  if (!c.stored) {
    put_connection(s.chunk, connection_id, c);
    c.stored = true;
    ++s.stored_connections;
  }
  s.entries.push_back({connection_id, time, static_cast<uint32_t>(s.chunk.size() - s.prefix)});
  s.start_time = std::min(s.start_time, time);
  s.end_time = std::max(s.end_time, time);
  s.append_message_head(s.chunk, connection_id, sec, nsec, static_cast<uint32_t>(size));
  if (size > 0) s.chunk.append(reinterpret_cast<const char*>(data), size);
  if (s.chunk.size() - s.prefix > s.options.chunk_threshold) s.flush();
}

void BagWriter::write_pieces(
    uint32_t connection_id, uint32_t sec, uint32_t nsec, uint64_t size,
    const std::function<void(uint64_t from, uint8_t* out, size_t n)>& fill) {
  State& s = *state_;
  Connection& c = s.message_connection(connection_id, sec, nsec);
  if (s.options.compression != ChunkCompression::kNone) {
    // A compressed chunk is compressed in one piece: the message is gathered first.
    if (size > std::numeric_limits<uint32_t>::max()) {
      s.fail("message of " + std::to_string(size) + " bytes on connection " +
             std::to_string(connection_id) + " does not fit in a chunk");
    }
    std::vector<uint8_t> whole(size);
    try {
      if (size > 0) fill(0, whole.data(), size);
    } catch (const std::exception& e) {
      if (s.failure.empty()) s.failure = e.what();
      throw;
    }
    write(connection_id, sec, nsec, whole.data(), whole.size());
    return;
  }
  const uint64_t connection_bytes =
      c.stored ? 0 : 4 + 13 + 8 + 4 + 6 + c.topic.size() + c.header.size();
  const uint64_t chunk_size = connection_bytes + kMessageHeadLength + size;
  if (chunk_size > std::numeric_limits<uint32_t>::max()) {
    s.fail("message of " + std::to_string(size) + " bytes on connection " +
           std::to_string(connection_id) + " does not fit in a chunk");
  }
  // The chunk being filled goes first; the message then takes a chunk of its own, written as
  // it comes.
  s.flush();
  const uint64_t time = (uint64_t{sec} << 32) | nsec;
  s.start_time = s.end_time = time;
  s.entries.push_back({connection_id, time, static_cast<uint32_t>(connection_bytes)});
  std::string lead;
  put_chunk_header(lead, ChunkCompression::kNone, static_cast<uint32_t>(chunk_size),
                   static_cast<uint32_t>(chunk_size));
  if (!c.stored) {
    put_connection(lead, connection_id, c);
    c.stored = true;
    ++s.stored_connections;
  }
  s.append_message_head(lead, connection_id, sec, nsec, static_cast<uint32_t>(size));
  const uint64_t chunk_pos = s.file_pos;
  s.put(lead);
  std::string piece;
  try {
    for (uint64_t from = 0; from < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, size - from));
      piece.resize(n);
      fill(from, reinterpret_cast<uint8_t*>(piece.data()), n);
      s.put(piece);
      from += n;
    }
  } catch (const std::exception& e) {
    // The chunk is not whole: nothing more is written.
    if (s.failure.empty()) s.failure = e.what();
    throw;
  }
  std::string tail;
  s.index_chunk(tail, chunk_pos);
  s.put(tail);
  s.entries.clear();
}

void BagWriter::close() {
  State& s = *state_;
  if (s.closed && s.failure.empty()) return;
  s.check_usable();
  s.flush();
  const uint64_t index_pos = s.file_pos;
  std::string tail;
  for (const auto& [id, c] : s.connections) {
    if (c.stored) put_connection(tail, id, c);
  }
  tail += s.chunk_infos;
  s.put(tail);
  const std::string header = file_header(index_pos, s.stored_connections, s.chunk_count);
  std::string failed = s.output->overwrite(kVersionLineLength, header.data(), header.size());
  if (failed.empty()) failed = s.output->commit();
  if (!failed.empty()) s.fail("cannot write output bag " + s.name + " (" + failed + ")");
  s.closed = true;
}

}  // namespace bag_format
