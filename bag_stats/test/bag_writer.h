#pragma once

#include <ros/time.h>
#include <rosbag/bag.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/bag_bytes.h"

namespace bagstat_test {

// One message a test bag holds. The payload is derived from the topic and time.
struct TestMessage {
  enum class Kind { kString, kInt32 };
  std::string topic;
  ros::Time time;
  Kind kind = Kind::kString;
  // Empty: one connection per topic. Otherwise the publisher's name; a topic written with two
  // caller ids (or two kinds) gets one connection each, as a recorder would write it.
  std::string callerid;
};

// Writes `messages` in order to a new bag at `path`. A small `chunk_threshold` spreads the
// messages over many chunks.
void write_bag(const std::string& path, const std::vector<TestMessage>& messages,
               rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
               uint32_t chunk_threshold = 768 * 1024);

// A valid bag of 200 messages in many chunks ("valid.bag") and its damaged copies
// (drone_test::damaged_copies), written into `dir`.
std::vector<drone_test::NamedFile> damaged_bags(const std::string& dir);

// Topics whose names test byte-wise ordering: upper case before lower case, a prefix before its
// extensions, punctuation, a UTF-8 name and names that need escaping in JSON.
std::vector<TestMessage> several_topics();

}  // namespace bagstat_test
