#pragma once

// Reading helpers shared by the recording readers (ROS 1 bags and MCAP files): a buffer that
// grows without clearing, and a window of the file for small reads. Header-only templates, so
// each reader keeps its own file type and its reads stay inline.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace safe_output {

// A byte buffer that grows without clearing what it gains: it is always filled completely before
// it is read. Holds the largest size asked for so far, and never more.
class GrowBuffer {
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

// Small reads (record heads, index entries, short records) through a window of the file, so that
// thousands of small records cost a few system calls rather than several each. A read that goes
// on where the window ends doubles it, up to 64 KiB; one elsewhere (the next chunk's head, a
// megabyte on) starts at 4 KiB, so that a walk over sparse records does not read the chunks' data
// through the window. Reads above a quarter of the window go to the file directly. Holds 64 KiB.
//
// `File` offers `bool read_at(uint64_t pos, void* out, uint64_t n)` (exactly n bytes, false when
// they are not all there or a read fails) and `uint64_t size()`; read_at here has the same
// contract. The file must outlive the window.
template <typename File>
class ReadWindow {
 public:
  explicit ReadWindow(const File& file) : file_(file) {}

  bool read_at(uint64_t pos, void* out, uint64_t n) {
    if (n == 0 || n > kWindow / 4) return file_.read_at(pos, out, n);
    const bool inside = pos >= start_ && pos - start_ <= filled_;
    if (!inside || n > filled_ - (pos - start_)) {
      const uint64_t want =
          inside && filled_ > 0 ? std::min<uint64_t>(2 * filled_, kWindow) : kFirstWindow;
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
  const File& file_;
  std::vector<uint8_t> window_ = std::vector<uint8_t>(kWindow);
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
};

}  // namespace safe_output
