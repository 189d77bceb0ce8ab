#pragma once

#include <ros/time.h>
#include <rosbag/bag.h>

#include <cstdint>
#include <string>
#include <vector>

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

// A file that a test hands to the analyzer, with a label for failure messages.
struct NamedFile {
  std::string label;
  std::string path;
};

// Damaged bags written into `dir`, all made from one valid bag of several chunks: copies cut at
// several offsets (inside the magic, the file header, the chunks and the index), a copy whose
// connection record has a field length running past its header, a copy with an index entry at
// time 0 on a connection the bag does not define, and files of random bytes (fixed seeds) after
// the bag magic, with and without a valid file header record.
std::vector<NamedFile> damaged_bags(const std::string& dir);

// Topics whose names test byte-wise ordering: upper case before lower case, a prefix before its
// extensions, punctuation, a UTF-8 name and names that need escaping in JSON.
std::vector<TestMessage> several_topics();

}  // namespace bagstat_test
