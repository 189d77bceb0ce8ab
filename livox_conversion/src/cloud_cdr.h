#pragma once

// sensor_msgs/msg/PointCloud2 serialised in little-endian CDR, as ROS 2 stores it: the clouds
// the converter writes into ROS 2 recordings, their point records packed by a PointLayout, the
// same bytes as in the ROS 1 cloud of the frame.

#include <cstdint>
#include <string>
#include <vector>

#include "livox_conversion/point_layout.h"

namespace livox_to_pc2 {

// The type name and the ros2msg definition text a recording stores for the clouds: the cloud's
// fields, then std_msgs/Header, builtin_interfaces/Time and sensor_msgs/PointField after
// rosbag2's separator lines, as "MSG: <package>/<type>" without "/msg/".
extern const char kPointCloud2Type[];
std::string pointcloud2_definition();

// Serialises clouds of one layout and frame id. The bytes before the point data depend on the
// layout and the width alone, so they are laid out once and only the stamp and sizes are filled
// in per cloud; the buffer grows to the largest cloud and is reused.
class CdrCloudWriter {
 public:
  CdrCloudWriter(const PointLayout& layout, const std::string& frame_id);

  // Lays out a cloud of `width` points stamped `sec`.`nanosec` (height 1, is_dense true,
  // little-endian; the payload padded to a multiple of 4 with the pad count in the last option
  // byte, as ROS 2 serialises), and returns where its width x point_step bytes of point data go.
  // Throws std::runtime_error when the cloud would not fit a CDR sequence (4 GiB).
  uint8_t* begin(int32_t sec, uint32_t nanosec, uint32_t width);

  // The serialised cloud laid out by the last begin().
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  uint32_t point_step_;
  std::vector<uint8_t> head_;  // encapsulation to the data length, stamp and sizes zero
  size_t width_at_ = 0;        // where height is followed by width
  size_t row_step_at_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace livox_to_pc2
