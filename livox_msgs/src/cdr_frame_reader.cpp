#include "livox_msgs/cdr_frame_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace livox_msgs {
namespace {

// The points are handed out as stored once a big-endian frame is swapped, which is the host's
// order only on a little-endian host, as every machine the suite runs on is.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the frame readers presume a little-endian host");

// Bytes of the encapsulation header before the CDR stream.
constexpr size_t kEncapsulationSize = 4;

std::string hex_byte(uint8_t b) {
  static const char kDigits[] = "0123456789abcdef";
  return std::string{kDigits[b >> 4], kDigits[b & 0xF]};
}

// Why an encapsulation other than plain CDR is refused, naming what it is: the XCDR2 kinds by
// the identifiers of DDS-XTypes (00 06 .. 00 0b) and by those some writers use for them
// (00 10 .. 00 15).
std::string unread_encapsulation(uint8_t high, uint8_t low) {
  static const struct {
    uint8_t id;
    const char* kind;
  } kKinds[] = {
      {0x02, "a parameter list (PL_CDR_BE)"},
      {0x03, "a parameter list (PL_CDR_LE)"},
      {0x06, "XCDR2 (CDR2_BE)"},
      {0x07, "XCDR2 (CDR2_LE)"},
      {0x08, "XCDR2 (D_CDR2_BE)"},
      {0x09, "XCDR2 (D_CDR2_LE)"},
      {0x0a, "XCDR2 (PL_CDR2_BE)"},
      {0x0b, "XCDR2 (PL_CDR2_LE)"},
      {0x10, "XCDR2 (CDR2_BE)"},
      {0x11, "XCDR2 (CDR2_LE)"},
      {0x12, "XCDR2 (PL_CDR2_BE)"},
      {0x13, "XCDR2 (PL_CDR2_LE)"},
      {0x14, "XCDR2 (D_CDR2_BE)"},
      {0x15, "XCDR2 (D_CDR2_LE)"},
  };
  std::string what = "is no known kind";
  for (const auto& k : kKinds) {
    if (high == 0 && low == k.id) what = std::string("is ") + k.kind;
  }
  return "its encapsulation " + hex_byte(high) + " " + hex_byte(low) + " " + what +
         ", which is not read; only plain CDR (00 00 big-endian, 00 01 little-endian) is";
}

// Reads the CDR stream after the encapsulation header, each primitive aligned to its own size
// from the stream's start, every read checked against the bytes left.
class Cursor {
 public:
  Cursor(const uint8_t* stream, size_t size, bool big_endian)
      : stream_(stream), size_(size), big_endian_(big_endian) {}

  uint8_t u8(const char* what) { return *take(1, 1, what); }
  uint32_t u32(const char* what) { return static_cast<uint32_t>(number(4, what)); }
  int32_t i32(const char* what) { return static_cast<int32_t>(u32(what)); }
  uint64_t u64(const char* what) { return number(8, what); }

  // A string: a uint32 length that counts the terminating NUL, then the bytes and the NUL.
  void string(std::string& out, const char* what) {
    const size_t at = pos_;
    const uint32_t length = u32(what);
    if (length > left()) {
      throw std::runtime_error("the message is cut short (its " + std::string(what) + " at byte " +
                               message_pos(at) + " states " + std::to_string(length) + " bytes, " +
                               std::to_string(left()) + " remain)");
    }
    const uint8_t* bytes = take(length, 1, what);
    // A length of 0 (no NUL either) is written by some encoders for an empty string.
    if (length > 0 && bytes[length - 1] != 0) {
      throw std::runtime_error("its " + std::string(what) + " at byte " + message_pos(at) +
                               " does not end in a NUL");
    }
    out.assign(reinterpret_cast<const char*>(bytes), length > 0 ? length - 1 : 0);
  }

  // Skips to the next multiple of `alignment`, then takes `n` bytes.
  const uint8_t* take(size_t n, size_t alignment, const char* what) {
    const size_t at = (pos_ + alignment - 1) / alignment * alignment;
    if (at > size_ || n > size_ - at) {
      const size_t remain = at > size_ ? 0 : size_ - at;
      throw std::runtime_error("the message is cut short (its " + std::string(what) + " at byte " +
                               message_pos(at) + " needs " + std::to_string(n) + " bytes, " +
                               std::to_string(remain) + " remain)");
    }
    pos_ = at + n;
    return stream_ + at;
  }

  // Bytes after the current position.
  size_t left() const { return size_ - pos_; }
  size_t pos() const { return pos_; }

 private:
  uint64_t number(size_t n, const char* what) {
    const uint8_t* p = take(n, n, what);
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = big_endian_ ? p[i] : p[n - 1 - i];
      value = value << 8 | b;
    }
    return value;
  }

  static std::string message_pos(size_t stream_pos) {
    return std::to_string(stream_pos + kEncapsulationSize);
  }

  const uint8_t* stream_;
  size_t size_;
  bool big_endian_;
  size_t pos_ = 0;
};

// Reverses the bytes of the four 4-byte fields (offset_time, x, y, z) of `count` points.
void swap_points(uint8_t* points, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* p = points + static_cast<size_t>(i) * CdrFrameReader::kPointStride;
    for (size_t field = 0; field < 16; field += 4) {
      uint32_t v;
      std::memcpy(&v, p + field, 4);
      v = __builtin_bswap32(v);
      std::memcpy(p + field, &v, 4);
    }
  }
}

}  // namespace

void CdrFrameReader::assign(const uint8_t* data, size_t size) {
  count_ = 0;
  points_ = nullptr;
  swapped_ = false;
  bytes_.resize(size);
  if (size > 0) std::memcpy(bytes_.data(), data, size);
}

void CdrFrameReader::parse() { parse_bytes(bytes_.data(), bytes_.size(), true); }

void CdrFrameReader::parse(const uint8_t* data, size_t size) { parse_bytes(data, size, false); }

void CdrFrameReader::parse_bytes(const uint8_t* data, size_t size, bool own) {
  count_ = 0;
  points_ = nullptr;
  if (size == 0) throw std::runtime_error("the message is empty");
  if (size < kEncapsulationSize) {
    throw std::runtime_error("the message is cut short (its encapsulation header needs 4 bytes, " +
                             std::to_string(size) + " remain)");
  }
  // The option bytes (2 and 3) carry the recorder's padding count and are not read.
  if (data[0] != 0 || data[1] > 1) throw std::runtime_error(unread_encapsulation(data[0], data[1]));
  big_endian_ = data[1] == 0;
  Cursor in(data + kEncapsulationSize, size - kEncapsulationSize, big_endian_);
  header_.sec = in.i32("header.stamp.sec");
  header_.nanosec = in.u32("header.stamp.nanosec");
  in.string(header_.frame_id, "header.frame_id");
  timebase_ = in.u64("timebase");
  point_num_ = in.u32("point_num");
  lidar_id_ = in.u8("lidar_id");
  std::memcpy(rsvd_.data(), in.take(rsvd_.size(), 1, "rsvd"), rsvd_.size());
  const uint32_t count = in.u32("points length");
  // The first point starts right after the count (both 4-byte aligned); the last one needs its
  // 19 bytes, every other one 20. point_num is the driver's and is not trusted.
  const size_t left = in.left();
  const uint64_t room = left < kPointSize ? 0 : (left - kPointSize) / kPointStride + 1;
  if (count > room) {
    throw std::runtime_error("it declares " + std::to_string(count) +
                             " points but carries data for " + std::to_string(room));
  }
  const size_t points_at = kEncapsulationSize + in.pos();
  if (big_endian_) {
    // Swapped once, in the buffer: the bytes given are never written.
    if (!own) {
      bytes_.assign(data, data + size);
      swapped_ = false;
    }
    if (!swapped_) swap_points(bytes_.data() + points_at, count);
    swapped_ = true;
    points_ = bytes_.data() + points_at;
  } else {
    points_ = data + points_at;
  }
  count_ = count;
}

}  // namespace livox_msgs
