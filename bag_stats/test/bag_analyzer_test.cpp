#include "bag_stats/bag_analyzer.h"

#include <gtest/gtest.h>
#include <rosbag/view.h>
#include <std_msgs/String.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bag_format/bag_reader.h"
#include "bag_writer.h"
#include "testing/bag_bytes.h"
#include "testing/process.h"
#include "testing/temp_dir.h"
#include "view_walk.h"

namespace {

using bag_analyzer::BagAnalysisResult;
using bag_analyzer::BagAnalyzer;
using bagstat_test::TestMessage;
using K = TestMessage::Kind;

const char kPrefix[] = "无法打开 bag 文件: ";

// (name, count, type) of every topic, for whole-list comparisons.
std::vector<std::tuple<std::string, uint32_t, std::string>> listing(const BagAnalysisResult& r) {
  std::vector<std::tuple<std::string, uint32_t, std::string>> out;
  for (const auto& t : r.topics) out.emplace_back(t.name, t.message_count, t.msg_type);
  return out;
}

// Every figure of `r` equals that of `expected`.
void expect_same_inventory(const BagAnalysisResult& r, const BagAnalysisResult& expected) {
  EXPECT_EQ(r.total_messages, expected.total_messages);
  EXPECT_EQ(r.start_time, expected.start_time);
  EXPECT_EQ(r.end_time, expected.end_time);
  EXPECT_EQ(listing(r), listing(expected));
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

void expect_unopened(const BagAnalysisResult& r) {
  EXPECT_FALSE(r.success);
  EXPECT_TRUE(starts_with(r.error_message, kPrefix)) << r.error_message;
  EXPECT_GT(r.error_message.size(), std::strlen(kPrefix)) << "the bag library's text is missing";
  EXPECT_TRUE(r.topics.empty());
  EXPECT_EQ(r.total_messages, 0u);
  EXPECT_EQ(r.start_time, 0.0);
  EXPECT_EQ(r.end_time, 0.0);
  EXPECT_EQ(r.duration, 0.0);
}

TEST(BagAnalyzer, TopicsInByteOrderWithCountsAndTypes) {
  drone_test::TempDir dir;
  const std::string path = dir.file("several.bag");
  bagstat_test::write_bag(path, bagstat_test::several_topics());

  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  ASSERT_TRUE(r.success) << r.error_message;
  const std::string s = "std_msgs/String";
  const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
      {"/B", 1, s},      {"/Z", 2, s},       {"/_", 1, s},           {"/a", 4, "std_msgs/Int32"},
      {"/a/long", 2, s}, {"/b", 3, s},       {"/back\\slash", 1, s}, {"/ctl\x01z", 1, s},
      {"/nl\nx", 1, s},  {"/q\"uote", 1, s}, {"/点云", 2, s},
  };
  EXPECT_EQ(listing(r), expected);
  EXPECT_EQ(r.total_messages, 19u);
  // First message /b at 100 s, last the fourth /a at 100 + 3 * 11 + 2 s plus 0.75 s.
  EXPECT_DOUBLE_EQ(r.start_time, 100.0);
  EXPECT_DOUBLE_EQ(r.end_time, 135.75);
  EXPECT_DOUBLE_EQ(r.duration, 35.75);
  EXPECT_TRUE(r.error_message.empty());
}

// Two connections on one topic: one entry, the sum of both counts, the type of the connection
// listed last (the one recorded second), whichever type that is.
TEST(BagAnalyzer, TopicOnTwoConnectionsSumsCountsAndTakesLastType) {
  struct Case {
    K first;
    K second;
    const char* expected_type;
  };
  const Case cases[] = {{K::kString, K::kInt32, "std_msgs/Int32"},
                        {K::kInt32, K::kString, "std_msgs/String"},
                        {K::kString, K::kString, "std_msgs/String"}};
  for (const Case& c : cases) {
    drone_test::TempDir dir;
    const std::string path = dir.file("two.bag");
    bagstat_test::write_bag(path, {{"/mixed", ros::Time(10, 0), c.first, "/talker"},
                                   {"/other", ros::Time(10, 5), K::kString, ""},
                                   {"/mixed", ros::Time(11, 0), c.second, "/counter"},
                                   {"/mixed", ros::Time(12, 0), c.first, "/talker"},
                                   {"/mixed", ros::Time(13, 0), c.second, "/counter"},
                                   {"/mixed", ros::Time(14, 0), c.second, "/counter"}});
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << r.error_message;
    const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
        {"/mixed", 5, c.expected_type}, {"/other", 1, "std_msgs/String"}};
    EXPECT_EQ(listing(r), expected) << "expected type " << c.expected_type;
    EXPECT_EQ(r.total_messages, 6u);
    EXPECT_DOUBLE_EQ(r.duration, 4.0);
  }
}

TEST(BagAnalyzer, BagWithoutMessagesReportsZeroTimes) {
  drone_test::TempDir dir;
  const std::string path = dir.file("empty.bag");
  bagstat_test::write_bag(path, {});
  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_TRUE(r.topics.empty());
  EXPECT_EQ(r.total_messages, 0u);
  EXPECT_EQ(r.start_time, 0.0);
  EXPECT_EQ(r.end_time, 0.0);
  EXPECT_EQ(r.duration, 0.0);
}

TEST(BagAnalyzer, OneMessageHasZeroDuration) {
  drone_test::TempDir dir;
  const std::string path = dir.file("one.bag");
  bagstat_test::write_bag(path, {{"/only", ros::Time(1700000000, 123456789), K::kString, ""}});
  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  ASSERT_TRUE(r.success) << r.error_message;
  const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
      {"/only", 1, "std_msgs/String"}};
  EXPECT_EQ(listing(r), expected);
  EXPECT_EQ(r.total_messages, 1u);
  EXPECT_DOUBLE_EQ(r.start_time, 1700000000.123456789);
  EXPECT_EQ(r.end_time, r.start_time);
  EXPECT_EQ(r.duration, 0.0);
}

// Compressed and many small chunks, written in and out of time order, give the same inventory
// as one uncompressed chunk.
TEST(BagAnalyzer, CompressionAndChunkOrderDoNotChangeTheResult) {
  std::vector<TestMessage> in_order;
  for (uint32_t i = 0; i < 300; ++i) {
    in_order.push_back({i % 4 == 0 ? "/gps" : (i % 4 == 1 ? "/imu" : "/lidar"),
                        ros::Time(500 + i / 10, (i % 10) * 100000000u), K::kString, ""});
  }
  std::vector<TestMessage> shuffled = in_order;
  std::reverse(shuffled.begin(), shuffled.end());
  std::swap(shuffled[10], shuffled[200]);

  struct Case {
    const char* label;
    rosbag::compression::CompressionType compression;
    uint32_t chunk_threshold;
    const std::vector<TestMessage>* messages;
  };
  const Case cases[] = {
      {"uncompressed, one chunk", rosbag::compression::Uncompressed, 1 << 20, &in_order},
      {"bz2, small chunks", rosbag::compression::BZ2, 512, &in_order},
      {"lz4, small chunks", rosbag::compression::LZ4, 512, &in_order},
      {"lz4, chunks out of time order", rosbag::compression::LZ4, 256, &shuffled},
      {"uncompressed, chunks out of time order", rosbag::compression::Uncompressed, 256, &shuffled},
  };
  const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
      {"/gps", 75, "std_msgs/String"},
      {"/imu", 75, "std_msgs/String"},
      {"/lidar", 150, "std_msgs/String"}};
  for (const Case& c : cases) {
    drone_test::TempDir dir;
    const std::string path = dir.file("c.bag");
    bagstat_test::write_bag(path, *c.messages, c.compression, c.chunk_threshold);
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << c.label << ": " << r.error_message;
    EXPECT_EQ(listing(r), expected) << c.label;
    EXPECT_EQ(r.total_messages, 300u) << c.label;
    EXPECT_DOUBLE_EQ(r.start_time, 500.0) << c.label;
    EXPECT_DOUBLE_EQ(r.end_time, 529.9) << c.label;
    EXPECT_NEAR(r.duration, 29.9, 1e-9) << c.label;
  }
}

// The index section against a walk over every message of the bag library's view, on bags with
// many chunks, several connections per topic (one of them only in the last chunk), chunks out of
// time order, compressed chunks, one message and none.
TEST(BagAnalyzer, IndexAgreesWithTheViewWalk) {
  std::vector<TestMessage> many;
  for (uint32_t i = 0; i < 3000; ++i) {
    many.push_back({"/t" + std::to_string(i % 7),
                    ros::Time(1600000000 + i / 200, (i % 200) * 5000000u), K::kString, ""});
  }
  std::vector<TestMessage> connections;
  for (uint32_t i = 0; i < 600; ++i) {
    const bool first = i % 3 != 0;
    connections.push_back({i % 2 ? "/mixed" : "/status", ros::Time(50 + i, 123456789u),
                           first ? K::kString : K::kInt32, first ? "/talker" : "/counter"});
  }
  connections.push_back({"/status", ros::Time(700, 0), K::kString, "/late"});
  std::vector<TestMessage> unsorted = connections;
  std::reverse(unsorted.begin(), unsorted.end());
  std::swap(unsorted[3], unsorted[400]);

  struct Case {
    const char* label;
    const std::vector<TestMessage>* messages;
    rosbag::compression::CompressionType compression;
    uint32_t chunk_threshold;
  };
  const std::vector<TestMessage> none;
  const std::vector<TestMessage> one = {{"/only", ros::Time(3, 999999999u), K::kInt32, ""}};
  const Case cases[] = {
      {"many chunks", &many, rosbag::compression::Uncompressed, 1024},
      {"many lz4 chunks", &many, rosbag::compression::LZ4, 2048},
      {"several connections per topic", &connections, rosbag::compression::Uncompressed, 700},
      {"several connections per topic, bz2", &connections, rosbag::compression::BZ2, 4096},
      {"chunks out of time order", &unsorted, rosbag::compression::Uncompressed, 300},
      {"one chunk", &connections, rosbag::compression::Uncompressed, 1 << 22},
      {"one message", &one, rosbag::compression::Uncompressed, 1024},
      {"no messages", &none, rosbag::compression::Uncompressed, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    drone_test::TempDir dir;
    const std::string path = dir.file("g.bag");
    bagstat_test::write_bag(path, *c.messages, c.compression, c.chunk_threshold);
    ASSERT_TRUE(bag_format::BagReader(path).index_counts()) << "the index section is read";
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(bagstat_test::inventory(r), bagstat_test::inventory(bagstat_test::view_walk(path)));
    EXPECT_EQ(r.total_messages, c.messages->size());
  }
}

// Tools other than the C++ recorder can write messages stamped at time 0 (one of the shared real
// bags holds one). The chunk-info records count them, as `rosbag info` does, although the bag
// library drops their index entries when it opens the bag.
TEST(BagAnalyzer, MessagesStampedAtTimeZeroAreCounted) {
  drone_test::TempDir dir;
  const std::string path = dir.file("zero.bag");
  const drone_test::ProcessResult w = drone_test::run_python(
      "import sys, rosbag, rospy\n"
      "from std_msgs.msg import String\n"
      "with rosbag.Bag(sys.argv[1], 'w') as b:\n"
      "    b.write('/t', String(data='a'), rospy.Time(0, 0))\n"
      "    b.write('/u', String(data='b'), rospy.Time(0, 0))\n"
      "    b.write('/u', String(data='c'), rospy.Time(5, 0))\n"
      "    b.write('/u', String(data='d'), rospy.Time(7, 500000000))\n",
      {path});
  ASSERT_EQ(w.exit_code, 0) << w.err;
  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  ASSERT_TRUE(r.success) << r.error_message;
  const std::vector<std::tuple<std::string, uint32_t, std::string>> expected = {
      {"/t", 1, "std_msgs/String"}, {"/u", 3, "std_msgs/String"}};
  EXPECT_EQ(listing(r), expected);
  EXPECT_EQ(r.total_messages, 4u);
  EXPECT_EQ(r.start_time, 0.0);
  EXPECT_DOUBLE_EQ(r.duration, 7.5);
  EXPECT_EQ(bagstat_test::view_walk(path).total_messages, 2u) << "the bag library counts them";
}

// The counts come from the index alone: a bag whose compressed chunk data is destroyed (so that
// no message can be read any more) still gives its full inventory.
// A chunk whose data does not decompress is refused as the programs that read its messages refuse
// it: its records are walked for the connections they define.
TEST(BagAnalyzer, ChunkThatDoesNotDecompressIsRefused) {
  drone_test::TempDir dir;
  const std::string path = dir.file("payload.bag");
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 50; ++i) {
    messages.push_back({i % 2 ? "/even" : "/odd", ros::Time(40 + i, 0), K::kString, ""});
  }
  bagstat_test::write_bag(path, messages, rosbag::compression::BZ2, 1 << 20);
  std::string bytes = drone_test::read_file(path);
  const size_t stream = bytes.find("BZh");
  ASSERT_NE(stream, std::string::npos);
  for (size_t i = stream + 20; i < stream + 120; ++i) bytes[i] = static_cast<char>(0xA5);
  drone_test::write_file(path, bytes);

  {  // The damage is real: instantiating a message fails.
    rosbag::Bag bag(path, rosbag::bagmode::Read);
    rosbag::View view(bag);
    EXPECT_ANY_THROW(view.begin()->instantiate<std_msgs::String>());
  }
  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  EXPECT_FALSE(r.success);
  EXPECT_NE(r.error_message.find("cannot be decompressed (bz2 error"), std::string::npos)
      << r.error_message;
}

// A closed bag whose index describes every chunk, in which the chunks define the first
// connection's id again for another topic and type (the index section keeps the first
// definition): the index alone would count the later messages under the first type; refused as
// the programs that read the messages refuse it.
TEST(BagAnalyzer, ConnectionDefinedAgainInsideTheChunksIsRefused) {
  drone_test::TempDir dir;
  const std::string path = dir.file("twice.bag");
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 20; ++i) {
    messages.push_back(
        {i < 10 ? "/imu" : "/gps", ros::Time(10 + i, 0), i < 10 ? K::kString : K::kInt32, ""});
  }
  bagstat_test::write_bag(path, messages, rosbag::compression::Uncompressed, 64);
  const std::string bytes = drone_test::read_file(path);
  const size_t index = drone_test::record_with_op(bytes, drone_test::kOpConnection).pos;
  drone_test::write_file(
      path,
      drone_test::with_connection_renumbered(bytes, 1, 0).substr(0, index) + bytes.substr(index));
  const BagAnalysisResult r = BagAnalyzer::analyze(path);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error_message, std::string(kPrefix) +
                                 "connection 0 is defined for topic /imu (std_msgs/String) and "
                                 "again for topic /gps (std_msgs/Int32); its messages cannot be "
                                 "told apart");
}

TEST(BagAnalyzer, UnopenablePathsAreReportedInTheRecord) {
  drone_test::TempDir dir;
  drone_test::write_file(dir.file("empty.bag"), "");
  drone_test::write_file(dir.file("text.bag"), "not a bag at all\n");
  const std::vector<std::pair<std::string, std::string>> paths = {
      {"missing file", dir.file("missing.bag")},
      {"zero-length file", dir.file("empty.bag")},
      {"text file", dir.file("text.bag")},
      {"directory", dir.path()},
      {"empty path", ""},
  };
  for (const auto& p : paths) {
    SCOPED_TRACE(p.first);
    expect_unopened(BagAnalyzer::analyze(p.second));
  }
}

// Damaged bags never crash the analysis: the bag is refused (in the record, or as an exception
// of the bag library once it is open), or, where the library can still read it, the result is
// that of the undamaged bag. A copy cut before its index is a recording that was not closed: it
// is counted from its chunks, never above the whole bag's counts, and says so.
TEST(BagAnalyzer, DamagedBagsAreRefusedOrReadCorrectly) {
  drone_test::TempDir dir;
  const std::vector<drone_test::NamedFile> files = bagstat_test::damaged_bags(dir.path());
  const BagAnalysisResult valid = BagAnalyzer::analyze(dir.file("valid.bag"));
  ASSERT_TRUE(valid.success);
  ASSERT_EQ(valid.total_messages, 200u);
  for (const drone_test::NamedFile& f : files) {
    SCOPED_TRACE(f.label);
    try {
      const BagAnalysisResult r = BagAnalyzer::analyze(f.path);
      if (r.success && !r.read.recording_closed) {
        EXPECT_LE(r.total_messages, valid.total_messages);
        EXPECT_LE(r.topics.size(), valid.topics.size());
      } else if (r.success) {
        EXPECT_EQ(listing(r), listing(valid));
        EXPECT_EQ(r.duration, valid.duration);
      } else {
        expect_unopened(r);
      }
    } catch (const std::exception& e) {
      SUCCEED() << "refused after opening: " << e.what();
    }
  }
}

// Damage in the index section (connection and chunk-info records) leaves the index unread: the
// bag is counted from its chunks, as the converter and the lidar check read it, and every figure
// is the undamaged bag's. Index records after a chunk whose entries name a connection the bag
// does not define are refused here as the bag reader refuses them for the other programs.
TEST(BagAnalyzer, DamagedIndexSectionIsReadFromTheChunks) {
  drone_test::TempDir dir;
  const std::string valid_path = dir.file("valid.bag");
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 40; ++i) {
    messages.push_back({i % 2 ? "/imu" : "/scan", ros::Time(1000 + i, 0), K::kString, ""});
  }
  bagstat_test::write_bag(valid_path, messages, rosbag::compression::Uncompressed, 1024);
  const std::string valid = drone_test::read_file(valid_path);
  const BagAnalysisResult undamaged = BagAnalyzer::analyze(valid_path);
  ASSERT_EQ(undamaged.total_messages, 40u);

  using drone_test::field_at;
  using drone_test::put_u32;
  // Sets the 4 bytes at `offset` from field `name` of the n-th record with `op`; returns the
  // record's position.
  const auto damage = [](std::string& bytes, uint8_t op, size_t n, const char* name, size_t offset,
                         uint32_t value) {
    const drone_test::BagRecord r = drone_test::record_with_op(bytes, op, n);
    put_u32(bytes, field_at(bytes, r.header_pos, r.header_len, name) + offset, value);
    return r.pos;
  };
  struct Case {
    const char* label;
    uint8_t op;
    size_t n;
    const char* field;
    size_t offset;  // from the field's length word
    uint32_t value;
  };
  const Case cases[] = {
      {"connection topic runs past its header", drone_test::kOpConnection, 0, "topic", 0, 999999},
      {"chunk-info count runs past its header", drone_test::kOpChunkInfo, 1, "count", 0, 999999},
      {"connection topic longer than the library reads", drone_test::kOpConnection, 0, "topic", 0,
       2000000},
      {"chunk-info version 2", drone_test::kOpChunkInfo, 0, "ver", 8, 2},
      {"chunk-info op", drone_test::kOpChunkInfo, 2, "op", 3, 0x07070707},
      {"chunk-info lists more connections than its data holds", drone_test::kOpChunkInfo, 0,
       "count", 10, 3000},
  };
  const std::string path = dir.file("damaged.bag");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = valid;
    const size_t at = damage(bytes, c.op, c.n, c.field, c.offset, c.value);
    drone_test::write_file(path, bytes);
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_FALSE(r.read.recording_closed) << "the index section at " << at << " is not read";
    expect_same_inventory(r, undamaged);
  }

  std::string undefined = valid;
  damage(undefined, drone_test::kOpIndexData, 2, "conn", 9, 77);
  for (const std::string& bytes :
       {drone_test::with_time_zero_on_undefined_connection(valid, 77).bytes, undefined}) {
    drone_test::write_file(path, bytes);
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    expect_unopened(r);
    EXPECT_NE(r.error_message.find(" on connection 77, which the bag does not define"),
              std::string::npos)
        << r.error_message;
  }
}

// The counts of the index section that a reader of `path` found; nullptr when it read none or
// refused the bag. `reader` keeps them.
const bag_format::IndexCounts* index_counts(const std::string& path,
                                            std::optional<bag_format::BagReader>& reader) {
  reader.reset();
  try {
    reader.emplace(path);
  } catch (const std::runtime_error&) {
    return nullptr;
  }
  return reader->index_counts();
}

// Every byte of the index section changed, and the file cut at every byte of it: the index
// parser never reads past a record or the file (the sanitizer build checks), a cut index is
// never read, and the counts it gives are well-formed.
TEST(BagIndex, AnyDamageToTheIndexSectionEndsCleanly) {
  drone_test::TempDir dir;
  const std::string valid_path = dir.file("valid.bag");
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 12; ++i) {
    messages.push_back({i % 3 ? "/a" : "/b", ros::Time(10 + i, 0), i % 4 ? K::kString : K::kInt32,
                        i % 2 ? "/x" : "/y"});
  }
  bagstat_test::write_bag(valid_path, messages, rosbag::compression::Uncompressed, 200);
  const std::string valid = drone_test::read_file(valid_path);
  std::optional<bag_format::BagReader> reader;
  const bag_format::IndexCounts* whole = index_counts(valid_path, reader);
  ASSERT_NE(whole, nullptr);
  uint64_t total = 0;
  for (const uint64_t count : whole->messages) total += count;
  ASSERT_EQ(total, messages.size());

  const size_t index_pos = drone_test::record_with_op(valid, drone_test::kOpConnection).pos;
  const std::string path = dir.file("damaged.bag");
  // A new file each time: the file system writes a truncated and rewritten file back at once.
  const auto rewrite = [&path](const std::string& bytes) {
    std::remove(path.c_str());
    drone_test::write_file(path, bytes);
  };
  size_t read_whole = 0;
  for (size_t at = index_pos; at < valid.size(); ++at) {
    SCOPED_TRACE("byte " + std::to_string(at));
    rewrite(valid.substr(0, at));
    EXPECT_EQ(index_counts(path, reader), nullptr);
    for (const uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
      std::string bytes = valid;
      bytes[at] = static_cast<char>(bytes[at] ^ mask);
      rewrite(bytes);
      const bag_format::IndexCounts* counts = index_counts(path, reader);
      if (counts == nullptr) continue;
      ++read_whole;
      ASSERT_EQ(counts->messages.size(), reader->connections().size());
      for (const bag_format::ReaderConnection& c : reader->connections()) {
        EXPECT_FALSE(c.topic.empty());
      }
      EXPECT_LT(counts->start_nsec, 1000000000u);
      EXPECT_LT(counts->end_nsec, 1000000000u);
      EXPECT_LE(counts->start_sec, counts->end_sec);
    }
  }
  EXPECT_GT(read_whole, 0u) << "changes inside names, types and counts still read";
}

// A file its reader may not read. Root reads every file whatever its mode, so as root the
// analysis runs in a child process that has dropped to the unprivileged user 65534 (nobody).
TEST(BagAnalyzer, UnreadableFileIsReportedInTheRecord) {
  drone_test::TempDir dir;
  const std::string path = dir.file("locked.bag");
  bagstat_test::write_bag(path, {{"/t", ros::Time(1, 0), K::kString, ""}});
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);

  if (geteuid() != 0) {
    expect_unopened(BagAnalyzer::analyze(path));
    return;
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    const bool ok = !r.success && starts_with(r.error_message, kPrefix) && r.topics.empty() &&
                    r.total_messages == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  ASSERT_NE(WEXITSTATUS(status), 3) << "could not drop to user 65534";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the unreadable bag was not reported as unopenable";
}

// An index whose chunk-info records leave chunks out (the file header's chunk count lowered to
// match) was counted as the whole bag by the index and by the bag library alike; the chunks are
// walked instead and every figure equals the whole bag's, whichever chunk is left out.
TEST(BagAnalyzer, IndexThatLeavesAChunkOutIsCountedFromTheChunks) {
  drone_test::TempDir dir;
  std::vector<TestMessage> messages;
  messages.reserve(60);
  for (int i = 0; i < 60; ++i)
    messages.push_back({i % 2 ? "/a" : "/b", ros::Time(10 + i, 0), K::kString, ""});
  bagstat_test::write_bag(dir.file("whole.bag"), messages, rosbag::compression::Uncompressed, 256);
  const BagAnalysisResult whole = BagAnalyzer::analyze(dir.file("whole.bag"));
  ASSERT_TRUE(whole.success);
  EXPECT_EQ(whole.total_messages, 60u);
  EXPECT_TRUE(whole.read.index_complete);
  const std::string bytes = drone_test::read_file(dir.file("whole.bag"));
  for (const size_t left_out : {size_t{0}, size_t{3}}) {
    SCOPED_TRACE(left_out);
    const std::string path = dir.file("gap.bag");
    drone_test::write_file(path, drone_test::without_chunk_info(bytes, left_out));
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_FALSE(r.read.index_complete);
    EXPECT_TRUE(r.read.recording_closed);
    expect_same_inventory(r, whole);
  }

  // An index that lists one chunk more, where none is stored (a copy of the first chunk-info
  // record pointing a byte further, after the last), tells of data the file no longer holds:
  // refused.
  std::string phantom = bytes;
  const drone_test::BagRecord info = drone_test::record_with_op(bytes, drone_test::kOpChunkInfo);
  std::string extra = bytes.substr(info.pos, info.data_pos + info.data_len - info.pos);
  const size_t chunk_pos =
      drone_test::field_at(bytes, info.header_pos, info.header_len, "chunk_pos") - info.pos + 4 +
      std::string("chunk_pos=").size();
  drone_test::put_u32(extra, chunk_pos, drone_test::get_u32(extra, chunk_pos) + 1);
  phantom += extra;
  const drone_test::BagRecord header =
      drone_test::record_with_op(phantom, drone_test::kOpFileHeader);
  const size_t count =
      drone_test::field_at(phantom, header.header_pos, header.header_len, "chunk_count") + 4 +
      std::string("chunk_count=").size();
  drone_test::put_u32(phantom, count, drone_test::get_u32(phantom, count) + 1);
  drone_test::write_file(dir.file("phantom.bag"), phantom);
  const BagAnalysisResult r = BagAnalyzer::analyze(dir.file("phantom.bag"));
  expect_unopened(r);
  EXPECT_NE(r.error_message.find(", where the bag stores none"), std::string::npos)
      << r.error_message;
}

// The statistics give the answer the converter and the lidar check give (one reader decides for
// all three): a file header whose index position points into the chunk section (no index there)
// is a recording whose index does not read, counted from its chunks; bytes between two chunks
// that hold no record are refused, naming what they are, not a chunk missing.
TEST(BagAnalyzer, IndexPositionInTheChunksAndBytesBetweenChunks) {
  drone_test::TempDir dir;
  std::vector<TestMessage> messages;
  messages.reserve(30);
  for (int i = 0; i < 30; ++i) messages.push_back({"/t", ros::Time(10 + i, 0), K::kString, ""});
  bagstat_test::write_bag(dir.file("whole.bag"), messages, rosbag::compression::Uncompressed, 256);
  const BagAnalysisResult whole = BagAnalyzer::analyze(dir.file("whole.bag"));
  ASSERT_TRUE(whole.success);
  const std::string bytes = drone_test::read_file(dir.file("whole.bag"));
  const drone_test::BagRecord second = drone_test::record_with_op(bytes, drone_test::kOpChunk, 1);

  std::string moved = bytes;
  const drone_test::BagRecord header = drone_test::record_with_op(moved, drone_test::kOpFileHeader);
  drone_test::put_u32(
      moved, drone_test::field_at(moved, header.header_pos, header.header_len, "index_pos") + 14,
      static_cast<uint32_t>(second.pos));
  drone_test::write_file(dir.file("moved.bag"), moved);
  const BagAnalysisResult r = BagAnalyzer::analyze(dir.file("moved.bag"));
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_FALSE(r.read.recording_closed);
  expect_same_inventory(r, whole);

  // The index records after the first chunk overwritten with bytes that are no record.
  std::string garbage = bytes;
  const drone_test::BagRecord index = drone_test::record_with_op(bytes, drone_test::kOpIndexData);
  std::fill(garbage.begin() + static_cast<long>(index.pos),
            garbage.begin() + static_cast<long>(second.pos), '\xff');
  drone_test::write_file(dir.file("garbage.bag"), garbage);
  const BagAnalysisResult g = BagAnalyzer::analyze(dir.file("garbage.bag"));
  expect_unopened(g);
  EXPECT_EQ(g.error_message.rfind(std::string(kPrefix) +
                                      "the chunk section holds bytes that are no chunk at byte " +
                                      std::to_string(index.pos) + " (",
                                  0),
            0u)
      << g.error_message;
  EXPECT_NE(g.error_message.find("before the chunk at byte " + std::to_string(second.pos) +
                                 " that the index lists"),
            std::string::npos)
      << g.error_message;
}

}  // namespace

namespace {

// The messages of the chunks that lie whole before `cut`, plus, in a plain bag, the whole
// message records of the chunk the cut falls into; read from the intact bag's records.
uint32_t messages_before(const std::string& bytes, size_t cut, bool plain) {
  uint32_t count = 0;
  if (plain) {
    for (const size_t length : drone_test::message_length_fields(bytes)) {
      count += length + 4 + drone_test::get_u32(bytes, length) <= cut;
    }
    return count;
  }
  bool whole = false;
  for (const drone_test::BagRecord& r : drone_test::bag_records(bytes)) {
    if (r.op == drone_test::kOpChunk) whole = r.data_pos + r.data_len <= cut;
    if (r.op == drone_test::kOpIndexData && whole) {
      count += r.data_len / 12;
    }
  }
  return count;
}

// A recording whose recorder was stopped (no index, index position 0), and such a recording cut
// at several places, is counted from its chunks: uncut, every figure equals the closed bag's;
// cut, the whole chunks count, and in a plain chunk the whole records before the cut, while a
// cut compressed chunk is lost and its bytes counted as unreadable. A closed bag cut short (its
// index gone) is read the same way.
TEST(BagAnalyzer, UnclosedRecordingIsCountedFromItsChunks) {
  drone_test::TempDir dir;
  std::vector<TestMessage> messages;
  messages.reserve(90);
  for (int i = 0; i < 90; ++i) {
    messages.push_back({i % 3 ? "/a" : "/b", ros::Time(10 + i, i), i % 2 ? K::kInt32 : K::kString,
                        i % 3 == 1 ? "/other" : ""});
  }
  for (const auto compression :
       {rosbag::compression::Uncompressed, rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    SCOPED_TRACE(compression);
    const bool plain = compression == rosbag::compression::Uncompressed;
    bagstat_test::write_bag(dir.file("closed.bag"), messages, compression, 1024);
    const BagAnalysisResult closed = BagAnalyzer::analyze(dir.file("closed.bag"));
    ASSERT_TRUE(closed.success);
    const std::string bytes = drone_test::read_file(dir.file("closed.bag"));
    const std::string unclosed = drone_test::as_unclosed_recording(bytes);

    const std::string path = dir.file("unclosed.bag");
    drone_test::write_file(path, unclosed);
    BagAnalysisResult r = BagAnalyzer::analyze(path);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_FALSE(r.read.recording_closed);
    EXPECT_EQ(r.read.unreadable_bytes, 0u);
    expect_same_inventory(r, closed);

    // Cuts of the unclosed recording, and of the closed bag before its index position.
    const std::pair<const std::string*, size_t> cuts[] = {{&unclosed, unclosed.size() / 3},
                                                          {&unclosed, unclosed.size() / 2},
                                                          {&unclosed, unclosed.size() - 7},
                                                          {&bytes, unclosed.size() - 3}};
    for (const auto& [source, cut] : cuts) {
      SCOPED_TRACE(cut);
      drone_test::write_file(path, source->substr(0, cut));
      r = BagAnalyzer::analyze(path);
      ASSERT_TRUE(r.success) << r.error_message;
      EXPECT_FALSE(r.read.recording_closed);
      EXPECT_EQ(r.total_messages, messages_before(bytes, cut, plain));
      uint32_t sum = 0;
      for (const auto& topic : r.topics) sum += topic.message_count;
      EXPECT_EQ(sum, r.total_messages);
      EXPECT_GT(r.read.unreadable_bytes, 0u);
    }
  }
}

}  // namespace
