#pragma once

#include <std_msgs/Header.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "livox_msgs/frame_points.h"

namespace livox_msgs {

// Reads serialised Livox frames (livox_ros_driver2/CustomMsg) straight from their stored bytes,
// one frame at a time. The points are read from their packed records in place, so a pass over a
// recording allocates nothing per point: assigned bytes go into one buffer that is reused. The
// length of the points array is checked against the bytes that follow it before anything is read
// from them, so a damaged count fails the frame instead of claiming gigabytes of memory.
//
// Use: assign() the bytes, parse() them, then read the fields and points; they stay valid until
// the next assign or parse.
//
// The points are packed without padding, kPointSize bytes apart.
class FrameReader : public FramePoints<19> {
 public:
  // Copies `size` serialised bytes from `data` into the buffer (`data` may be null when `size`
  // is 0).
  void assign(const uint8_t* data, size_t size);

  // Parses the buffer: the header, the fixed fields and the length of the points array. Throws
  // std::runtime_error when the bytes do not hold a whole frame; its text gives the reason
  // alone ("the message is empty", "the message is cut short (...)", "it declares N points but
  // carries data for M"), for the caller to say which frame it
  // was. After a failure the frame holds no points.
  void parse();

  // The frame's header, as recorded.
  const std_msgs::Header& header() const { return header_; }

 private:
  std::vector<uint8_t> bytes_;  // the serialised frame
  std_msgs::Header header_;
};

}  // namespace livox_msgs
