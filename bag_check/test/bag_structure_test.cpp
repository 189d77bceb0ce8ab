#include "bag_check/bag_structure.h"

#include "bag_check/bag_chunks.h"
#include "bag_check/bag_reader.h"

#include <gtest/gtest.h>
#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <std_msgs/String.h>
#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "testing/bag_bytes.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using bag_check::check_structure;
using drone_test::BagRecord;

// `count` text messages alternating between /scan and /imu, one second apart from 1000 s.
// A small `chunk_threshold` spreads them over many chunks.
std::string write_bag(
    const std::string& path, uint32_t count,
    rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
    uint32_t chunk_threshold = 1024) {
  {
    rosbag::Bag bag(path, rosbag::bagmode::Write);
    bag.setCompression(compression);
    bag.setChunkThreshold(chunk_threshold);
    for (uint32_t i = 0; i < count; ++i) {
      std_msgs::String msg;
      msg.data = "message " + std::to_string(i);
      bag.write(i % 2 ? "/imu" : "/scan", ros::Time(1000 + i, 0), msg);
    }
  }
  return drone_test::read_file(path);
}

// The number of messages the bag library lists after opening the bag; throws what the library
// throws.
size_t open_and_count(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  return rosbag::View(bag).size();
}

std::string past_header(size_t at) {
  return "record header at byte " + std::to_string(at) +
         " has a field that runs past the header's end";
}

class BagStructure : public ::testing::Test {
 protected:
  void SetUp() override { valid_ = write_bag(dir_.file("valid.bag"), 40); }

  // Writes `bytes` to a file of the test's directory and checks it.
  std::string check(const std::string& bytes) {
    const std::string path = dir_.file("damaged.bag");
    drone_test::write_file(path, bytes);
    return check_structure(path);
  }

  // Writes `bytes` and reads every message through the one-pass reader, which checks the
  // chunks' records as it reads them: its fault, or "" when it reads them all.
  std::string read_fault(const std::string& bytes) {
    const std::string path = dir_.file("read.bag");
    drone_test::write_file(path, bytes);
    try {
      bag_check::BagReader reader(path);
      reader.read([](const bag_check::ReaderConnection&) { return true; },
                  [](const bag_check::ReaderMessage&) {});
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  drone_test::TempDir dir_;
  std::string valid_;
};

// The bag library copies a header field by its stored length without checking it against the
// header's end. Each record type that opening reads is damaged in turn, by a length one byte
// past the header's end and by one far past it (below the parser's own limit of 1000000).
TEST_F(BagStructure, FieldRunningPastItsHeaderIsFoundInEveryRecordThatOpeningReads) {
  struct Case {
    const char* label;
    uint8_t op;              // record type
    bool connection_header;  // the header stored as the connection record's data
    const char* field;
    uint32_t length;  // new field length; 0: one byte past the header's end
  };
  const Case cases[] = {
      {"file header, index_pos far past", drone_test::kOpFileHeader, false, "index_pos", 999999},
      {"file header, chunk_count one byte past", drone_test::kOpFileHeader, false, "chunk_count",
       0},
      {"connection record, topic one byte past", drone_test::kOpConnection, false, "topic", 0},
      {"connection header, type far past", drone_test::kOpConnection, true, "type", 999999},
      {"connection header, md5sum one byte past", drone_test::kOpConnection, true, "md5sum", 0},
      {"chunk info, count one byte past", drone_test::kOpChunkInfo, false, "count", 0},
      {"chunk header, compression far past", drone_test::kOpChunk, false, "compression", 500000},
      {"index record, conn one byte past", drone_test::kOpIndexData, false, "conn", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = valid_;
    const BagRecord r = drone_test::record_with_op(bytes, c.op);
    const size_t header_pos = c.connection_header ? r.data_pos : r.header_pos;
    const uint32_t header_len = c.connection_header ? r.data_len : r.header_len;
    const size_t at = drone_test::field_at(bytes, header_pos, header_len, c.field);
    ASSERT_NE(at, std::string::npos);
    const uint32_t to_end = static_cast<uint32_t>(header_pos + header_len - at - 4);
    drone_test::put_u32(bytes, at, c.length != 0 ? c.length : to_end + 1);
    EXPECT_EQ(check(bytes), past_header(header_pos - 4));
  }

  {  // a later record of a type: the second chunk's header, the third index record
    std::string bytes = valid_;
    const BagRecord chunk = drone_test::record_with_op(bytes, drone_test::kOpChunk, 1);
    drone_test::put_u32(
        bytes, drone_test::field_at(bytes, chunk.header_pos, chunk.header_len, "size"), 4096);
    EXPECT_EQ(check(bytes), past_header(chunk.pos));
    bytes = valid_;
    const BagRecord index = drone_test::record_with_op(bytes, drone_test::kOpIndexData, 2);
    drone_test::put_u32(
        bytes, drone_test::field_at(bytes, index.header_pos, index.header_len, "ver"), 999999);
    EXPECT_EQ(check(bytes), past_header(index.pos));
  }

  // A field length exactly to the header's end swallows the fields after it, which the library
  // then misses and refuses on its own: nothing is read out of bounds.
  std::string bytes = valid_;
  const BagRecord r = drone_test::record_with_op(bytes, drone_test::kOpConnection);
  const size_t at = drone_test::field_at(bytes, r.header_pos, r.header_len, "op");
  ASSERT_NE(at, std::string::npos);
  drone_test::put_u32(bytes, at, static_cast<uint32_t>(r.header_pos + r.header_len - at - 4));
  EXPECT_EQ(check(bytes), "");
}

// A header whose end falls inside the length word of a field.
TEST_F(BagStructure, HeaderEndingInsideAFieldLengthIsFound) {
  std::string bytes = valid_;
  const BagRecord r = drone_test::record_with_op(bytes, drone_test::kOpIndexData, 1);
  const size_t last = drone_test::field_at(bytes, r.header_pos, r.header_len, "ver");
  ASSERT_NE(last, std::string::npos);
  drone_test::put_u32(bytes, r.pos, static_cast<uint32_t>(last - r.header_pos + 2));
  EXPECT_EQ(check(bytes), past_header(r.pos));
}

// The library dereferences the connection that an index entry names when it refuses the entry's
// time; a time-0 entry on a connection the bag does not define is found, at its own offset.
TEST_F(BagStructure, TimeZeroOnAnUndefinedConnectionIsFound) {
  const drone_test::DamagedBag first = drone_test::with_time_zero_on_undefined_connection(valid_);
  EXPECT_EQ(check(first.bytes), "index entry at byte " + std::to_string(first.fault_at) +
                                    " has time 0 on connection 99, which the bag does not define");

  // The second entry of the third index record, on connection 77.
  std::string bytes = valid_;
  const BagRecord r = drone_test::record_with_op(bytes, drone_test::kOpIndexData, 2);
  drone_test::put_u32(bytes, drone_test::field_at(bytes, r.header_pos, r.header_len, "conn") + 9,
                      77);
  const std::string undefined_connection = bytes;
  drone_test::put_u32(bytes, r.data_pos + 12, 0);
  drone_test::put_u32(bytes, r.data_pos + 16, 0);
  EXPECT_EQ(check(bytes), "index entry at byte " + std::to_string(r.data_pos + 12) +
                              " has time 0 on connection 77, which the bag does not define");

  // With valid times, entries of an undefined connection are harmless: the library keeps them
  // out of every view.
  EXPECT_EQ(check(undefined_connection), "");
  EXPECT_LT(open_and_count(dir_.file("damaged.bag")), 40u);
}

// Faults that the library handles on its own are left to it: it either refuses the file with its
// own text or opens it safely.
TEST_F(BagStructure, WhatTheLibraryHandlesItselfIsLeftToIt) {
  {  // a field length beyond the parser's limit: the library refuses it before reading
    std::string bytes = valid_;
    const BagRecord r = drone_test::record_with_op(bytes, drone_test::kOpConnection);
    drone_test::put_u32(bytes, drone_test::field_at(bytes, r.header_pos, r.header_len, "topic"),
                        2000000);
    EXPECT_EQ(check(bytes), "");
    EXPECT_ANY_THROW(open_and_count(dir_.file("damaged.bag")));
  }
  {  // a time-0 entry on a defined connection: the library logs it under its topic and skips it
    std::string bytes = valid_;
    const BagRecord r = drone_test::record_with_op(bytes, drone_test::kOpIndexData);
    drone_test::put_u32(bytes, r.data_pos, 0);
    drone_test::put_u32(bytes, r.data_pos + 4, 0);
    EXPECT_EQ(check(bytes), "");
    EXPECT_EQ(open_and_count(dir_.file("damaged.bag")), 39u);
  }
  {  // damage inside a chunk's data, which opening never reads: the header of its first record
    std::string bytes = valid_;
    const BagRecord chunk = drone_test::record_with_op(bytes, drone_test::kOpChunk);
    drone_test::put_u32(bytes, chunk.data_pos + 4, 999999);  // that header's first field length
    EXPECT_EQ(check(bytes), "");
    EXPECT_EQ(open_and_count(dir_.file("damaged.bag")), 40u);
  }
  {  // another format version: the walk reads version 2.0 only
    std::string bytes = drone_test::with_field_past_header(valid_).bytes;
    ASSERT_EQ(bytes.compare(0, 13, "#ROSBAG V2.0\n"), 0);
    bytes.replace(0, 13, "#ROSBAG V1.2\n");
    EXPECT_EQ(check(bytes), "");
  }
}

// Sound bags of every storage kind pass, and so does a bag without messages.
TEST_F(BagStructure, SoundBagsPass) {
  struct Case {
    const char* label;
    uint32_t count;
    rosbag::compression::CompressionType compression;
    uint32_t chunk_threshold;
  };
  const Case cases[] = {
      {"uncompressed, one chunk", 40, rosbag::compression::Uncompressed, 768 * 1024},
      {"uncompressed, many chunks", 200, rosbag::compression::Uncompressed, 256},
      {"bz2", 200, rosbag::compression::BZ2, 1024},
      {"lz4", 200, rosbag::compression::LZ4, 1024},
      {"no messages", 0, rosbag::compression::Uncompressed, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = dir_.file("sound.bag");
    write_bag(path, c.count, c.compression, c.chunk_threshold);
    EXPECT_EQ(check_structure(path), "");
    EXPECT_EQ(open_and_count(path), c.count);
  }
}

// Files the library refuses to open give no finding, so that its own text stands: missing,
// empty, text, and copies cut anywhere. (The library
// leaks the records it has read when it refuses a copy cut inside the index, so the cut copies
// are only checked, not opened.)
TEST_F(BagStructure, FilesTheLibraryRefusesGiveNoFinding) {
  std::vector<std::string> paths = {dir_.file("missing.bag"), ""};
  drone_test::write_file(dir_.file("empty.bag"), "");
  drone_test::write_file(dir_.file("text.bag"), "not a bag at all\n");
  paths.push_back(dir_.file("empty.bag"));
  paths.push_back(dir_.file("text.bag"));
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(check_structure(path), "");
    EXPECT_ANY_THROW(open_and_count(path));
  }

  for (size_t cut = 0; cut < valid_.size(); cut += 7) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(check(valid_.substr(0, cut)), "");
  }
}

// Index entries and the records they point at are checked against their chunk: the offsets by
// the structure check, which reads the index alone, the records and their lengths by the reader
// of messages.
TEST_F(BagStructure, DamageThatReadingMessagesWouldHitIsFound) {
  const std::vector<drone_test::OpenCrashCase> cases = drone_test::read_crash_cases(valid_);
  ASSERT_EQ(cases.size(), 6u);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(read_fault(cases[i].bytes), cases[i].reason);
    EXPECT_EQ(check(cases[i].bytes), i < 2 ? cases[i].reason : "");
  }
}

// A compressed chunk is checked as decompressed when its messages are read: one that does not
// decompress, or decompresses to fewer bytes than its header states, is refused by the reader;
// the structure check reads no chunk data.
TEST_F(BagStructure, CompressedChunksAreCheckedAsDecompressed) {
  struct Case {
    const char* label;
    rosbag::compression::CompressionType compression;
    int64_t size_change;  // added to the chunk header's uncompressed size
    const char* fault;    // the text after "chunk at byte N "
  };
  const Case cases[] = {
      {"bz2, one byte more stated", rosbag::compression::BZ2, 1, "decompresses to"},
      {"bz2, one byte less stated", rosbag::compression::BZ2, -1,
       "cannot be decompressed (bz2 error -8)"},
      {"lz4, 100 bytes more stated", rosbag::compression::LZ4, 100, "decompresses to"},
      {"lz4, one byte less stated", rosbag::compression::LZ4, -1, "cannot be decompressed (lz4"},
      {"bz2, damaged data", rosbag::compression::BZ2, 0, "cannot be decompressed (bz2"},
      {"lz4, damaged data", rosbag::compression::LZ4, 0, "cannot be decompressed (lz4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = write_bag(dir_.file("compressed.bag"), 40, c.compression);
    const BagRecord chunk = drone_test::record_with_op(bytes, drone_test::kOpChunk, 1);
    const size_t size = drone_test::field_at(bytes, chunk.header_pos, chunk.header_len, "size");
    const uint32_t stated = drone_test::get_u32(bytes, size + 9);
    drone_test::put_u32(bytes, size + 9, static_cast<uint32_t>(stated + c.size_change));
    if (c.size_change == 0) {
      for (size_t i = chunk.data_pos + chunk.data_len / 2; i < chunk.data_pos + chunk.data_len;
           ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
      }
    }
    const std::string prefix = "chunk at byte " + std::to_string(chunk.pos) + " " + c.fault;
    const std::string fault = read_fault(bytes);
    EXPECT_EQ(fault.rfind(prefix, 0), 0u) << fault;
    EXPECT_EQ(check(bytes), "");
  }
}

// The library sets aside a record header's stated length before reading it: random bytes after
// the version line (a length of gigabytes) are refused rather than left to the library.
TEST_F(BagStructure, HeaderLongerThanTheFileIsFound) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::string noise(16 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(rng() & 0xFF);
    const uint32_t length = drone_test::get_u32(noise, 0);
    ASSERT_GT(length, 1u << 20);
    EXPECT_EQ(check(valid_.substr(0, 13) + noise), "record header at byte 13 states " +
                                                       std::to_string(length) +
                                                       " bytes, more than the file holds");
  }
}

// Anything but a regular file is refused at once: a FIFO without a writer does not block.
TEST_F(BagStructure, InputsThatAreNotRegularFilesAreRefused) {
  const std::string fifo = dir_.file("fifo.bag");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "a FIFO"}, {dir_.path(), "a directory"}, {"/dev/null", "a character device"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(check_structure(c.first), c.first + " is not a regular file (" + c.second + ")");
  }
}

}  // namespace

namespace {

// An index that leaves one chunk out (header and index consistent with each other) would have
// every index reader count a part of the bag as the whole: the first, a middle and the last
// chunk left out are each named, by both checks; a sound bag of many chunks, plain or
// compressed, gives no finding, and neither do the real bags (padding before the index
// included).
TEST_F(BagStructure, IndexThatLeavesChunksOutIsFound) {
  const std::string path = dir_.file("gap.bag");
  write_bag(path, 40, rosbag::compression::Uncompressed, 256);
  const std::string whole = drone_test::read_file(path);
  std::vector<size_t> chunks;
  for (const BagRecord& r : drone_test::bag_records(whole)) {
    if (r.op == drone_test::kOpChunk) chunks.push_back(r.pos);
  }
  ASSERT_GT(chunks.size(), 3u);
  EXPECT_EQ(bag_check::check_index_covers_chunks(path), "");
  for (const size_t left_out : {size_t{0}, chunks.size() / 2, chunks.size() - 1}) {
    SCOPED_TRACE(left_out);
    drone_test::write_file(path, drone_test::without_chunk_info(whole, left_out));
    const std::string expected = "the index lists " + std::to_string(chunks.size() - 1) +
                                 " of the bag's " + std::to_string(chunks.size()) +
                                 " chunks and is incomplete: the chunk at byte " +
                                 std::to_string(chunks[left_out]) + " is not among them";
    EXPECT_EQ(bag_check::check_index_covers_chunks(path), expected);
    EXPECT_EQ(check_structure(path), expected);
    // What the bag library alone would count.
    EXPECT_LT(open_and_count(path), 40u);
  }
  for (const auto compression : {rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    write_bag(path, 200, compression, 1024);
    EXPECT_EQ(bag_check::check_index_covers_chunks(path), "");
  }
  for (const char* name :
       {"example.bag", "example-bz2.bag", "example-lz4.bag", "example-unsorted-chunks.bag",
        "embag-test.bag", "embag-test_2.bag", "embag-array_test.bag", "fake_sensors_sample.bag",
        "no-messages.bag", "empty-file.bag"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(
        bag_check::check_index_covers_chunks(drone_test::fixture_path(std::string("bags/") + name)),
        "");
  }
}

// A chunk-info record that points where no chunk is stored is named as well.
TEST_F(BagStructure, IndexThatListsAChunkNotStoredIsFound) {
  const std::string path = dir_.file("moved.bag");
  write_bag(path, 40, rosbag::compression::Uncompressed, 256);
  std::string bytes = drone_test::read_file(path);
  const BagRecord info = drone_test::record_with_op(bytes, drone_test::kOpChunkInfo, 1);
  const size_t pos = drone_test::field_at(bytes, info.header_pos, info.header_len, "chunk_pos");
  ASSERT_NE(pos, std::string::npos);
  const size_t value = pos + 4 + std::string("chunk_pos=").size();
  const uint32_t stored = drone_test::get_u32(bytes, value);
  drone_test::put_u32(bytes, value, stored + 1);
  drone_test::write_file(path, bytes);
  size_t chunks = 0;
  for (const BagRecord& r : drone_test::bag_records(bytes)) chunks += r.op == drone_test::kOpChunk;
  EXPECT_EQ(bag_check::check_index_covers_chunks(path),
            "the index lists " + std::to_string(chunks - 1) + " of the bag's " +
                std::to_string(chunks) + " chunks and is incomplete: the chunk at byte " +
                std::to_string(stored) + " is not among them")
      << "a moved entry leaves its chunk unlisted first";
  drone_test::write_file(path, drone_test::without_chunk_info(bytes, 0));
  EXPECT_NE(bag_check::check_index_covers_chunks(path), "");
}

}  // namespace
