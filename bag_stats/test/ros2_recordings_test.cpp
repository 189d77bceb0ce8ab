// bagstat_node on the real ROS 2 recordings of testing/fixtures/ros2/ (written by the ROS 2
// recorder), checked against what the recorder itself states (metadata.yaml) and against
// Python's sqlite3 module reading the .db3 files, never against numbers of our own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/process.h"

namespace {

// Prints the result document bagstat_node must give for the recording named by argv[1] (a
// folder or one storage file), from the recorder's metadata.yaml beside it where there is one
// (its per-topic counts and types, its duration), else from every .db3 file read with sqlite3:
// topics with messages in byte order, the type as recorded, the duration from the first to the
// last message's timestamp. With neither, prints NONE.
const char kReference[] = R"PY(
import os, sqlite3, sys, yaml
path = sys.argv[1]
folder = path if os.path.isdir(path) else os.path.dirname(path)
meta = os.path.join(folder, 'metadata.yaml')
counts, types = {}, {}
if os.path.exists(meta):
    info = yaml.safe_load(open(meta))['rosbag2_bagfile_information']
    for t in info['topics_with_message_count']:
        name = t['topic_metadata']['name']
        counts[name] = counts.get(name, 0) + t['message_count']
        types[name] = t['topic_metadata']['type']
    duration = info['duration']['nanoseconds'] / 1e9
else:
    files = [path] if not os.path.isdir(path) else sorted(
        os.path.join(path, f) for f in os.listdir(path) if f.endswith('.db3'))
    if not files or not all(f.endswith('.db3') for f in files):
        print('NONE')
        sys.exit(0)
    first = last = None
    for f in files:
        db = sqlite3.connect('file:%s?mode=ro' % f, uri=True)
        for name, type_, n, lo, hi in db.execute(
                'SELECT t.name, t.type, count(*), min(m.timestamp), max(m.timestamp) '
                'FROM messages m JOIN topics t ON m.topic_id = t.id GROUP BY t.id'):
            counts[name] = counts.get(name, 0) + n
            types[name] = type_
            first = lo if first is None or lo < first else first
            last = hi if last is None or hi > last else last
        db.close()
    duration = (last - first) / 1e9 if first is not None else 0.0
names = sorted(n for n in counts if counts[n] > 0)
print('{"topics":[%s],"total_messages":%d,"duration_seconds":%.2f}' % (','.join(
    '{"name":"%s","count":%d,"msg_type":"%s"}' % (n, counts[n], types[n]) for n in names),
    sum(counts.values()), duration))
)PY";

std::string reference(const std::string& path) {
  const drone_test::ProcessResult py = drone_test::run_python(kReference, {path});
  EXPECT_EQ(py.exit_code, 0) << py.err;
  const std::vector<std::string> lines = drone_test::split_lines(py.out);
  return lines.empty() ? "" : lines[0];
}

// The result document of a successful bagstat_node run.
std::string result_document(const drone_test::ProcessResult& run) {
  const std::vector<std::string> lines = drone_test::split_lines(run.out);
  if (lines.empty()) return "";
  const std::string& last = lines.back();
  const std::string head = "\"result\":";
  const std::string tail = ",\"files\":[]}}}";
  const size_t at = last.find(head);
  if (at == std::string::npos || last.size() < at + head.size() + tail.size()) return last;
  return last.substr(at + head.size(), last.size() - tail.size() - at - head.size());
}

// Each recording as the recorder left it, given as its folder and as its first storage file
// alone: MCAP and SQLite, one file and split into five, every CDR kind, service events, folders
// whose metadata.yaml was lost.
TEST(Ros2Recordings, CountsAndDurationsAreTheRecordersOwn) {
  const struct {
    const char* input;
    const char* reference;  // where the reference comes from; empty: the input itself
  } cases[] = {
      {"mcap-talker", ""},
      {"mcap-talker/talker.mcap", ""},
      {"sqlite3-talker", ""},
      {"sqlite3-talker/talker.db3", ""},
      {"mcap-split", ""},
      {"sqlite3-split", ""},
      {"mcap-cdr_test", ""},
      {"sqlite3-cdr_test", ""},
      {"sqlite3-cdr_test/cdr_test_0.db3", ""},
      {"mcap-services", ""},
      {"sqlite3-no-metadata", ""},
      {"sqlite3-no-metadata/multiple_files_2.db3", ""},
      // The same recording as the SQLite one (rosbag2's reindex test recording in each storage).
      {"mcap-no-metadata", "sqlite3-no-metadata"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string input = drone_test::fixture_path(std::string("ros2/") + c.input);
    const std::string expected = reference(
        *c.reference != 0 ? drone_test::fixture_path(std::string("ros2/") + c.reference) : input);
    ASSERT_NE(expected, "NONE");
    const drone_test::ProcessResult run = drone_test::run_program("bagstat_node", {"--bag", input});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(result_document(run), expected);
  }
}

// The Livox recordings of independent writers (testing/fixtures/ros2-livox/): counts and times
// as expected.txt states them, the writer's own account of what it stored, for every storage
// layout; the recording that was cut off says so before its counts.
TEST(Ros2Recordings, LivoxRecordingsOfIndependentWriters) {
  struct Topic {
    uint64_t count;
    uint64_t first;
    uint64_t last;
  };
  std::map<std::string, std::map<std::string, Topic>> stated;  // recording, topic
  std::ifstream in(drone_test::fixture_path("ros2-livox/expected.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string recording, topic;
    Topic t{};
    if (words >> recording >> topic >> t.count >> t.first >> t.last) stated[recording][topic] = t;
  }
  ASSERT_EQ(stated.size(), 7u);
  const std::map<std::string, std::string> types = {
      {"/livox/imu", "sensor_msgs/msg/Imu"}, {"/livox/lidar", "livox_ros_driver2/msg/CustomMsg"}};
  for (const auto& [recording, topics] : stated) {
    SCOPED_TRACE(recording);
    std::string listed;
    uint64_t total = 0, first = UINT64_MAX, last = 0;
    for (const auto& [name, t] : topics) {  // byte order of the names
      listed += std::string(listed.empty() ? "" : ",") + "{\"name\":\"" + name +
                "\",\"count\":" + std::to_string(t.count) + ",\"msg_type\":\"" + types.at(name) +
                "\"}";
      total += t.count;
      first = std::min(first, t.first);
      last = std::max(last, t.last);
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.2f", static_cast<double>(last - first) / 1e9);
    const std::string expected = "{\"topics\":[" + listed +
                                 "],\"total_messages\":" + std::to_string(total) +
                                 ",\"duration_seconds\":" + duration + "}";
    const drone_test::ProcessResult run = drone_test::run_program(
        "bagstat_node", {"--bag", drone_test::fixture_path("ros2-livox/" + recording)});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(result_document(run), expected);
    const bool cut = recording == "livox-cut.mcap";
    const bool noted =
        run.out.find("录制未正常结束（bag 没有索引），已按数据块统计") != std::string::npos;
    EXPECT_EQ(noted, cut) << run.out;
  }
}

}  // namespace
