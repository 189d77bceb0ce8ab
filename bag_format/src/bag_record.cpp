#include "bag_format/bag_record.h"

#include <bzlib.h>
#include <fcntl.h>
#include <roslz4/lz4s.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "safe_output/file_kind.h"

namespace bag_format {

namespace {

std::string at_chunk(uint64_t chunk_pos) { return "chunk at byte " + std::to_string(chunk_pos); }

}  // namespace

Parse RecordFields::parse(const uint8_t* bytes, uint32_t length) {
  fields_.clear();
  const std::string_view all(reinterpret_cast<const char*>(bytes), length);
  size_t at = 0;
  while (at < all.size()) {
    uint32_t field_length = 0;
    if (all.size() - at < sizeof field_length) return Parse::kPastEnd;
    std::memcpy(&field_length, all.data() + at, sizeof field_length);
    at += sizeof field_length;
    if (field_length > kMaxFieldLength) return Parse::kRefused;
    if (field_length > all.size() - at) return Parse::kPastEnd;
    const std::string_view field = all.substr(at, field_length);
    at += field_length;
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos) return Parse::kRefused;
    fields_.emplace_back(field.substr(0, equals), field.substr(equals + 1));
  }
  return Parse::kOk;
}

bool RecordFields::text(std::string_view name, std::string_view& value) const {
  for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
    if (it->first == name) {
      value = it->second;
      return true;
    }
  }
  return false;
}

bool RecordFields::time(std::string_view name, uint32_t& sec, uint32_t& nsec) const {
  uint64_t packed = 0;
  if (!number(name, packed)) return false;
  sec = static_cast<uint32_t>(packed);
  nsec = static_cast<uint32_t>(packed >> 32);
  return nsec < kNanosecondsPerSecond;
}

void append_u32(std::string& out, uint32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.append(bytes, 4);
}

void append_field(std::string& out, std::string_view name, std::string_view value) {
  append_u32(out, static_cast<uint32_t>(name.size() + 1 + value.size()));
  out.append(name);
  out.push_back('=');
  out.append(value);
}

uint64_t pack_time(uint32_t sec, uint32_t nsec) { return (uint64_t{nsec} << 32) | sec; }

void append_record(std::string& out, std::string_view header_fields, std::string_view data) {
  append_u32(out, static_cast<uint32_t>(header_fields.size()));
  out.append(header_fields);
  append_u32(out, static_cast<uint32_t>(data.size()));
  out.append(data);
}

BagFile::BagFile(const std::string& path)
    // O_NONBLOCK: opening a FIFO must not wait for a writer (reads of a regular file ignore it).
    : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_ < 0) {
    error_ = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error_ = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  const std::string kind = safe_output::file_kind(st.st_mode);
  if (!kind.empty()) {
    error_ = path + " is not a regular file (" + kind + ")";
    return;
  }
  size_ = static_cast<uint64_t>(st.st_size);
}

BagFile::~BagFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool BagFile::read_at(uint64_t pos, void* out, uint64_t n) const {
  if (!error_.empty() || pos > size_ || n > size_ - pos) return false;
  auto* to = static_cast<uint8_t*>(out);
  while (n > 0) {
    const size_t ask = static_cast<size_t>(std::min<uint64_t>(n, SSIZE_MAX));
    const ssize_t got = ::pread(fd_, to, ask, static_cast<off_t>(pos));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    pos += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

bool known_compression(std::string_view compression) {
  return compression == "none" || compression == "bz2" || compression == "lz4";
}

std::string decompress_chunk(std::string_view compression, const uint8_t* stored,
                             uint32_t stored_size, uint8_t* out, uint32_t size,
                             uint64_t chunk_pos) {
  if (compression == "none") {
    if (stored_size != size) {
      return at_chunk(chunk_pos) + " stores " + std::to_string(stored_size) + " bytes, not the " +
             std::to_string(size) + " its header states";
    }
    if (size > 0) std::memcpy(out, stored, size);
    return "";
  }
  if (!known_compression(compression)) {
    return at_chunk(chunk_pos) + " uses compression " + std::string(compression) +
           ", which is not read";
  }
  // Both codecs take non-const pointers but only read the input.
  char* const in = const_cast<char*>(reinterpret_cast<const char*>(stored));
  char* const to = reinterpret_cast<char*>(out);
  unsigned int produced = size;
  const bool bz2 = compression == "bz2";
  const int status = bz2 ? BZ2_bzBuffToBuffDecompress(to, &produced, in, stored_size, 0, 0)
                         : roslz4_buffToBuffDecompress(in, stored_size, to, &produced);
  if (status != (bz2 ? BZ_OK : ROSLZ4_OK)) {
    return at_chunk(chunk_pos) + " cannot be decompressed (" + std::string(compression) +
           " error " + std::to_string(status) + ")";
  }
  if (produced != size) {
    return at_chunk(chunk_pos) + " decompresses to " + std::to_string(produced) +
           " bytes, not the " + std::to_string(size) + " its header states";
  }
  return "";
}

}  // namespace bag_format
