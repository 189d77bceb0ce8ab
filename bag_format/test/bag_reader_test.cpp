#include "bag_format/bag_reader.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>
#include <std_msgs/Header.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using bag_format::BagReader;
using bag_format::ReaderConnection;
using bag_format::ReadSummary;
using drone_test::BagRecord;
using drone_test::StoredMessage;
using Compression = rosbag::compression::CompressionType;

const std::pair<const char*, Compression> kCompressions[] = {
    {"plain", rosbag::compression::Uncompressed},
    {"bz2", rosbag::compression::BZ2},
    {"lz4", rosbag::compression::LZ4}};

// The messages the reader hands over, in its order, as the bag library's read_all lists them.
struct Read {
  std::vector<StoredMessage> messages;
  ReadSummary summary;
  std::vector<double> progress;
};

Read read_with_reader(
    const std::string& path, const std::function<bool(const ReaderConnection&)>& wanted =
                                 [](const ReaderConnection&) { return true; }) {
  BagReader reader(path);
  Read out;
  out.summary = reader.read(
      wanted,
      [&](const bag_format::ReaderMessage& m) {
        StoredMessage s;
        s.topic = m.connection->topic;
        s.time = ros::Time(m.sec, m.nsec);
        for (const auto& field : m.connection->fields) s.connection[field.first] = field.second;
        s.bytes.assign(m.data, m.data + m.size);
        out.messages.push_back(std::move(s));
      },
      [&](double fraction) { out.progress.push_back(fraction); });
  return out;
}

// The messages of each connection (topic and header), in the order given.
std::map<std::pair<std::string, std::map<std::string, std::string>>, std::vector<StoredMessage>>
per_connection(const std::vector<StoredMessage>& messages) {
  std::map<std::pair<std::string, std::map<std::string, std::string>>, std::vector<StoredMessage>>
      out;
  for (const StoredMessage& m : messages) out[{m.topic, m.connection}].push_back(m);
  return out;
}

// The reader gives what the library's time-ordered view gives once ordered by record time (equal
// times as handed over): the same messages, each connection's in the same order.
void expect_as_library(std::vector<StoredMessage> got, const std::vector<StoredMessage>& library) {
  ASSERT_EQ(got.size(), library.size());
  std::stable_sort(got.begin(), got.end(),
                   [](const StoredMessage& a, const StoredMessage& b) { return a.time < b.time; });
  EXPECT_TRUE(per_connection(got) == per_connection(library));
}

void expect_progress(const Read& r) {
  ASSERT_FALSE(r.progress.empty());
  EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
  EXPECT_EQ(r.progress.back(), 1.0);
  EXPECT_GE(r.progress.front(), 0.0);
}

// Messages on three topics, two publishers on /scan; record times follow `time_of(i)`.
void write_mixed(const std::string& path, Compression compression, uint32_t threshold,
                 uint32_t count, const std::function<ros::Time(uint32_t)>& time_of) {
  drone_test::BagBuilder b(path, compression, threshold);
  for (uint32_t i = 0; i < count; ++i) {
    std_msgs::String msg;
    msg.data = "message " + std::to_string(i) + std::string(i % 7 * 10, 'x');
    const char* topic = i % 3 == 0 ? "/scan" : i % 3 == 1 ? "/imu" : "/status";
    b.write(topic, time_of(i), msg, i % 3 == 0 && i % 2 == 0 ? "/second" : "/first");
  }
}

ros::Time in_order(uint32_t i) { return ros::Time(100 + i / 10, (i % 10) * 100000000u); }
// Times that go back and forth, so that chunks overlap in time and hold equal times.
ros::Time back_and_forth(uint32_t i) { return ros::Time(100 + (i * 37) % 23, (i % 2) * 500u); }

// The records of a chunk's uncompressed data: where each starts and ends, and whether it is a
// message record.
struct InnerRecord {
  size_t first;
  size_t end;
  bool message;
};
std::vector<InnerRecord> inner_records(const std::string& contents) {
  std::vector<InnerRecord> out;
  for (size_t at = 0; at < contents.size();) {
    const uint32_t header_len = drone_test::get_u32(contents, at);
    const size_t op = drone_test::field_at(contents, at + 4, header_len, "op");
    const size_t end = at + 8 + header_len + drone_test::get_u32(contents, at + 4 + header_len);
    out.push_back({at, end, contents.at(op + 7) == drone_test::kOpMessageData});
    at = end;
  }
  return out;
}
std::vector<InnerRecord> message_records(const std::string& contents) {
  std::vector<InnerRecord> out = inner_records(contents);
  out.erase(std::remove_if(out.begin(), out.end(), [](const InnerRecord& r) { return !r.message; }),
            out.end());
  return out;
}

class BagReaderTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string write(const std::string& name, const std::string& bytes) const {
    drone_test::write_file(file(name), bytes);
    return file(name);
  }
  drone_test::TempDir dir_;
};

TEST_F(BagReaderTest, GeneratedBagsReadAsTheLibraryReadsThem) {
  struct Layout {
    const char* name;
    uint32_t threshold;
    uint32_t count;
    ros::Time (*time_of)(uint32_t);
  };
  const Layout layouts[] = {{"one chunk", 768 * 1024, 200, in_order},
                            {"many chunks", 512, 300, in_order},
                            {"overlapping chunks", 512, 300, back_and_forth},
                            {"one message", 512, 1, in_order},
                            {"empty", 512, 0, in_order}};
  for (const auto& compression : kCompressions) {
    for (const Layout& layout : layouts) {
      SCOPED_TRACE(std::string(compression.first) + ", " + layout.name);
      write_mixed(file("in.bag"), compression.second, layout.threshold, layout.count,
                  layout.time_of);
      const Read r = read_with_reader(file("in.bag"));
      expect_as_library(r.messages, drone_test::read_all(file("in.bag")));
      EXPECT_TRUE(r.summary.index_complete);
      EXPECT_TRUE(r.summary.recording_closed);
      EXPECT_EQ(r.summary.unreadable_bytes, 0u);
      expect_progress(r);
      BagReader reader(file("in.bag"));
      EXPECT_EQ(reader.connections().size(), drone_test::connections_of(file("in.bag")).size());
    }
  }
}

TEST_F(BagReaderTest, VendoredBagsReadAsTheLibraryReadsThem) {
  const std::string dir = drone_test::fixture_path("bags");
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".bag") names.push_back(name);
  }
  closedir(d);
  ASSERT_GE(names.size(), 10u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string path = dir + "/" + name;
    std::vector<StoredMessage> library;
    bool opens = true;
    try {
      library = drone_test::read_all(path);
    } catch (const std::exception&) {
      opens = false;
    }
    if (!opens) {
      EXPECT_THROW(read_with_reader(path), std::runtime_error);
      continue;
    }
    const Read r = read_with_reader(path);
    expect_as_library(r.messages, library);
    EXPECT_TRUE(r.summary.index_complete);
  }
}

TEST_F(BagReaderTest, OnlyWantedConnectionsAreReadAndOtherChunksAreSkipped) {
  {
    drone_test::BagBuilder b(file("in.bag"), rosbag::compression::LZ4, 256);
    for (uint32_t i = 0; i < 40; ++i) {
      std_msgs::String msg;
      msg.data = std::string(300, static_cast<char>('a' + i % 26));
      b.write(i < 20 ? "/a" : "/b", ros::Time(10 + i), msg, i % 2 ? "/odd" : "/even");
    }
  }
  const Read r =
      read_with_reader(file("in.bag"), [](const ReaderConnection& c) { return c.topic == "/b"; });
  std::vector<StoredMessage> library;
  for (const StoredMessage& m : drone_test::read_all(file("in.bag"))) {
    if (m.topic == "/b") library.push_back(m);
  }
  expect_as_library(r.messages, library);
  EXPECT_EQ(r.messages.size(), 20u);
  EXPECT_EQ(r.summary.chunks_read, 20u);
  EXPECT_EQ(r.summary.chunks_skipped, 20u);

  // A chunk of /a stating more than its stored bytes decompress to (a bomb) is refused whatever
  // is wanted: its records are walked for the connections it defines.
  std::string bytes = drone_test::read_file(file("in.bag"));
  const BagRecord first = drone_test::record_with_op(bytes, drone_test::kOpChunk);
  drone_test::put_u32(bytes,
                      drone_test::field_at(bytes, first.header_pos, first.header_len, "size") + 9,
                      bag_format::kMaxChunkSize + 1);
  const std::string big = write("big.bag", bytes);
  for (const bool only_b : {true, false}) {
    try {
      read_with_reader(big, [&](const ReaderConnection& c) { return !only_b || c.topic == "/b"; });
      ADD_FAILURE() << "a chunk stating more than it holds was read";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "chunk at byte " + std::to_string(first.pos) +
                                           " states 268435457 bytes, more than its " +
                                           std::to_string(first.data_len) +
                                           " stored bytes can hold with lz4");
    }
  }
}

// A chunk made large by one large message (a recorded map) is read from the file as it is
// walked, a compressed one from its records decompressed to a scratch file: the small messages
// around it come whole, the large one in pieces, each with the bytes the library reads.
TEST_F(BagReaderTest, LargeMessageOfAPlainChunkComesInPieces) {
  for (const auto& [name, compression] : kCompressions) {
    SCOPED_TRACE(name);
    {
      drone_test::BagBuilder b(file("in.bag"), compression);
      std_msgs::String small;
      std_msgs::String map;
      map.data.assign(bag_format::kWholeMessageBytes + 5, 'm');
      map.data[12345] = 'x';
      for (uint32_t i = 0; i < 6; ++i) {
        small.data = "small " + std::to_string(i);
        b.write("/small", ros::Time(10 + i), small);
        if (i == 2) b.write("/map", ros::Time(10 + i, 5), map);
      }
    }
    BagReader reader(file("in.bag"));
    std::vector<StoredMessage> got;
    size_t in_pieces = 0;
    std::vector<uint8_t> buffer;
    reader.read([](const ReaderConnection&) { return true; },
                [&](const bag_format::ReaderMessage& m) {
                  StoredMessage s;
                  s.topic = m.connection->topic;
                  s.time = ros::Time(m.sec, m.nsec);
                  for (const auto& field : m.connection->fields) {
                    s.connection[field.first] = field.second;
                  }
                  if (m.data == nullptr) {
                    ++in_pieces;
                    s.bytes.resize(m.size);
                    // Two pieces, the second first, as a reader may ask for them.
                    m.copy(m.size / 2, s.bytes.data() + m.size / 2, m.size - m.size / 2);
                    m.copy(0, s.bytes.data(), m.size / 2);
                    EXPECT_EQ(std::vector<uint8_t>(m.whole(buffer), m.whole(buffer) + m.size),
                              s.bytes);
                  } else {
                    s.bytes.assign(m.data, m.data + m.size);
                  }
                  got.push_back(std::move(s));
                });
    EXPECT_EQ(in_pieces, 1u);
    expect_as_library(got, drone_test::read_all(file("in.bag")));
  }
}

// A chunk too large to be held whose messages are stored in runs, the latest first (a recorder
// of large chunks writing what it buffered), comes by record time as a held chunk does, plain or
// compressed; a compressed one stating more bytes than its data gives is refused.
TEST_F(BagReaderTest, ChunksTooLargeToHoldComeByRecordTime) {
  for (const auto& [name, compression] : kCompressions) {
    SCOPED_TRACE(name);
    {
      drone_test::BagBuilder b(file("in.bag"), compression, 64u << 20);
      std_msgs::String msg;
      for (uint32_t run = 4; run-- > 0;) {
        for (uint32_t i = 0; i < 40; ++i) {
          msg.data.assign(120 * 1024, static_cast<char>('a' + (run * 40 + i) % 26));
          b.write(i % 2 ? "/a" : "/b", ros::Time(10 + run, i * 1000), msg);
        }
      }
    }
    const std::vector<StoredMessage> library = drone_test::read_all(file("in.bag"));
    const Read r = read_with_reader(file("in.bag"));
    expect_as_library(r.messages, library);
    for (size_t i = 1; i < r.messages.size(); ++i) {
      ASSERT_FALSE(r.messages[i].time < r.messages[i - 1].time) << "message " << i;
    }
    if (compression == rosbag::compression::Uncompressed) continue;
    // The scratch file a compressed chunk is decompressed into has no name: nothing is left in
    // $TMPDIR while it is read, or after, however the process ends.
    const drone_test::TempDir scratch_dir;
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir != nullptr ? tmpdir : "";
    ::setenv("TMPDIR", scratch_dir.path().c_str(), 1);
    size_t named = 0;
    BagReader(file("in.bag"))
        .read([](const ReaderConnection&) { return true; },
              [&](const bag_format::ReaderMessage&) {
                named += drone_test::dir_entries(scratch_dir.path()).size();
              });
    EXPECT_EQ(named + drone_test::dir_entries(scratch_dir.path()).size(), 0u);
    if (tmpdir != nullptr) {
      ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    // Stated sizes its data does not give: refused while decompressing, before more than the
    // stated size is written anywhere.
    std::string bytes = drone_test::read_file(file("in.bag"));
    const BagRecord chunk = drone_test::record_with_op(bytes, drone_test::kOpChunk);
    const size_t size_at = drone_test::field_at(bytes, chunk.header_pos, chunk.header_len, "size");
    const uint32_t size = drone_test::get_u32(bytes, size_at + 9);
    const std::string at = "chunk at byte " + std::to_string(chunk.pos);
    for (const uint32_t stated : {size + 1000, size - 1000}) {
      drone_test::put_u32(bytes, size_at + 9, stated);
      try {
        read_with_reader(write("bomb.bag", bytes));
        ADD_FAILURE() << "a chunk stating " << stated << " bytes of " << size << " was read";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  stated > size
                      ? at + " decompresses to " + std::to_string(size) + " bytes, not the " +
                            std::to_string(stated) + " its header states"
                      : at + " decompresses to more than the " + std::to_string(stated) +
                            " bytes its header states");
      }
    }
  }
}

// The line that says how a bag was read, for each program's verb.
TEST(ReadNote, SaysHowTheBagWasRead) {
  struct Case {
    bag_format::ReadOutcome read;
    std::string note;
  };
  const Case cases[] = {
      {{true, true, 0}, ""},
      {{true, false, 0}, "bag 的索引不完整，已按数据块检查"},
      {{false, false, 0}, "录制未正常结束（bag 没有索引），已按数据块检查"},
      {{false, false, 4096},
       "录制未正常结束（bag 没有索引），已按数据块检查，末尾 4096 字节无法读取"},
  };
  for (const Case& c : cases) EXPECT_EQ(bag_format::read_note(c.read, "检查"), c.note);
}

// Chunks that overlap in time come in file order, each chunk's messages by record time (equal
// times as stored); ordered by record time they are the library's view
// (GeneratedBagsReadAsTheLibraryReadsThem).
TEST_F(BagReaderTest, MessagesComeChunkByChunkInFileOrder) {
  write_mixed(file("in.bag"), rosbag::compression::Uncompressed, 512, 300, back_and_forth);
  const std::string bytes = drone_test::read_file(file("in.bag"));
  std::vector<std::string> stored;
  for (const BagRecord& chunk : drone_test::bag_records(bytes)) {
    if (chunk.op != drone_test::kOpChunk) continue;
    const std::string contents = drone_test::chunk_contents(bytes, chunk);
    std::vector<std::pair<uint64_t, std::string>> in_chunk;  // (time, data) as stored
    for (const InnerRecord& m : message_records(contents)) {
      const uint32_t header_len = drone_test::get_u32(contents, m.first);
      const size_t time = drone_test::field_at(contents, m.first + 4, header_len, "time") + 9;
      const uint64_t key = (uint64_t{drone_test::get_u32(contents, time)} << 32) |
                           drone_test::get_u32(contents, time + 4);
      in_chunk.emplace_back(
          key, contents.substr(m.first + 8 + header_len, m.end - m.first - 8 - header_len));
    }
    std::stable_sort(in_chunk.begin(), in_chunk.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& m : in_chunk) stored.push_back(std::move(m.second));
  }
  const Read r = read_with_reader(file("in.bag"));
  ASSERT_EQ(r.messages.size(), stored.size());
  bool goes_back = false;
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(std::string(r.messages[i].bytes.begin(), r.messages[i].bytes.end()), stored[i]);
    goes_back = goes_back || (i > 0 && r.messages[i].time < r.messages[i - 1].time);
  }
  EXPECT_TRUE(goes_back) << "the chunks do not overlap in time";
}

// A connection id that a recording defines again for another topic and type is refused, closed
// or not: its messages would otherwise be read as the first definition's type.
TEST_F(BagReaderTest, ConnectionRedefinedWithAnotherTypeIsRefused) {
  {
    drone_test::BagBuilder b(file("in.bag"), rosbag::compression::Uncompressed, 256);
    std_msgs::String text;
    text.data = std::string(300, 'a');
    std_msgs::Header header;
    header.frame_id = std::string(300, 'b');
    for (uint32_t i = 0; i < 3; ++i) b.write("/a", ros::Time(10 + i), text);
    for (uint32_t i = 0; i < 3; ++i) b.write("/b", ros::Time(20 + i), header);
  }
  const std::string renumbered =
      drone_test::with_connection_renumbered(drone_test::read_file(file("in.bag")), 1, 0);
  const std::string expected =
      "connection 0 is defined for topic /a (std_msgs/String) and again for topic /b "
      "(std_msgs/Header); its messages cannot be told apart";
  // Closed or not, whether or not the chunk that defines it again holds a wanted message.
  const std::function<bool(const ReaderConnection&)> wants[] = {
      [](const ReaderConnection&) { return true; }, [](const ReaderConnection&) { return false; }};
  for (const std::string& bytes : {renumbered, drone_test::as_unclosed_recording(renumbered)}) {
    for (const auto& wanted : wants) {
      try {
        read_with_reader(write("twice.bag", bytes), wanted);
        ADD_FAILURE() << "read without an error";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), expected);
      }
    }
  }
}

// An index that leaves a chunk out, and recordings that were not closed, are read by walking the
// chunks: where every chunk is whole, exactly as the intact bag.
TEST_F(BagReaderTest, IncompleteIndexAndUnclosedRecordingsReadInFull) {
  for (const auto& compression : kCompressions) {
    SCOPED_TRACE(compression.first);
    write_mixed(file("whole.bag"), compression.second, 512, 200, back_and_forth);
    const std::string whole = drone_test::read_file(file("whole.bag"));
    const std::vector<StoredMessage> library = drone_test::read_all(file("whole.bag"));

    const Read gap = read_with_reader(write("gap.bag", drone_test::without_chunk_info(whole, 2)));
    expect_as_library(gap.messages, library);
    EXPECT_FALSE(gap.summary.index_complete);
    EXPECT_TRUE(gap.summary.recording_closed);

    const Read unclosed =
        read_with_reader(write("unclosed.bag", drone_test::as_unclosed_recording(whole)));
    expect_as_library(unclosed.messages, library);
    EXPECT_FALSE(unclosed.summary.index_complete);
    EXPECT_FALSE(unclosed.summary.recording_closed);
    EXPECT_EQ(unclosed.summary.unreadable_bytes, 0u);
    BagReader reader(file("unclosed.bag"));
    EXPECT_EQ(reader.connections().size(), drone_test::connections_of(file("whole.bag")).size());

    // The index position past the end of the file (a copy cut after its last chunk).
    std::string past = whole;
    const BagRecord header = drone_test::record_with_op(past, drone_test::kOpFileHeader);
    drone_test::put_u32(
        past, drone_test::field_at(past, header.header_pos, header.header_len, "index_pos") + 14,
        static_cast<uint32_t>(whole.size() + 100));
    const Read beyond = read_with_reader(write("beyond.bag", past));
    expect_as_library(beyond.messages, library);
    EXPECT_FALSE(beyond.summary.recording_closed);
  }
}

// The walk over the chunk section decides whether the index lists exactly the stored chunks: the
// first, a middle and the last chunk left out (header and index consistent with each other)
// make it incomplete, and its messages are read all the same; a chunk-info record that points
// where no chunk is stored is refused, naming it; sound bags of many chunks, plain or compressed,
// have a complete index.
TEST_F(BagReaderTest, IndexCoverageIsDecidedByTheWalk) {
  for (const auto& compression : kCompressions) {
    write_mixed(file("sound.bag"), compression.second, 512, 120, in_order);
    EXPECT_TRUE(BagReader(file("sound.bag")).summary().index_complete) << compression.first;
  }
  write_mixed(file("whole.bag"), rosbag::compression::Uncompressed, 256, 40, in_order);
  const std::string whole = drone_test::read_file(file("whole.bag"));
  std::vector<size_t> chunks;
  for (const BagRecord& r : drone_test::bag_records(whole)) {
    if (r.op == drone_test::kOpChunk) chunks.push_back(r.pos);
  }
  ASSERT_GT(chunks.size(), 3u);
  for (const size_t left_out : {size_t{0}, chunks.size() / 2, chunks.size() - 1}) {
    SCOPED_TRACE(left_out);
    const Read r =
        read_with_reader(write("gap.bag", drone_test::without_chunk_info(whole, left_out)));
    EXPECT_FALSE(r.summary.index_complete);
    EXPECT_TRUE(r.summary.recording_closed);
    EXPECT_EQ(r.messages.size(), 40u);
  }
  // The chunk-info records listed last chunk first: matched all the same, and so is a chunk
  // the index then lists where none is stored.
  std::vector<BagRecord> infos;
  for (const BagRecord& r : drone_test::bag_records(whole)) {
    if (r.op == drone_test::kOpChunkInfo) infos.push_back(r);
  }
  std::string reversed = whole.substr(0, infos.front().pos);
  for (auto it = infos.rbegin(); it != infos.rend(); ++it) {
    reversed += whole.substr(it->pos, it->data_pos + it->data_len - it->pos);
  }
  reversed += whole.substr(infos.back().data_pos + infos.back().data_len);
  ASSERT_EQ(reversed.size(), whole.size());
  const Read from_reversed = read_with_reader(write("reversed.bag", reversed));
  EXPECT_TRUE(from_reversed.summary.index_complete);
  expect_as_library(from_reversed.messages, drone_test::read_all(file("whole.bag")));
  std::string moved = whole;
  const BagRecord info = drone_test::record_with_op(moved, drone_test::kOpChunkInfo, 1);
  const size_t value =
      drone_test::field_at(moved, info.header_pos, info.header_len, "chunk_pos") + 4 + 10;
  drone_test::put_u32(moved, value, drone_test::get_u32(moved, value) + 1);
  const BagRecord moved_info = drone_test::record_with_op(moved, drone_test::kOpChunkInfo, 1);
  const BagRecord last_info = infos.back();
  std::string moved_reversed =
      moved.substr(0, moved_info.pos) +
      moved.substr(last_info.pos, last_info.data_pos + last_info.data_len - last_info.pos) +
      moved.substr(moved_info.pos, last_info.pos - moved_info.pos) +
      moved.substr(last_info.data_pos + last_info.data_len);
  for (const std::string& bytes : {moved, moved_reversed}) {
    try {
      BagReader reader(write("moved.bag", bytes));
      ADD_FAILURE() << "an index that lists a chunk not stored was read";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "the index lists a chunk at byte " +
                                           std::to_string(chunks[1] + 1) +
                                           ", where the bag stores none");
    }
  }
}

// A recording that stopped: cut at the end of every chunk's index records (whole chunks), inside
// every chunk's data and inside its header. A plain chunk keeps its whole records before the cut;
// a cut compressed chunk is lost and counted as unreadable.
TEST_F(BagReaderTest, InterruptedRecordingsKeepEveryWholeRecord) {
  for (const auto& compression : kCompressions) {
    SCOPED_TRACE(compression.first);
    write_mixed(file("whole.bag"), compression.second, 1024, 120, in_order);
    const std::string whole =
        drone_test::as_unclosed_recording(drone_test::read_file(file("whole.bag")));
    const std::vector<StoredMessage> library = drone_test::read_all(file("whole.bag"));
    const bool plain = compression.second == rosbag::compression::Uncompressed;
    const std::vector<BagRecord> records = drone_test::bag_records(whole);
    size_t before = 0;  // messages of the chunks before the current one
    for (const BagRecord& chunk : records) {
      if (chunk.op != drone_test::kOpChunk) continue;
      const std::vector<InnerRecord> inner =
          inner_records(drone_test::chunk_contents(whole, chunk));
      const size_t in_chunk = message_records(drone_test::chunk_contents(whole, chunk)).size();
      const size_t cuts[] = {chunk.pos, chunk.pos + 10, chunk.data_pos + chunk.data_len / 3,
                             chunk.data_pos + chunk.data_len - 1};
      for (const size_t cut : cuts) {
        SCOPED_TRACE(cut);
        const Read r = read_with_reader(write("cut.bag", whole.substr(0, cut)));
        size_t expected = before;
        size_t whole_end = 0;  // end of the last whole record in the chunk's data
        if (plain && cut >= chunk.data_pos) {
          for (const InnerRecord& m : inner) {
            if (chunk.data_pos + m.end > cut) break;
            expected += m.message ? 1 : 0;
            whole_end = m.end;
          }
        }
        ASSERT_EQ(r.messages.size(), expected);
        EXPECT_FALSE(r.summary.recording_closed);
        if (cut == chunk.pos) {
          EXPECT_EQ(r.summary.unreadable_bytes, 0u);
        } else if (!plain || cut < chunk.data_pos) {
          EXPECT_EQ(r.summary.unreadable_bytes, cut - chunk.pos);
        } else {
          EXPECT_EQ(r.summary.unreadable_bytes, cut - chunk.data_pos - whole_end);
        }
        std::vector<StoredMessage> sorted = r.messages;
        std::vector<StoredMessage> prefix(library.begin(),
                                          library.begin() + static_cast<long>(expected));
        std::sort(sorted.begin(), sorted.end());
        std::sort(prefix.begin(), prefix.end());
        EXPECT_TRUE(sorted == prefix) << "the first messages of the recording";
      }
      before += in_chunk;
    }
    EXPECT_EQ(before, library.size());
  }
}

// Damage is refused with its position named, before anything is set aside for it.
TEST_F(BagReaderTest, DamagedBagsFailNamingTheFault) {
  drone_test::write_damage_recording(file("mixed.bag"));
  const std::string mixed = drone_test::read_file(file("mixed.bag"));
  std::vector<drone_test::OpenCrashCase> cases = drone_test::read_crash_cases(mixed);
  for (drone_test::OpenCrashCase& c : drone_test::open_crash_cases(mixed)) {
    if (c.reason.find("index entry") != std::string::npos) cases.push_back(std::move(c));
  }
  const BagRecord chunk = drone_test::record_with_op(mixed, drone_test::kOpChunk);
  const std::string at_chunk = "chunk at byte " + std::to_string(chunk.pos);
  const size_t size_at =
      drone_test::field_at(mixed, chunk.header_pos, chunk.header_len, "size") + 9;
  const uint32_t size = drone_test::get_u32(mixed, size_at);
  {
    std::string bytes = mixed;
    // A plain chunk's stated size is checked against its stored bytes before anything is read
    // (compressed ones: OnlyWantedConnectionsAreReadAndOtherChunksAreSkipped).
    drone_test::put_u32(bytes, size_at, bag_format::kMaxChunkSize + 1);
    cases.push_back({"oversize chunk", bytes,
                     at_chunk + " stores " + std::to_string(size) +
                         " bytes, not the 268435457 its header states"});
    drone_test::put_u32(bytes, size_at, 0xFFFFFFFFu);
    cases.push_back({"chunk of 4 GiB", bytes,
                     at_chunk + " stores " + std::to_string(size) +
                         " bytes, not the 4294967295 its header states"});
    bytes = mixed;
    drone_test::put_u32(bytes, size_at, size - 1);
    cases.push_back({"plain chunk of another size", bytes,
                     at_chunk + " stores " + std::to_string(size) + " bytes, not the " +
                         std::to_string(size - 1) + " its header states"});
    bytes = mixed;
    const size_t compression =
        drone_test::field_at(bytes, chunk.header_pos, chunk.header_len, "compression");
    bytes.replace(compression + 16, 4, "zstd");
    cases.push_back(
        {"unknown compression", bytes, at_chunk + " uses compression zstd, which is not read"});
  }
  {
    // A field of the chunk's first message record set to `value`.
    const std::string contents = drone_test::chunk_contents(mixed, chunk);
    const size_t first = message_records(contents).at(0).first;
    const uint32_t header_len = drone_test::get_u32(contents, first);
    const auto with_field = [&](const std::string& name, uint32_t value) {
      std::string bytes = mixed;
      const size_t at = drone_test::field_at(bytes, chunk.data_pos + first + 4, header_len, name);
      drone_test::put_u32(bytes, at + 4 + name.size() + 1, value);
      return bytes;
    };
    const std::string record = "message record at offset " + std::to_string(first) +
                               " of the chunk at byte " + std::to_string(chunk.pos);
    cases.push_back({"message of an undefined connection", with_field("conn", 77),
                     record + " is on connection 77, which the bag does not define"});
    // Its record time moved past the times of the chunk's index.
    cases.push_back(
        {"record time outside the index's", with_field("time", 5000),
         record + " has time 5000.000000000, outside the times its index records state"});
  }
  drone_test::write_damage_recording(file("bz2.bag"), rosbag::compression::BZ2);
  {
    std::string bytes = drone_test::read_file(file("bz2.bag"));
    const BagRecord bz2 = drone_test::record_with_op(bytes, drone_test::kOpChunk);
    bytes[bz2.data_pos + bz2.data_len / 2] ^= 0x55;
    bytes[bz2.data_pos + bz2.data_len / 2 + 1] ^= 0x55;
    cases.push_back({"bz2 data changed", bytes, "chunk at byte " + std::to_string(bz2.pos)});
  }
  cases.push_back({"empty file", "", "is not a version 2.0 bag"});
  cases.push_back({"another version", "#ROSBAG V1.2\n", "is not a version 2.0 bag"});
  cases.push_back({"cut file header", mixed.substr(0, 20), "record at byte 13 runs past"});

  for (const drone_test::OpenCrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write("damaged.bag", c.bytes);
    try {
      read_with_reader(path);
      ADD_FAILURE() << "read without an error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(BagReader(dir_.path()), std::runtime_error);
  EXPECT_THROW(BagReader(file("absent.bag")), std::runtime_error);
  // Only the older format version is left to the bag library, which would take a first line
  // such as "#ROSBAG#ROSBAG V2.0" for version 2.0 and read past the record headers that follow.
  EXPECT_THROW(BagReader(write("older.bag", "#ROSBAG V1.2\n")), bag_format::UnsupportedBag);
  const std::string doubled = write("doubled.bag", "#ROSBAG#ROSBAG V2.0\n");
  try {
    const BagReader reader(doubled);
    ADD_FAILURE() << "read without an error";
  } catch (const bag_format::UnsupportedBag&) {
    ADD_FAILURE() << "left to the bag library";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("is not a version 2.0 bag"), std::string::npos);
  }
}

// A damaged index section is read past: the chunks are walked, as in a recording not closed.
TEST_F(BagReaderTest, DamagedIndexSectionIsReadByWalkingTheChunks) {
  drone_test::write_damage_recording(file("mixed.bag"), rosbag::compression::Uncompressed, 5);
  const std::string mixed = drone_test::read_file(file("mixed.bag"));
  const std::vector<StoredMessage> library = drone_test::read_all(file("mixed.bag"));
  for (const drone_test::OpenCrashCase& c : drone_test::open_crash_cases(mixed)) {
    if (c.reason.find("index entry") != std::string::npos) continue;
    SCOPED_TRACE(c.name);
    const Read r = read_with_reader(write("damaged.bag", c.bytes));
    expect_as_library(r.messages, library);
    EXPECT_FALSE(r.summary.recording_closed);
    EXPECT_GT(r.summary.unreadable_bytes, 0u) << "the damaged index is no whole record";
  }
}

}  // namespace
