#include "bag_format/bag_record.h"

#include <bzlib.h>
#include <fcntl.h>
#include <roslz4/lz4s.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "safe_output/file_kind.h"
#include "safe_output/scratch_file.h"

namespace bag_format {

namespace {

std::string at_chunk(uint64_t chunk_pos) { return "chunk at byte " + std::to_string(chunk_pos); }

// An lz4 block turns each stored byte into at most 255 bytes of output.
constexpr uint64_t kMaxLz4Ratio = 255;
// Stored and decompressed bytes go through buffers of this size.
constexpr uint32_t kPieceBytes = 1u << 20;

// One decompression stream of either codec, fed and drained through plain pointers.
class Inflater {
 public:
  explicit Inflater(bool bz2) : bz2_(bz2) {
    const int status = bz2_ ? BZ2_bzDecompressInit(&bz_, 0, 0) : roslz4_decompressStart(&lz4_);
    if (status != (bz2_ ? BZ_OK : ROSLZ4_OK)) throw std::bad_alloc();
  }
  ~Inflater() {
    if (bz2_) {
      BZ2_bzDecompressEnd(&bz_);
    } else {
      roslz4_decompressEnd(&lz4_);
    }
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  void feed(char* in, uint32_t n) {
    if (bz2_) {
      bz_.next_in = in;
      bz_.avail_in = n;
    } else {
      lz4_.input_next = in;
      lz4_.input_left = static_cast<int>(n);
    }
  }
  uint32_t input_left() const {
    return bz2_ ? bz_.avail_in : static_cast<uint32_t>(lz4_.input_left);
  }
  // Decompresses into `out` (`n` bytes); sets `produced`. Returns 1 at the stream's end, 0 while
  // it goes on, or the codec's negative error code.
  int run(char* out, uint32_t n, uint32_t& produced) {
    if (bz2_) {
      bz_.next_out = out;
      bz_.avail_out = n;
      const int status = BZ2_bzDecompress(&bz_);
      produced = n - bz_.avail_out;
      return status == BZ_STREAM_END ? 1 : status == BZ_OK ? 0 : (status < 0 ? status : -status);
    }
    lz4_.output_next = out;
    lz4_.output_left = static_cast<int>(n);
    const int status = roslz4_decompress(&lz4_);
    produced = n - static_cast<uint32_t>(lz4_.output_left);
    // The output piece is full; the stream goes on into the next one.
    if (status == ROSLZ4_OUTPUT_SMALL) return 0;
    return status == ROSLZ4_STREAM_END ? 1
           : status == ROSLZ4_OK       ? 0
                                       : (status < 0 ? status : -status);
  }

 private:
  bool bz2_;
  bz_stream bz_{};
  roslz4_stream lz4_{};
};

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
    // Names are a few bytes long: a plain scan finds the '=' sooner than a library search.
    size_t equals = 0;
    while (equals < field.size() && field[equals] != '=') ++equals;
    if (equals == field.size()) return Parse::kRefused;
    fields_.emplace_back(field.substr(0, equals), field.substr(equals + 1));
  }
  return Parse::kOk;
}

bool RecordFields::text(std::string_view name, std::string_view& value) const {
  const auto same = [&](std::string_view field_name) {
    return field_name.size() == name.size() &&
           std::equal(name.begin(), name.end(), field_name.begin());
  };
  for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
    if (same(it->first)) {
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

BagFile::BagFile(int fd) : fd_(fd) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error_ = std::string("cannot read a scratch file: ") + std::strerror(errno);
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

void decompress_chunk_in_pieces(const BagFile& file, std::string_view compression,
                                uint64_t stored_pos, uint32_t stored_size, uint32_t size,
                                uint64_t chunk_pos,
                                const std::function<void(const char*, size_t)>& take) {
  const std::string at = at_chunk(chunk_pos);
  if (compression != "bz2" && compression != "lz4") {
    throw std::runtime_error(at + " uses compression " + std::string(compression) +
                             ", which is not read");
  }
  const bool bz2 = compression == "bz2";
  if (!bz2 && uint64_t{size} > uint64_t{stored_size} * kMaxLz4Ratio) {
    throw std::runtime_error(at + " states " + std::to_string(size) + " bytes, more than its " +
                             std::to_string(stored_size) + " stored bytes can hold with lz4");
  }
  const auto fault = [&](int status) {
    return std::runtime_error(at + " cannot be decompressed (" + std::string(compression) +
                              " error " + std::to_string(status) + ")");
  };
  Inflater inflater(bz2);
  std::vector<char> in(kPieceBytes);
  std::vector<char> out(kPieceBytes);
  uint64_t fed = 0;
  uint64_t produced = 0;
  for (;;) {
    if (inflater.input_left() == 0 && fed < stored_size) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kPieceBytes, stored_size - fed));
      if (!file.read_at(stored_pos + fed, in.data(), n)) {
        throw std::runtime_error(at + " cannot be read");
      }
      inflater.feed(in.data(), n);
      fed += n;
    }
    const uint32_t left = inflater.input_left();
    uint32_t got = 0;
    const int status = inflater.run(out.data(), kPieceBytes, got);
    if (status < 0) throw fault(status);
    if (got > size - produced) {
      throw std::runtime_error(at + " decompresses to more than the " + std::to_string(size) +
                               " bytes its header states");
    }
    if (got > 0) take(out.data(), got);
    produced += got;
    if (status == 1) break;
    if (got == 0 && inflater.input_left() == left && (left > 0 || fed == stored_size)) {
      // The stream goes no further: the stored bytes end before it does, or it is damaged.
      break;
    }
  }
  if (produced != size) {
    throw std::runtime_error(at + " decompresses to " + std::to_string(produced) +
                             " bytes, not the " + std::to_string(size) + " its header states");
  }
}

std::unique_ptr<BagFile> decompress_chunk_to_file(const BagFile& file, std::string_view compression,
                                                  uint64_t stored_pos, uint32_t stored_size,
                                                  uint32_t size, uint64_t chunk_pos) {
  const std::string dir = safe_output::scratch_dir();
  safe_output::ScratchFile scratch(dir, ".bag-chunk");
  const std::string at = at_chunk(chunk_pos);
  if (scratch.fd() < 0) {
    throw std::runtime_error("cannot create a scratch file in " + dir + " for the " + at + ": " +
                             std::strerror(errno));
  }
  decompress_chunk_in_pieces(
      file, compression, stored_pos, stored_size, size, chunk_pos, [&](const char* data, size_t n) {
        if (!scratch.write(data, n)) {
          throw std::runtime_error("cannot write a scratch file in " + dir + " for the " + at +
                                   ": " + std::strerror(errno));
        }
      });
  auto result = std::make_unique<BagFile>(scratch.release());
  if (!result->error().empty()) throw std::runtime_error(result->error());
  return result;
}

}  // namespace bag_format
