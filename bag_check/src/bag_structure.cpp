#include "bag_check/bag_structure.h"

#include <ros/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bag_check {

namespace {

// The bag library trusts the lengths stored in the records that it reads while opening a bag. A
// field length that runs past the end of its record header makes it copy bytes from beyond the
// header's buffer, and an index entry stamped at time 0 that names a connection the bag does not
// define makes it dereference a connection that does not exist: either can kill the process on a
// damaged file. StructureWalk walks the records that opening reads, in the library's order (version
// 2.0 bags: file header, connection records, chunk-info records, then each chunk's header and the
// index records after it), and names the first such fault. Wherever the library itself refuses
// the file (a short read, a missing or mis-sized field, an unexpected record) the walk ends
// without a finding and leaves the refusal and its text to the library. Only record headers and
// index entries are read, never a chunk's data.
class StructureWalk {
 public:
  explicit StructureWalk(const std::string& path) : file_(path, std::ios::binary) {
    if (!file_) return;
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    file_.seekg(0);
  }

  // Empty when nothing was found that the bag library cannot read safely; otherwise the fault.
  std::string run() {
    if (file_) walk();
    return fault_;
  }

 private:
  using Fields = std::map<std::string, std::string>;

  // The header parser refuses a field longer than this before reading it.
  static constexpr uint32_t kMaxFieldLength = 1000000;
  static constexpr uint8_t kOpFileHeader = 0x03;
  static constexpr uint8_t kOpIndexData = 0x04;
  static constexpr uint8_t kOpChunk = 0x05;
  static constexpr uint8_t kOpChunkInfo = 0x06;
  static constexpr uint8_t kOpConnection = 0x07;

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
      uint32_t uncompressed_size = 0;
      if (!header(record) || !read(&compressed_size, 4) || !op_is(record, kOpChunk) ||
          !has_text(record, "compression") || !field(record, "size", uncompressed_size)) {
        return;
      }
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
    char name[100];
    int major = 0;
    int minor = 0;
    if (std::sscanf(line, "#ROS%99s V%d.%d", name, &major, &minor) != 3) return false;
    version = major * 100 + minor;
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
    if (connections.count(connection) != 0) {  // a refused time is logged under its topic: safe
      pos_ += uint64_t{count} * 12;
      return true;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = pos_;
      uint32_t entry[3];
      if (!read(entry, sizeof entry)) return false;
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
    return true;
  }

  // A record header: its length, then fields of the form <length><name>=<value>. A later field
  // of the same name replaces an earlier one, as in the library.
  bool header(Fields& fields) {
    const uint64_t start = pos_;
    uint32_t length = 0;
    if (!read(&length, 4) || length > size_ - pos_) return false;
    std::string bytes(length, '\0');
    if (!read(bytes.data(), length)) return false;
    size_t at = 0;
    while (at < bytes.size()) {
      uint32_t field_length = 0;
      if (bytes.size() - at < 4) return damaged(start);
      std::memcpy(&field_length, bytes.data() + at, 4);
      at += 4;
      if (field_length > kMaxFieldLength) return false;
      if (field_length > bytes.size() - at) return damaged(start);
      const std::string text = bytes.substr(at, field_length);
      at += field_length;
      const size_t equals = text.find('=');
      if (equals == std::string::npos) return false;
      fields[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return true;
  }

  bool damaged(uint64_t start) {
    fault_ = "record header at byte " + std::to_string(start) +
             " has a field that runs past the header's end";
    return false;
  }

  template <class T>
  static bool field(const Fields& fields, const char* name, T& value) {
    const auto it = fields.find(name);
    if (it == fields.end() || it->second.size() != sizeof(T)) return false;
    std::memcpy(&value, it->second.data(), sizeof(T));
    return true;
  }

  static bool op_is(const Fields& fields, uint8_t op) {
    uint8_t value = 0;
    return field(fields, "op", value) && value == op;
  }

  static bool has_text(const Fields& fields, const char* name) {
    const auto it = fields.find(name);
    return it != fields.end() && !it->second.empty();
  }

  // Reads n bytes at pos_ and moves past them; false when the file ends first.
  bool read(void* out, uint64_t n) {
    if (pos_ > size_ || n > size_ - pos_) return false;
    if (stream_pos_ != pos_) {
      file_.clear();
      file_.seekg(static_cast<std::streamoff>(pos_));
    }
    file_.read(static_cast<char*>(out), static_cast<std::streamsize>(n));
    if (!file_ || static_cast<uint64_t>(file_.gcount()) != n) {
      stream_pos_ = UINT64_MAX;
      return false;
    }
    pos_ += n;
    stream_pos_ = pos_;
    return true;
  }

  std::ifstream file_;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  uint64_t stream_pos_ = 0;
  std::string fault_;
};

}  // namespace

std::string check_structure(const std::string& path) { return StructureWalk(path).run(); }

}  // namespace bag_check
