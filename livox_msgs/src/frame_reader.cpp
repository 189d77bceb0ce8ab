#include "livox_msgs/frame_reader.h"

#include <ros/serialization.h>
#include <rosbag/message_instance.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <boost/shared_ptr.hpp>

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

// One stored Livox frame as the bag library's own decoder reads it. The walk over the frame's
// fields (below) stops at the frame's last point and never copies the rest of the record's
// stated length, which the bag library does not check against the chunk that holds it: copying
// the whole stated length (MessageInstance::write) runs past the chunk's buffer when the length
// of its last record is overstated.
struct StoredFrame {
  std::vector<uint8_t> bytes;  // the serialised frame, header through last point
};

// A frame whose bytes do not hold what its fields declare; caught by FrameReader::load.
class FrameDamage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace
}  // namespace livox_msgs

namespace ros {
namespace message_traits {

// The type fields of livox_ros_driver2/CustomMsg, so that the bag library's type check (the
// recorded MD5 sum) accepts exactly the Livox frames. The frame has a header, but StoredFrame
// has no header member to point at, so HasHeader keeps its default.
template <>
struct IsMessage<livox_msgs::StoredFrame> : TrueType {};
template <>
struct IsFixedSize<livox_msgs::StoredFrame> : FalseType {};
template <>
struct MD5Sum<livox_msgs::StoredFrame> {
  static const char* value() { return MD5Sum<livox_ros_driver2::CustomMsg>::value(); }
  static const char* value(const livox_msgs::StoredFrame& /*frame*/) { return value(); }
};
template <>
struct DataType<livox_msgs::StoredFrame> {
  static const char* value() { return DataType<livox_ros_driver2::CustomMsg>::value(); }
  static const char* value(const livox_msgs::StoredFrame& /*frame*/) { return value(); }
};
template <>
struct Definition<livox_msgs::StoredFrame> {
  static const char* value() { return Definition<livox_ros_driver2::CustomMsg>::value(); }
  static const char* value(const livox_msgs::StoredFrame& /*frame*/) { return value(); }
};

}  // namespace message_traits

namespace serialization {

template <>
struct Serializer<livox_msgs::StoredFrame> {
  // Walks the frame's fields in the order that the message type serialises them, each step
  // checked against the stream's end, and copies the bytes walked. The points array's length is
  // checked against the bytes that follow it before anything is claimed for them.
  template <typename Stream>
  static void read(Stream& stream, livox_msgs::StoredFrame& frame) {
    if (stream.getLength() == 0) throw livox_msgs::FrameDamage("the message is empty");
    const uint8_t* const start = stream.getData();
    stream.advance(4 + 4 + 4);  // header: seq, stamp (sec, nsec)
    uint32_t frame_id_length = 0;
    stream.next(frame_id_length);
    stream.advance(frame_id_length);
    stream.advance(8 + 4 + 1 + 3);  // timebase, point_num, lidar_id, rsvd
    uint32_t count = 0;
    stream.next(count);
    constexpr uint32_t kPointSize = livox_msgs::FrameReader::kPointSize;
    const uint32_t room = stream.getLength() / kPointSize;
    if (count > room) {
      throw livox_msgs::FrameDamage(livox_msgs::count_beyond_the_bytes(count, room));
    }
    stream.advance(count * kPointSize);  // no overflow: count * kPointSize <= getLength()
    const uint8_t* const end = stream.getData();
    frame.bytes.assign(start, end);
  }
};

}  // namespace serialization
}  // namespace ros

namespace livox_msgs {

void FrameReader::load(const rosbag::MessageInstance& message) {
  count_ = 0;
  points_ = nullptr;
  bytes_.clear();
  damage_.clear();
  boost::shared_ptr<StoredFrame> frame;
  try {
    frame = message.instantiate<StoredFrame>();
  } catch (const FrameDamage& e) {
    damage_ = e.what();
    return;
  } catch (const ser::StreamOverrunException& e) {
    damage_ = cut_short(e);
    return;
  }
  if (!frame) {
    damage_ = "the message is a " + message.getDataType() + ", not a " +
              ros::message_traits::DataType<livox_ros_driver2::CustomMsg>::value();
    return;
  }
  // The frame's own buffer becomes the reader's; the previous one goes with `frame`.
  bytes_.swap(frame->bytes);
}

void FrameReader::assign(const uint8_t* data, size_t size) {
  count_ = 0;
  points_ = nullptr;
  damage_.clear();
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
  if (!damage_.empty()) throw std::runtime_error(damage_);
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
