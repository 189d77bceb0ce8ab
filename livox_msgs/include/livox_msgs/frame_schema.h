#pragma once

#include <string>

namespace livox_msgs {

// Whether a ROS 2 channel's messages are Livox frames in the layout that CdrFrameReader reads,
// judged by the definition stored with the channel rather than by its type name: a `ros2msg`
// definition decides by its fields, names and types in order (CustomMsg: std_msgs/Header
// header, uint64 timebase, uint32 point_num, uint8 lidar_id, uint8[3] rsvd, CustomPoint[]
// points; CustomPoint: uint32 offset_time, float32 x, y, z, uint8 reflectivity, tag, line;
// Header: builtin_interfaces/Time stamp, string frame_id; Time: int32 sec, uint32 nanosec),
// whatever the type is called, so a renamed copy of the driver's message is read and a
// same-named message of another layout is not. Comments, constants and blank lines are
// ignored; std_msgs/Header and builtin_interfaces/Time may be left out of the text, as their
// layout is ROS's own. Only when no ros2msg definition is stored (rosbag2's SQLite files before
// Iron keep none; `schema_encoding` empty or another encoding) does the type name decide:
// livox_ros_driver2/msg/CustomMsg or livox_ros_driver/msg/CustomMsg. Reads nothing else and
// never throws.
bool is_livox_frame_type(const std::string& type, const std::string& schema_encoding,
                         const std::string& schema);

}  // namespace livox_msgs
