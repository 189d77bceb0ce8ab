#include "livox_msgs/frame_schema.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/cdr_frames.h"

namespace {

// `text` with its first `from` replaced by `to`.
std::string edited(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The definition text decides whatever the type is called; the name decides only where no
// ros2msg text is stored. Each case names the misreading it catches.
TEST(FrameSchema, LayoutDecidesNotTheName) {
  const std::string d = drone_test::livox_frame_definition();
  const std::string driver2 = "livox_ros_driver2/msg/CustomMsg";
  const struct {
    const char* what;
    std::string type;
    std::string encoding;
    std::string schema;
    bool frame;
  } cases[] = {
      {"as rosbag2 stores it", driver2, "ros2msg", d, true},
      {"a renamed copy of the driver's message", "survey/msg/Scan", "ros2msg", d, true},
      {"the older driver's package", "livox_ros_driver/msg/CustomMsg", "ros2msg",
       edited(d, "MSG: livox_ros_driver2/CustomPoint", "MSG: livox_ros_driver/CustomPoint"), true},
      {"types written with /msg/ and the point's package", driver2, "ros2msg",
       edited(edited(d, "CustomPoint[] points", "livox_ros_driver2/msg/CustomPoint[] points"),
              "MSG: std_msgs/Header", "MSG: std_msgs/msg/Header"),
       true},
      {"Header and Time left to ROS", driver2, "ros2msg",
       d.substr(0, d.find('=')) + d.substr(d.find("MSG: livox") - 81), true},
      {"comments, blank lines and constants", driver2, "ros2msg",
       "# a frame\n\nuint8 MAX_LINES=6\n" + edited(d, "uint64 timebase", "uint64 timebase # ns"),
       true},
      {"a bounded points sequence", driver2, "ros2msg",
       edited(d, "CustomPoint[] points", "CustomPoint[<=100000] points"), true},
      {"the point's definition missing", driver2, "ros2msg", d.substr(0, d.find("MSG: livox")),
       false},
      {"point fields in another order", driver2, "ros2msg",
       edited(d, "float32 x               # X axis, metres\nfloat32 y", "float32 y\nfloat32 x"),
       false},
      {"a coordinate of another type", driver2, "ros2msg", edited(d, "float32 z", "float64 z"),
       false},
      {"a point field more", driver2, "ros2msg", d + "uint8 extra\n", false},
      {"rsvd of another length", driver2, "ros2msg", edited(d, "uint8[3] rsvd", "uint8[4] rsvd"),
       false},
      {"a ROS 1 header with seq", driver2, "ros2msg",
       edited(d, "builtin_interfaces/Time stamp", "uint32 seq\nbuiltin_interfaces/Time stamp"),
       false},
      {"a stamp of unsigned seconds", driver2, "ros2msg", edited(d, "int32 sec", "uint32 sec"),
       false},
      {"points not a sequence", driver2, "ros2msg",
       edited(d, "CustomPoint[] points", "CustomPoint points"), false},
      {"a field renamed", driver2, "ros2msg", edited(d, "uint32 point_num", "uint32 points_num"),
       false},
      {"no definition, the driver's name", driver2, "", "", true},
      {"no definition, the older driver's name", "livox_ros_driver/msg/CustomMsg", "", "", true},
      {"no definition, another name", "livox_ros_driver2/msg/CustomPoint", "", "", false},
      {"an IDL definition: the name decides", driver2, "ros2idl", "module livox_ros_driver2 {};",
       true},
      {"an empty ros2msg text: the name decides", "survey/msg/Scan", "ros2msg", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(livox_msgs::is_livox_frame_type(c.type, c.encoding, c.schema), c.frame);
  }
}

}  // namespace
