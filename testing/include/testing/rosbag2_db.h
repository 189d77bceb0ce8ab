#pragma once

// rosbag2 SQLite files (.db3) written for tests with libsqlite3, in the recorder's schema.

#include <cstdint>
#include <string>
#include <vector>

namespace drone_test {

struct Db3Topic {
  std::string name;
  std::string type;  // "livox_ros_driver2/msg/CustomMsg"
  std::string serialization_format = "cdr";
  // A ros2msg definition text: stored in message_definitions (the layout of Jazzy and later)
  // when any topic has one; with none, the file has the layout of Humble, without definitions.
  std::string definition;
};

struct Db3Message {
  int topic = 1;          // 1-based place in the topics given
  int64_t timestamp = 0;  // ns
  std::vector<uint8_t> data;
};

// Writes `path` anew. Throws std::runtime_error when SQLite refuses.
void write_rosbag2_db3(const std::string& path, const std::vector<Db3Topic>& topics,
                       const std::vector<Db3Message>& messages);

}  // namespace drone_test
