#include "bag_check/bag_structure.h"

#include <fcntl.h>
#include <ros/time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bag_check/bag_chunks.h"
#include "bag_check/bag_record.h"

namespace bag_check {

namespace {

// A read-only descriptor, closed on every path.
class Descriptor {
 public:
  // O_NONBLOCK: opening a FIFO must not wait for a writer (reads of a regular file ignore it).
  explicit Descriptor(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

using Fields = std::map<std::string, std::string>;

// Parses the record header fields stored in `bytes` as the bag library does, a later field of
// the same name replacing an earlier one. kPastEnd when a field or its length word runs past the
// header's end, which the library would read beyond; kRefused where the library refuses the
// header on its own.
Parse parse_fields(const uint8_t* bytes, uint32_t length, Fields& fields) {
  RecordFields parsed;
  const Parse result = parsed.parse(bytes, length);
  if (result != Parse::kOk) return result;
  for (const auto& f : parsed.all()) fields[std::string(f.first)] = std::string(f.second);
  return Parse::kOk;
}

template <class T>
bool field(const Fields& fields, const char* name, T& value) {
  const auto it = fields.find(name);
  if (it == fields.end() || it->second.size() != sizeof(T)) return false;
  std::memcpy(&value, it->second.data(), sizeof(T));
  return true;
}

bool op_is(const Fields& fields, uint8_t op) {
  uint8_t value = 0;
  return field(fields, "op", value) && value == op;
}

bool has_text(const Fields& fields, const char* name) {
  const auto it = fields.find(name);
  return it != fields.end() && !it->second.empty();
}

// The bag library trusts the lengths stored in a bag. A field length that runs past the end of
// its record header makes it copy bytes from beyond the header's buffer; an index entry stamped
// at time 0 that names a connection the bag does not define makes it dereference a connection
// that does not exist; an index entry's offset is used inside the chunk's buffer without a look
// at the buffer's size. Any of these can kill the process.
// StructureWalk walks the records in the library's order (version 2.0 bags: file header,
// connection records, chunk-info records, then each chunk's header and the index records after
// it) and names the first such fault. Wherever the library itself refuses the file (a short read,
// a missing or mis-sized field, an unexpected record) the walk ends without a finding and leaves
// the refusal and its text to the library.
class StructureWalk {
 public:
  explicit StructureWalk(const std::string& path) : path_(path), file_(path) {}

  // Empty when nothing was found that the bag library cannot read safely; otherwise the fault.
  std::string run() {
    struct stat st {};
    if (file_.get() < 0 || ::fstat(file_.get(), &st) != 0) return "";
    const std::string kind = file_kind(st.st_mode);
    if (!kind.empty()) return path_ + " is not a regular file (" + kind + ")";
    size_ = static_cast<uint64_t>(st.st_size);
    walk();
    return fault_;
  }

 private:
  struct Chunk {
    uint64_t pos;
    size_t index_records;  // one per distinct connection listed in the chunk-info record
  };

  // The steps below return false when the walk ends: either the library would refuse the file
  // at that point, or fault_ has been set.
  void walk() {
    int version = 0;
    if (!version_line(version) || version != 200) return;  // older formats are left to the library

    Fields file_header;
    uint32_t data_length = 0;
    uint64_t index_pos = 0;
    uint32_t connection_count = 0;
    uint32_t chunk_count = 0;
    if (!header(file_header) || !read(&data_length, 4) || !op_is(file_header, kOpFileHeader) ||
        !field(file_header, "index_pos", index_pos) || index_pos == 0 ||
        !field(file_header, "conn_count", connection_count) ||
        !field(file_header, "chunk_count", chunk_count)) {
      return;
    }
    // An encrypted bag's records are read through a plug-in, beyond what this walk follows.
    const auto encryptor = file_header.find("encryptor");
    if (encryptor != file_header.end() && !encryptor->second.empty()) return;

    pos_ = index_pos;
    std::set<uint32_t> connections;
    for (uint32_t i = 0; i < connection_count; ++i) {
      Fields record;
      Fields connection_header;
      uint32_t id = 0;
      if (!header(record) || !op_is(record, kOpConnection) || !field(record, "conn", id) ||
          !has_text(record, "topic") || !header(connection_header)) {
        return;
      }
      connections.insert(id);
    }

    std::vector<Chunk> chunks;
    for (uint32_t i = 0; i < chunk_count; ++i) {
      Fields record;
      uint32_t chunk_info_version = 0;
      uint64_t chunk_pos = 0;
      uint64_t time = 0;
      uint32_t count = 0;
      if (!header(record) || !read(&data_length, 4) || !op_is(record, kOpChunkInfo) ||
          !field(record, "ver", chunk_info_version) || chunk_info_version != 1 ||
          !field(record, "chunk_pos", chunk_pos) || !field(record, "start_time", time) ||
          !field(record, "end_time", time) || !field(record, "count", count)) {
        return;
      }
      std::set<uint32_t> ids;
      for (uint32_t j = 0; j < count; ++j) {
        uint32_t entry[2];  // connection id, message count
        if (!read(entry, sizeof entry)) return;
        ids.insert(entry[0]);
      }
      chunks.push_back({chunk_pos, ids.size()});
    }

    for (const Chunk& chunk : chunks) {
      pos_ = chunk.pos;
      Fields record;
      uint32_t compressed_size = 0;
      if (!header(record) || !read(&compressed_size, 4) || !op_is(record, kOpChunk) ||
          !has_text(record, "compression") || !field(record, "size", chunk_size_)) {
        return;
      }
      chunk_pos_ = chunk.pos;
      pos_ += compressed_size;
      for (size_t j = 0; j < chunk.index_records; ++j) {
        if (!index_record(connections)) return;
      }
    }
  }

  // The first line, read as the library reads it: at most 1023 bytes, up to and including the
  // newline, then "#ROS<name> V<major>.<minor>".
  bool version_line(int& version) {
    char line[1024] = {};
    size_t length = 0;
    while (length < sizeof line - 1 && read(&line[length], 1)) {
      if (line[length++] == '\n') break;
    }
    // The numbers are taken as text and converted with strtoll, which saturates: a line such as
    // "#ROSBAG V110799526.0" must not overflow. Only 2.0 is read here, so any number too large
    // to be a version simply makes the line no version this walk knows.
    char name[100];
    char major_text[24];
    char minor_text[24];
    if (std::sscanf(line, "#ROS%99s V%23[-+0-9].%23[-+0-9]", name, major_text, minor_text) != 3) {
      return false;
    }
    const long long major = std::strtoll(major_text, nullptr, 10);
    const long long minor = std::strtoll(minor_text, nullptr, 10);
    constexpr long long kLargest = 1000000;
    if (major < -kLargest || major > kLargest || minor < -kLargest || minor > kLargest) {
      version = -1;
    } else {
      version = static_cast<int>(major * 100 + minor);
    }
    return true;
  }

  // One index record after a chunk: the header, its data length, then `count` entries of
  // 12 bytes (seconds, nanoseconds, offset in the chunk).
  bool index_record(const std::set<uint32_t>& connections) {
    Fields record;
    uint32_t data_length = 0;
    uint32_t index_version = 0;
    uint32_t connection = 0;
    uint32_t count = 0;
    if (!header(record) || !read(&data_length, 4) || !op_is(record, kOpIndexData) ||
        !field(record, "ver", index_version) || !field(record, "conn", connection) ||
        !field(record, "count", count) || index_version != 1) {
      return false;
    }
    // A refused time on a defined connection is logged under its topic: safe.
    const bool defined = connections.count(connection) != 0;
    uint32_t batch[3 * 1024];
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min<uint32_t>(count - done, 1024);
      const uint64_t first = pos_;
      if (!read(batch, uint64_t{n} * 12)) return false;
      for (uint32_t i = 0; i < n; ++i) {
        if (!index_entry(first + uint64_t{i} * 12, &batch[3 * i], defined, connection)) {
          return false;
        }
      }
      done += n;
    }
    return true;
  }

  // One index entry at byte `at`: seconds, nanoseconds, offset of its record in the chunk.
  bool index_entry(uint64_t at, const uint32_t* entry, bool defined, uint32_t connection) {
    if (!defined) {
      bool refused = false;
      try {
        const ros::Time time(entry[0], entry[1]);
        refused = time < ros::TIME_MIN || time > ros::TIME_MAX;
      } catch (const std::exception&) {
        return false;  // the library fails on the same conversion
      }
      if (refused) {
        fault_ = "index entry at byte " + std::to_string(at) + " has time 0 on connection " +
                 std::to_string(connection) + ", which the bag does not define";
        return false;
      }
    }
    const uint32_t offset = entry[2];
    if (offset >= chunk_size_) {
      fault_ = "index entry at byte " + std::to_string(at) + " points at offset " +
               std::to_string(offset) + " of the chunk at byte " + std::to_string(chunk_pos_) +
               ", which holds " + std::to_string(chunk_size_) + " bytes";
      return false;
    }
    return true;
  }

  // A record header at pos_: its length, then its fields.
  bool header(Fields& fields) {
    const uint64_t start = pos_;
    uint32_t length = 0;
    if (!read(&length, 4)) return false;
    // The library sets aside the stated length before it reads. No header it writes comes near
    // kMaxHeaderLength, so a length beyond that and beyond the file is damage, not a copy cut
    // short (whose refusal is left to the library).
    if (length > size_ && length > kMaxHeaderLength) {
      fault_ = "record header at byte " + std::to_string(start) + " states " +
               std::to_string(length) + " bytes, more than the file holds";
      return false;
    }
    if (length > size_ - pos_) return false;
    header_bytes_.resize(length);
    if (!read(header_bytes_.data(), length)) return false;
    switch (parse_fields(header_bytes_.data(), length, fields)) {
      case Parse::kOk:
        return true;
      case Parse::kRefused:
        return false;
      case Parse::kPastEnd:
        break;
    }
    fault_ = "record header at byte " + std::to_string(start) +
             " has a field that runs past the header's end";
    return false;
  }

  // Reads n bytes at pos_ and moves past them; false when the file ends first.
  bool read(void* out, uint64_t n) {
    if (pos_ > size_ || n > size_ - pos_) return false;
    uint8_t* to = static_cast<uint8_t*>(out);
    for (uint64_t done = 0; done < n;) {
      const ssize_t got =
          ::pread(file_.get(), to + done, n - done, static_cast<off_t>(pos_ + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<uint64_t>(got);
    }
    pos_ += n;
    return true;
  }

  const std::string path_;
  Descriptor file_;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> header_bytes_;
  uint64_t chunk_pos_ = 0;   // the chunk whose index records are being read
  uint32_t chunk_size_ = 0;  // its uncompressed size, as its header states
  std::string fault_;
};

}  // namespace

std::string check_structure(const std::string& path) {
  std::string fault = StructureWalk(path).run();
  if (!fault.empty()) return fault;
  // An index that leaves chunks out reads without damage, but as a part of the bag.
  return check_index_covers_chunks(path);
}

}  // namespace bag_check
