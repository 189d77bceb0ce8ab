#include "ros2_fixtures.h"

#include <random>

#include "testing/cdr_frames.h"

namespace cloudconv_test {

std::string livox_definition() { return drone_test::livox_frame_definition(); }

std::vector<Ros2Message> write_ros2_recording(
    const std::string& path, const ros2_storage::WriterOptions& options,
    const std::vector<livox_ros_driver2::CustomMsg>& frames) {
  const auto writer = ros2_storage::create_writer(path, options);
  const uint32_t lidar = writer->add_channel({"/livox/lidar",
                                              "livox_ros_driver2/msg/CustomMsg",
                                              "cdr",
                                              "ros2msg",
                                              livox_definition(),
                                              "- history: 1\n  depth: 5\n",
                                              "RIHS01_livox",
                                              {{"offered_qos_profiles", "- history: 1\n"}}});
  const uint32_t status =
      writer->add_channel({"/status", "std_msgs/msg/String", "cdr", "", "", "", "", {}});
  writer->add_channel({"/imu", "sensor_msgs/msg/Imu", "cdr", "ros2msg", "float64 x\n", "", "", {}});
  std::mt19937 random(11);
  std::vector<Ros2Message> messages;
  uint64_t time = 1000000000;
  for (size_t i = 0; i < frames.size(); ++i) {
    Ros2Message frame{"/livox/lidar", time, time + 5, static_cast<uint32_t>(i),
                      drone_test::cdr_frame(frames[i])};
    Ros2Message text{"/status", time + 1000, time + 1000, static_cast<uint32_t>(i), {}};
    text.data.resize(8 + random() % 64);
    for (uint8_t& byte : text.data) byte = static_cast<uint8_t>(random());
    for (const Ros2Message* m : {&frame, &text}) {
      writer->write(m == &frame ? lidar : status, m->log_time, m->publish_time, m->sequence,
                    m->data.data(), m->data.size());
      messages.push_back(*m);
    }
    time += 100000000;
  }
  writer->close();
  return messages;
}

}  // namespace cloudconv_test
