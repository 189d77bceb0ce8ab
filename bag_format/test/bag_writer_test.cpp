#include "bag_format/bag_writer.h"

#include <gtest/gtest.h>
#include <rosbag/bag.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using bag_format::BagConnectionInfo;
using bag_format::BagWriter;
using bag_format::BagWriterOptions;
using bag_format::ChunkCompression;
using drone_test::TempDir;

// One message to store: which of the case's connections, when, its bytes.
struct Message {
  uint32_t connection;
  uint32_t sec, nsec;
  std::vector<uint8_t> bytes;
};

struct Case {
  const char* name;
  ChunkCompression compression;
  uint32_t threshold;
  std::vector<BagConnectionInfo> connections;  // ids in order of first message
  std::vector<Message> messages;
};

BagConnectionInfo connection(uint32_t id, const std::string& topic, const std::string& callerid) {
  // In name order, as the bag library stores a connection header.
  return {id,
          topic,
          {{"callerid", callerid},
           {"latching", id % 2 ? "1" : "0"},
           {"md5sum", "0123456789abcdef0123456789abcdef"},
           {"message_definition", "uint8[] data\n"},
           {"topic", topic},
           {"type", "test_msgs/Blob"}}};
}

// `count` messages on 4 connections (two share "/a"), times going back now and then, sizes
// from 0 to `max_size` bytes, drawn from a fixed seed.
Case generated(const char* name, ChunkCompression compression, uint32_t threshold, int count,
               size_t max_size) {
  Case c{name, compression, threshold, {}, {}};
  c.connections = {connection(0, "/a", "/one"), connection(1, "/a", "/two"),
                   connection(2, "/b", "/one"), connection(3, "/c", "/three")};
  std::mt19937 rng(7);
  for (int i = 0; i < count; ++i) {
    Message m;
    m.connection = i < 4 ? static_cast<uint32_t>(i) : rng() % 4;
    const uint32_t ms = 1000 + static_cast<uint32_t>(i) * 3 - (rng() % 5 == 0 ? 20 : 0);
    m.sec = ms / 1000;
    m.nsec = ms % 1000 * 1000000;
    m.bytes.resize(rng() % (max_size + 1));
    for (uint8_t& b : m.bytes) b = static_cast<uint8_t>(rng() % 7);  // compressible
    c.messages.push_back(std::move(m));
  }
  return c;
}

std::vector<Case> cases() {
  std::vector<Case> all;
  all.push_back(generated("many chunks", ChunkCompression::kNone, 4096, 600, 300));
  all.push_back(generated("bz2 chunks", ChunkCompression::kBz2, 4096, 600, 300));
  all.push_back(generated("lz4 chunks", ChunkCompression::kLz4, 4096, 600, 300));
  all.push_back(generated("one message", ChunkCompression::kNone, 768 * 1024, 1, 10));
  all.push_back(generated("large messages", ChunkCompression::kNone, 1000, 8, 5000));
  all.push_back(generated("one chunk per message", ChunkCompression::kLz4, 0, 20, 50));
  Case empty = generated("empty", ChunkCompression::kNone, 768 * 1024, 0, 0);
  all.push_back(empty);
  return all;
}

void write_ours(const Case& c, BagWriter& writer) {
  for (const BagConnectionInfo& info : c.connections) writer.add_connection(info);
  for (const Message& m : c.messages) {
    writer.write(m.connection, m.sec, m.nsec, m.bytes.data(), m.bytes.size());
  }
  writer.close();
}

// The same messages through the bag library's writer.
void write_library(const Case& c, const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setChunkThreshold(c.threshold);
  bag.setCompression(c.compression == ChunkCompression::kBz2   ? rosbag::compression::BZ2
                     : c.compression == ChunkCompression::kLz4 ? rosbag::compression::LZ4
                                                               : rosbag::compression::Uncompressed);
  for (const Message& m : c.messages) {
    const BagConnectionInfo& info = c.connections[m.connection];
    auto header = boost::make_shared<ros::M_string>(info.fields.begin(), info.fields.end());
    drone_test::RawMessage raw{(*header)["type"], (*header)["md5sum"],
                               (*header)["message_definition"], m.bytes};
    bag.write(info.topic, ros::Time(m.sec, m.nsec), raw, header);
  }
}

TEST(BagWriter, DefaultsAreTheBagLibrarys) {
  rosbag::Bag bag;
  EXPECT_EQ(BagWriterOptions{}.chunk_threshold, bag.getChunkThreshold());
  EXPECT_EQ(BagWriterOptions{}.compression, ChunkCompression::kNone);
}

// The strongest round trip: the file is the one the bag library writes from the same messages,
// byte for byte, compressed chunks included.
TEST(BagWriter, WritesTheBagLibrarysBytes) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    BagWriter writer(dir.file("ours.bag"), {c.threshold, c.compression});
    write_ours(c, writer);
    write_library(c, dir.file("library.bag"));
    EXPECT_EQ(drone_test::read_file(dir.file("ours.bag")),
              drone_test::read_file(dir.file("library.bag")));
  }
}

const char kPythonReader[] = R"PY(
import sys, zlib, rosbag
for path in sys.argv[1:]:
    with rosbag.Bag(path) as bag:
        for topic, msg, t, header in bag.read_messages(raw=True, return_connection_header=True):
            print('%s %d.%09d %s %d %08x' % (topic, t.secs, t.nsecs, header['callerid'].decode(),
                                             len(msg[1]), zlib.crc32(msg[1])))
    print('--')
)PY";

// An independent reader: the Python bag module reads every message back from every case.
TEST(BagWriter, PythonReaderReadsEveryMessage) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<std::string> want;
  for (const Case& c : cases()) {
    paths.push_back(dir.file(std::to_string(paths.size()) + ".bag"));
    BagWriter writer(paths.back(), {c.threshold, c.compression});
    write_ours(c, writer);
    std::vector<std::string> lines;
    for (const Message& m : c.messages) {
      const BagConnectionInfo& info = c.connections[m.connection];
      char line[256];
      std::snprintf(line, sizeof line, "%s %u.%09u %s %zu %08lx", info.topic.c_str(), m.sec, m.nsec,
                    info.fields[0].second.c_str(), m.bytes.size(),
                    crc32(0, m.bytes.data(), static_cast<uInt>(m.bytes.size())));
      lines.emplace_back(line);
    }
    // The reader's order among equal times is its own; the lines are compared sorted.
    std::sort(lines.begin(), lines.end());
    want.insert(want.end(), lines.begin(), lines.end());
    want.emplace_back("--");
  }
  const auto py = drone_test::run_python(kPythonReader, paths);
  ASSERT_EQ(py.exit_code, 0) << py.err;
  std::vector<std::string> got = drone_test::split_lines(py.out);
  for (auto begin = got.begin(); begin != got.end();) {
    const auto end = std::find(begin, got.end(), "--");
    std::sort(begin, end);
    begin = end == got.end() ? end : end + 1;
  }
  EXPECT_EQ(got, want);
}

// Records every append apart, to see what each write held.
class Recorder : public bag_format::BagOutput {
 public:
  explicit Recorder(std::vector<std::string>* writes) : writes_(writes) {}
  std::string append(const void* data, size_t size) override {
    writes_->emplace_back(static_cast<const char*>(data), size);
    return fail_at_ == writes_->size() ? "No space left on device" : "";
  }
  std::string overwrite(uint64_t offset, const void* data, size_t size) override {
    std::string& first = writes_->front();
    if (offset + size > first.size()) return "past the first write";
    first.replace(offset, size, static_cast<const char*>(data), size);
    return "";
  }
  std::string commit() override { return ""; }
  size_t fail_at_ = 0;

 private:
  std::vector<std::string>* writes_;
};

TEST(BagWriter, EachChunkIsOneWriteWithItsIndex) {
  const Case c = generated("many chunks", ChunkCompression::kLz4, 4096, 600, 300);
  std::vector<std::string> writes;
  BagWriter writer(std::make_unique<Recorder>(&writes), "recorded", {c.threshold, c.compression});
  write_ours(c, writer);
  std::string bytes;
  std::vector<size_t> starts;
  for (const std::string& w : writes) {
    starts.push_back(bytes.size());
    bytes += w;
  }
  const std::vector<drone_test::BagRecord> records = drone_test::bag_records(bytes);
  size_t write = 1;  // the first holds the version line and the file header
  size_t chunks = 0;
  for (size_t i = 1; i < records.size(); ++i) {
    const drone_test::BagRecord& r = records[i];
    if (r.op == drone_test::kOpChunk) {
      ASSERT_LT(write, starts.size());
      EXPECT_EQ(r.pos, starts[write]) << "chunk " << chunks;
      ++write;
      ++chunks;
    } else if (r.op == drone_test::kOpConnection) {
      EXPECT_EQ(r.pos, starts.back());  // the index section: the last write
      break;
    } else {
      EXPECT_EQ(r.op, drone_test::kOpIndexData);
      EXPECT_LT(r.pos, write < starts.size() ? starts[write] : bytes.size());
    }
  }
  EXPECT_GT(chunks, 5u);
  EXPECT_EQ(writes.size(), chunks + 2);
}

TEST(BagWriter, AFailedWriteStopsTheWriterWithItsReason) {
  const Case c = generated("many chunks", ChunkCompression::kNone, 4096, 600, 300);
  std::vector<std::string> writes;
  auto recorder = std::make_unique<Recorder>(&writes);
  recorder->fail_at_ = 3;
  BagWriter writer(std::move(recorder), "recorded", {c.threshold, c.compression});
  for (const BagConnectionInfo& info : c.connections) writer.add_connection(info);
  const std::string reason = "cannot write output bag recorded (No space left on device)";
  try {
    for (const Message& m : c.messages) {
      writer.write(m.connection, m.sec, m.nsec, m.bytes.data(), m.bytes.size());
    }
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), reason);
  }
  EXPECT_EQ(writes.size(), 3u);
  try {
    writer.close();
    FAIL() << "closed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), reason);
  }
}

TEST(BagWriter, OutputAppearsOnlyOnClose) {
  TempDir dir;
  const std::string out = dir.file("out.bag");
  drone_test::write_file(out, "earlier");
  const Case c = generated("many chunks", ChunkCompression::kNone, 4096, 600, 300);
  {
    BagWriter writer(out);
    for (const BagConnectionInfo& info : c.connections) writer.add_connection(info);
    writer.write(0, 1, 0, c.messages[0].bytes.data(), c.messages[0].bytes.size());
  }
  EXPECT_EQ(drone_test::read_file(out), "earlier");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  {
    BagWriter writer(out);
    write_ours(c, writer);
    writer.close();  // a second close does nothing
  }
  EXPECT_EQ(drone_test::read_all(out).size(), c.messages.size());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  try {
    BagWriter writer(dir.file("missing/out.bag"));
    FAIL() << "opened";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), "cannot write output bag " + dir.file("missing/out.bag") +
                            " (No such file or directory)");
  }
}

TEST(BagWriter, RefusesWhatNoBagCanHold) {
  const BagConnectionInfo good = connection(5, "/a", "/one");
  BagConnectionInfo no_type = good;
  no_type.fields.pop_back();
  BagConnectionInfo bad_name = good;
  bad_name.fields.emplace_back("a=b", "c");
  BagConnectionInfo no_topic = good;
  no_topic.topic.clear();
  struct Refusal {
    std::vector<BagConnectionInfo> connections;
    uint32_t connection, sec, nsec;
    std::string reason;
  };
  const std::vector<Refusal> refusals = {
      {{good, good}, 5, 1, 0, "connection 5 is declared twice"},
      {{no_type}, 5, 1, 0, "connection 5 has no \"type\" field"},
      {{bad_name}, 5, 1, 0, "connection 5 has a field that bag readers refuse (\"a=b\")"},
      {{no_topic}, 5, 1, 0, "connection 5 has a topic of 0 bytes"},
      {{good}, 6, 1, 0, "message on connection 6, which is not declared"},
      {{good}, 5, 0, 0, "message on connection 5 has time 0.0, which a bag cannot hold"},
      {{good},
       5,
       1,
       1000000000,
       "message on connection 5 has time 1.1000000000, which a bag "
       "cannot hold"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.reason);
    std::vector<std::string> writes;
    BagWriter writer(std::make_unique<Recorder>(&writes), "recorded");
    try {
      for (const BagConnectionInfo& info : r.connections) writer.add_connection(info);
      writer.write(r.connection, r.sec, r.nsec, nullptr, 0);
      FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), r.reason);
    }
    EXPECT_THROW(writer.close(), std::runtime_error);
  }
}

}  // namespace

namespace {

// A message written in pieces takes a chunk of its own, so with one chunk per message the file is
// the bag library's, byte for byte, plain or compressed; the pieces are asked for in order, and a
// failing piece leaves no output.
TEST(BagWriter, MessagesWrittenInPiecesAreTheLibrarysBytes) {
  for (const auto compression : {ChunkCompression::kNone, ChunkCompression::kLz4}) {
    SCOPED_TRACE(static_cast<int>(compression));
    const Case c = generated("pieces", compression, 0, 10, 3u << 20);  // pieces of 1 MiB
    TempDir dir;
    BagWriter writer(dir.file("ours.bag"), {c.threshold, c.compression});
    for (const BagConnectionInfo& info : c.connections) writer.add_connection(info);
    for (size_t i = 0; i < c.messages.size(); ++i) {
      const Message& m = c.messages[i];
      if (i % 3 == 1) {
        writer.write(m.connection, m.sec, m.nsec, m.bytes.data(), m.bytes.size());
        continue;
      }
      uint64_t next = 0;
      writer.write_pieces(m.connection, m.sec, m.nsec, m.bytes.size(),
                          [&](uint64_t from, uint8_t* out, size_t n) {
                            EXPECT_EQ(from, next);
                            std::copy_n(m.bytes.begin() + static_cast<long>(from), n, out);
                            next = from + n;
                          });
      EXPECT_EQ(next, m.bytes.size());
    }
    writer.close();
    write_library(c, dir.file("library.bag"));
    EXPECT_EQ(drone_test::read_file(dir.file("ours.bag")),
              drone_test::read_file(dir.file("library.bag")));

    BagWriter failing(dir.file("failed.bag"), {c.threshold, c.compression});
    failing.add_connection(c.connections[0]);
    EXPECT_THROW(failing.write_pieces(0, 1, 0, 10,
                                      [](uint64_t, uint8_t*, size_t) {
                                        throw std::runtime_error("the input went away");
                                      }),
                 std::runtime_error);
    EXPECT_THROW(failing.close(), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("failed.bag")));
  }
}

}  // namespace
