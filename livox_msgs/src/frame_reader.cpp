#include "livox_msgs/frame_reader.h"

#include <ros/serialization.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace livox_msgs {
namespace {

namespace ser = ros::serialization;

std::string cut_short(const ser::StreamOverrunException& e) {
  return std::string("the message is cut short (") + e.what() + ")";
}

std::string count_beyond_the_bytes(uint32_t count, uint32_t room) {
  return "it declares " + std::to_string(count) + " points but carries data for " +
         std::to_string(room);
}

}  // namespace

void FrameReader::assign(const uint8_t* data, size_t size) {
  count_ = 0;
  points_ = nullptr;
  // A bag stores a message's length in 32 bits; the parser reads no more than that.
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("the message is larger than a bag can hold");
  }
  bytes_.resize(size);
  if (size > 0) std::memcpy(bytes_.data(), data, size);
}

void FrameReader::parse() {
  count_ = 0;
  points_ = nullptr;
  if (bytes_.empty()) throw std::runtime_error("the message is empty");
  ser::IStream in(bytes_.data(), static_cast<uint32_t>(bytes_.size()));
  uint32_t count = 0;
  try {
    // The fields in the order that the message type serialises them.
    ser::deserialize(in, header_);
    in.next(timebase_);
    in.next(point_num_);
    in.next(lidar_id_);
    std::memcpy(rsvd_.data(), in.advance(static_cast<uint32_t>(rsvd_.size())), rsvd_.size());
    in.next(count);
  } catch (const ser::StreamOverrunException& e) {
    throw std::runtime_error(cut_short(e));
  }
  // The points array's own length counts; point_num is the driver's and is not trusted.
  const uint32_t room = in.getLength() / kPointSize;
  if (count > room) throw std::runtime_error(count_beyond_the_bytes(count, room));
  count_ = count;
  points_ = in.getData();
}

}  // namespace livox_msgs
