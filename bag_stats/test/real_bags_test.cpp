// The shared real-world bags, written by other projects' tools, checked against Debian's
// python3-rosbag (the reader behind `rosbag info`), never against numbers of our own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bag_format/bag_reader.h"
#include "bag_stats/bag_analyzer.h"
#include "testing/process.h"
#include "view_walk.h"

namespace {

// Prints, for the bag named by argv[1], either "UNREADABLE" and the reader's error, or: the
// result document bagstat_node must produce, the first and last message time in nanoseconds,
// the number of messages stamped at time 0, and per topic "name<TAB>count<TAB>type".
// Counts are taken twice, from the bag's index (get_type_and_topic_info, as `rosbag info` prints
// them) and by reading every message record; the two must agree. Messages stamped at time 0 are
// counted like every other, as `rosbag info` counts them (the C++ bag library refuses to load
// them, which the test reports as the difference from a walk over the library's view). A
// topic's type is that of the last connection, by id, that carries messages. Times come from
// the messages read, not from the chunk records, whose order `rosbag info` trusts even when
// chunks are out of order.
const char kReader[] = R"PY(
import json, sys, rosbag
try:
    bag = rosbag.Bag(sys.argv[1])
except Exception as e:
    print('UNREADABLE')
    print('%s: %s' % (type(e).__name__, e))
    sys.exit(0)
with bag:
    info = bag.get_type_and_topic_info()
    index_counts = {t: v.message_count for t, v in info.topics.items() if v.message_count > 0}
    carried = {cid for cid, entries in bag._connection_indexes.items() if entries}
    last_type = {}
    for c in sorted(bag._connections.values(), key=lambda c: c.id):
        if c.id in carried:
            last_type[c.topic] = c.datatype
    counts = {}
    first = last = None
    at_zero = 0
    for topic, _, t in bag.read_messages(raw=True):
        counts[topic] = counts.get(topic, 0) + 1
        ns = t.to_nsec()
        if ns == 0:
            at_zero += 1
        first = ns if first is None or ns < first else first
        last = ns if last is None or ns > last else last
if counts != index_counts:
    print('index and messages disagree: %r %r' % (index_counts, counts), file=sys.stderr)
    sys.exit(2)
names = sorted(counts)  # code point order of str is the byte order of UTF-8
topics = ','.join('{"name":%s,"count":%d,"msg_type":%s}' % (
    json.dumps(n, ensure_ascii=False), counts[n], json.dumps(last_type[n], ensure_ascii=False))
    for n in names)
duration = (last - first) / 1e9 if names else 0.0
print('{"topics":[%s],"total_messages":%d,"duration_seconds":%.2f}' % (
    topics, sum(counts.values()), duration))
print('%d %d %d' % (first or 0, last or 0, at_zero))
for n in names:
    print('%s\t%d\t%s' % (n, counts[n], last_type[n]))
)PY";

struct Reference {
  bool readable = false;
  std::string document;
  long long first_ns = 0;
  long long last_ns = 0;
  int at_time_zero = 0;  // messages the bag holds at time 0, which the bag library drops
  std::vector<std::string> topic_lines;
};

Reference run_reader(const std::string& path) {
  const drone_test::ProcessResult py = drone_test::run_python(kReader, {path});
  EXPECT_EQ(py.exit_code, 0) << py.err;
  const std::vector<std::string> lines = drone_test::split_lines(py.out);
  Reference ref;
  if (lines.empty() || lines[0] == "UNREADABLE") return ref;
  EXPECT_GE(lines.size(), 2u);
  ref.readable = true;
  ref.document = lines[0];
  std::istringstream(lines[1]) >> ref.first_ns >> ref.last_ns >> ref.at_time_zero;
  ref.topic_lines.assign(lines.begin() + 2, lines.end());
  return ref;
}

// The reader runs once per bag for the whole test program.
const Reference& read_reference(const std::string& path) {
  static std::map<std::string, Reference> cache;
  auto it = cache.find(path);
  if (it == cache.end()) it = cache.emplace(path, run_reader(path)).first;
  return it->second;
}

std::vector<std::string> shared_bags() {
  std::vector<std::string> paths;
  for (const auto& e : std::filesystem::directory_iterator(drone_test::fixture_path("bags"))) {
    if (e.path().extension() == ".bag") paths.push_back(e.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(RealBags, AllSharedBagsArePresent) {
  std::vector<std::string> names;
  for (const std::string& p : shared_bags()) {
    names.push_back(std::filesystem::path(p).filename().string());
  }
  for (const char* expected :
       {"embag-array_test.bag", "embag-test.bag", "embag-test_2.bag", "empty-file.bag",
        "example-bz2.bag", "example-lz4.bag", "example-unsorted-chunks.bag", "example.bag",
        "fake_sensors_sample.bag", "no-messages.bag"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }
}

// The library's record: counts, types and times against the reader's.
TEST(RealBags, AnalyzerAgreesWithTheIndependentReader) {
  for (const std::string& path : shared_bags()) {
    SCOPED_TRACE(path);
    const Reference& ref = read_reference(path);
    const bag_analyzer::BagAnalysisResult r = bag_analyzer::BagAnalyzer::analyze(path);
    if (!ref.readable) {
      EXPECT_FALSE(r.success);
      EXPECT_EQ(r.error_message.rfind("无法打开 bag 文件: ", 0), 0u) << r.error_message;
      continue;
    }
    ASSERT_TRUE(r.success) << r.error_message;
    std::vector<std::string> ours;
    for (const auto& t : r.topics) {
      ours.push_back(t.name + "\t" + std::to_string(t.message_count) + "\t" + t.msg_type);
    }
    EXPECT_EQ(ours, ref.topic_lines);
    EXPECT_NEAR(r.start_time, ref.first_ns / 1e9, 1e-6);
    EXPECT_NEAR(r.end_time, ref.last_ns / 1e9, 1e-6);
    EXPECT_NEAR(r.duration, (ref.last_ns - ref.first_ns) / 1e9, 1e-6);
  }
}

// Against a walk over every message of the bag library's view, the inventory that this analysis
// gave before it read the index section alone: equal on every shared bag the library reads
// whole; where a bag holds messages stamped at time 0, which the library drops when it opens
// the bag, exactly those are the difference.
TEST(RealBags, AnalyzerAgreesWithTheViewWalk) {
  for (const std::string& path : shared_bags()) {
    SCOPED_TRACE(path);
    const Reference& ref = read_reference(path);
    if (!ref.readable) continue;
    ASSERT_TRUE(bag_format::BagReader(path).index_counts()) << "the index section is read";
    const bag_analyzer::BagAnalysisResult r = bag_analyzer::BagAnalyzer::analyze(path);
    const bag_analyzer::BagAnalysisResult walk = bagstat_test::view_walk(path);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(r.total_messages, walk.total_messages + ref.at_time_zero);
    if (ref.at_time_zero == 0) {
      EXPECT_EQ(bagstat_test::inventory(r), bagstat_test::inventory(walk));
    } else {
      RecordProperty(std::filesystem::path(path).filename().string() + " messages at time 0",
                     ref.at_time_zero);
      EXPECT_EQ(r.start_time, 0.0);
      EXPECT_EQ(r.end_time, walk.end_time);
    }
  }
}

// The program's result document, byte for byte as the reader's numbers give it.
TEST(RealBags, ProgramPrintsTheReadersInventory) {
  for (const std::string& path : shared_bags()) {
    SCOPED_TRACE(path);
    const Reference& ref = read_reference(path);
    const drone_test::ProcessResult run = drone_test::run_program("bagstat_node", {"--bag", path});
    ASSERT_EQ(run.signal, 0);
    const std::vector<std::string> lines = drone_test::split_lines(run.out);
    ASSERT_FALSE(lines.empty());
    if (!ref.readable) {
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_EQ(run.err.rfind("[ERROR] 无法打开 bag 文件: ", 0), 0u) << run.err;
      continue;
    }
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(lines.back(),
              R"({"_progress":{"percent":100,"message":"任务完成","metadata":{"result":)" +
                  ref.document + R"(,"files":[]}}})");
  }
}

}  // namespace
