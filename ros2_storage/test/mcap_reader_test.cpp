// MCAP files through open_recording: every layout a writer produces, cut off at every byte, and
// damaged in the ways that must be refused before anything is set aside for them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ros2_storage/recording.h"
#include "testing/mcap_bytes.h"
#include "testing/output_paths.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::McapChannel;
using drone_test::McapLayout;
using drone_test::McapMessage;
using ros2_storage::Recording;

struct Seen {
  std::string topic;
  uint64_t log_time;
  std::string data;
  bool operator==(const Seen& o) const {
    return std::tie(topic, log_time, data) == std::tie(o.topic, o.log_time, o.data);
  }
  bool operator<(const Seen& o) const {
    return std::tie(topic, log_time, data) < std::tie(o.topic, o.log_time, o.data);
  }
};

std::vector<Seen> read_all(Recording& recording, const std::string& only = "") {
  std::vector<Seen> seen;
  double last_progress = 0;
  recording.read([&](const ros2_storage::Channel& c) { return only.empty() || c.topic == only; },
                 [&](const ros2_storage::Message& m) {
                   seen.push_back({m.channel->topic, m.log_time,
                                   std::string(reinterpret_cast<const char*>(m.data), m.size)});
                 },
                 [&](double done) {
                   EXPECT_GE(done, last_progress);
                   last_progress = done;
                 });
  EXPECT_EQ(last_progress, 1.0);
  return seen;
}

const std::vector<McapChannel> kChannels = {
    {3,
     "/livox/lidar",
     "livox_ros_driver2/msg/CustomMsg",
     "cdr",
     {{"offered_qos_profiles", "- history: 1\n  depth: 5"}, {"topic_type_hash", "RIHS01_ab"}}},
    {7, "/imu", "sensor_msgs/msg/Imu", "cdr", {}},
    {9, "/note", "", "json", {}},
};

// Log times out of order inside the chunks of two messages, equal times on both sides.
const std::vector<McapMessage> kMessages = {
    {3, 200, "frame-a", 1},
    {7, 100, "imu-a", 1},
    {7, 300, "imu-b", 2},
    {9, 300, "note", 1},
    {3, 500, "frame-b", 2},
    {7, 400, "imu-c", 3},
    {3, 600, std::string("\0\1z", 3), 3},
};

// The messages as a reader hands them over: each chunk's by log time, equal times as stored.
std::vector<Seen> expected(const McapLayout& layout, const std::string& only = "") {
  std::vector<Seen> all;
  for (const McapMessage& m : kMessages) {
    const auto c = std::find_if(kChannels.begin(), kChannels.end(),
                                [&](const McapChannel& x) { return x.id == m.channel; });
    all.push_back({c->topic, m.log_time, m.data});
  }
  if (layout.chunked) {
    for (size_t i = 0; i < all.size(); i += layout.messages_per_chunk) {
      const auto end =
          all.begin() + static_cast<long>(std::min(all.size(), i + layout.messages_per_chunk));
      std::stable_sort(all.begin() + static_cast<long>(i), end,
                       [](const Seen& a, const Seen& b) { return a.log_time < b.log_time; });
    }
  }
  if (!only.empty()) {
    all.erase(
        std::remove_if(all.begin(), all.end(), [&](const Seen& s) { return s.topic != only; }),
        all.end());
  }
  return all;
}

std::unique_ptr<Recording> open_bytes(const drone_test::TempDir& dir, const std::string& bytes,
                                      const std::string& name = "r.mcap") {
  drone_test::write_file(dir.file(name), bytes);
  return ros2_storage::open_recording(dir.file(name));
}

TEST(McapReader, EveryLayoutReadsTheMessagesAndStatesCountsOnlyFromItsSummary) {
  const std::vector<McapLayout> layouts = {
      {"", true, 2, true, true, {}},      {"zstd", true, 2, true, true, {}},
      {"lz4", true, 3, true, true, {}},   {"", false, 1, true, true, {}},
      {"zstd", true, 2, false, true, {}}, {"lz4", true, 100, false, false, {}},
      {"", false, 1, false, true, {}},    {"", true, 1, true, false, {}},
  };
  drone_test::TempDir dir;
  for (const McapLayout& layout : layouts) {
    SCOPED_TRACE("compression '" + layout.compression + "' chunked " +
                 std::to_string(layout.chunked) + " summary " + std::to_string(layout.summary));
    const auto recording = open_bytes(dir, drone_test::mcap_bytes(kChannels, kMessages, layout));
    EXPECT_EQ(recording->storage(), ros2_storage::Storage::mcap);
    ASSERT_EQ(recording->channels().size(), 3u);
    const ros2_storage::Channel& lidar = recording->channels()[0];
    EXPECT_EQ(lidar.type, "livox_ros_driver2/msg/CustomMsg");
    EXPECT_EQ(lidar.schema_encoding, "ros2msg");
    EXPECT_EQ(lidar.qos, "- history: 1\n  depth: 5");
    EXPECT_EQ(lidar.type_description_hash, "RIHS01_ab");
    EXPECT_EQ(recording->channels()[2].type, "");
    EXPECT_EQ(recording->channels()[2].encoding, "json");
    EXPECT_EQ(recording->stored().profile, "ros2");
    const ros2_storage::ReadOutcome& outcome = recording->outcome();
    EXPECT_TRUE(outcome.recording_closed);
    EXPECT_EQ(outcome.index_complete, layout.summary);
    EXPECT_EQ(outcome.unreadable_bytes, 0u);
    const ros2_storage::Inventory* stated = recording->stated_inventory();
    ASSERT_EQ(stated != nullptr, layout.summary);
    if (stated != nullptr) {
      EXPECT_EQ(stated->messages, (std::vector<uint64_t>{3, 3, 1}));
      EXPECT_EQ(stated->start, 100u);
      EXPECT_EQ(stated->end, 600u);
    }
    // Found on opening, from the summary or by the walk of a file without one.
    const ros2_storage::Inventory* found = recording->found_inventory();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->messages, (std::vector<uint64_t>{3, 3, 1}));
    EXPECT_EQ(found->start, 100u);
    EXPECT_EQ(found->end, 600u);
    EXPECT_EQ(read_all(*recording), expected(layout));
    EXPECT_EQ(read_all(*recording, "/imu"), expected(layout, "/imu"));
  }
}

TEST(McapReader, MetadataRecordsAreKeptForWritersWithOrWithoutSummary) {
  drone_test::TempDir dir;
  for (const bool summary : {true, false}) {
    McapLayout layout;
    layout.summary = summary;
    layout.metadata = {{"rosbag2", {{"serialized_metadata", "x: 1"}}}, {"other", {}}};
    const auto recording = open_bytes(dir, drone_test::mcap_bytes(kChannels, kMessages, layout));
    const auto& kept = recording->stored().metadata;
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].name, "rosbag2");
    EXPECT_EQ(kept[0].entries,
              (std::vector<std::pair<std::string, std::string>>{{"serialized_metadata", "x: 1"}}));
    EXPECT_EQ(kept[1].name, "other");
  }
}

// A recording that did not end: whatever byte the file stops at, opening and reading either
// refuse with a runtime_error or hand over a prefix of the messages, all whole; the messages of
// the chunks stored whole before the cut are never lost.
TEST(McapReader, FileCutAtEveryByteGivesTheWholeMessagesBeforeTheCut) {
  drone_test::TempDir dir;
  for (const std::string compression : {"", "zstd", "lz4"}) {
    for (const bool chunked : {true, false}) {
      McapLayout layout;
      layout.compression = compression;
      layout.chunked = chunked;
      layout.summary = false;
      const std::string whole = drone_test::mcap_bytes(kChannels, kMessages, layout);
      McapLayout loose = layout;
      loose.chunked = false;
      const std::vector<Seen> stored = expected(loose);
      size_t best = 0;
      for (size_t size = 0; size + 29 + 8 < whole.size(); ++size) {
        SCOPED_TRACE("'" + compression + "' chunked " + std::to_string(chunked) + " cut at " +
                     std::to_string(size));
        std::unique_ptr<Recording> recording;
        try {
          recording = open_bytes(dir, whole.substr(0, size));
        } catch (const std::runtime_error&) {
          EXPECT_LT(size, 8u) << "only a file without its magic is refused";
          continue;
        }
        EXPECT_FALSE(recording->outcome().recording_closed);
        EXPECT_FALSE(recording->outcome().index_complete);
        EXPECT_LE(recording->outcome().unreadable_bytes, size);
        // The messages stored before the cut, whatever order a cut chunk gives them in.
        std::vector<Seen> seen = read_all(*recording);
        ASSERT_LE(seen.size(), stored.size());
        const ros2_storage::Inventory* found = recording->found_inventory();
        ASSERT_NE(found, nullptr);
        uint64_t found_total = 0;
        for (const uint64_t n : found->messages) found_total += n;
        EXPECT_EQ(found_total, seen.size()) << "the walk on opening finds what read() gives";
        std::vector<Seen> before(stored.begin(), stored.begin() + static_cast<long>(seen.size()));
        std::sort(seen.begin(), seen.end());
        std::sort(before.begin(), before.end());
        EXPECT_EQ(seen, before);
        EXPECT_GE(seen.size(), best) << "a longer file gives no fewer messages";
        best = std::max(best, seen.size());
      }
      EXPECT_EQ(best, stored.size());
    }
  }
}

std::string chunk_body(uint64_t size, const std::string& compression, const std::string& stored,
                       uint32_t crc = 0) {
  std::string body;
  drone_test::mcap_put(body, 0, 8);
  drone_test::mcap_put(body, 0, 8);
  drone_test::mcap_put(body, size, 8);
  drone_test::mcap_put(body, crc, 4);
  drone_test::mcap_put_string(body, compression);
  drone_test::mcap_put(body, stored.size(), 8);
  return body + stored;
}

std::string channel_body(uint16_t id, const std::string& topic) {
  std::string body;
  drone_test::mcap_put(body, id, 2);
  drone_test::mcap_put(body, 0, 2);
  drone_test::mcap_put_string(body, topic);
  drone_test::mcap_put_string(body, "cdr");
  drone_test::mcap_put(body, 0, 4);
  return body;
}

std::string message_record(uint16_t channel) {
  std::string body;
  drone_test::mcap_put(body, channel, 2);
  drone_test::mcap_put(body, 0, 4);
  drone_test::mcap_put(body, 5, 8);
  drone_test::mcap_put(body, 5, 8);
  return drone_test::mcap_record(0x05, body + "data");
}

// A file without summary whose data section holds `records`, closed with footer and magic.
std::string file_of(const std::string& records) {
  std::string footer;
  drone_test::mcap_put(footer, 0, 20);
  const std::string magic("\x89MCAP0\r\n", 8);
  return magic + records + drone_test::mcap_record(0x02, footer) + magic;
}

TEST(McapReader, DamagedFilesAreRefusedNamingTheFaultAndItsPlace) {
  const std::string channel = drone_test::mcap_record(0x04, channel_body(1, "/a"));
  const std::string plain = channel + message_record(1);
  std::string damaged_crc = drone_test::mcap_bytes(kChannels, kMessages);
  const size_t first_chunk = damaged_crc.find(std::string(1, '\x06'), 8);
  damaged_crc[first_chunk + 9 + 24] ^= 0x01;  // the first chunk's stated CRC
  const struct {
    const char* fault;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"a chunk stating 1 TiB uncompressed",
       file_of(drone_test::mcap_record(0x06, chunk_body(1ull << 40, "", ""))),
       "chunk at byte 8 states 1099511627776 uncompressed bytes, more than the 268435456 a chunk "
       "may hold"},
      {"an lz4 bomb", file_of(drone_test::mcap_record(0x06, chunk_body(100u << 20, "lz4", "abc"))),
       "chunk at byte 8 states 104857600 bytes, more than its 3 stored bytes can hold with lz4"},
      {"a zstd bomb", file_of(drone_test::mcap_record(0x06, chunk_body(100u << 20, "zstd", "abc"))),
       "more than its 3 stored bytes can hold with zstd"},
      {"a plain chunk storing other than it states",
       file_of(drone_test::mcap_record(0x06, chunk_body(10, "", plain))),
       "chunk at byte 8 stores " + std::to_string(plain.size()) + " bytes, not the 10 it states"},
      {"zstd bytes that are not zstd",
       file_of(drone_test::mcap_record(0x06, chunk_body(plain.size(), "zstd", plain))),
       "chunk at byte 8 cannot be decompressed (zstd: "},
      {"an unknown compression", file_of(drone_test::mcap_record(0x06, chunk_body(1, "bz2", "x"))),
       "chunk at byte 8 uses compression bz2, which is not read"},
      {"a record running past its chunk",
       file_of(drone_test::mcap_record(
           0x06, chunk_body(plain.size() - 1, "", plain.substr(0, plain.size() - 1)))),
       "record at offset " + std::to_string(channel.size()) +
           " of the chunk at byte 8 runs past the chunk's end"},
      {"a message before its channel", file_of(message_record(4)),
       "message at byte 8 is on channel 4, which the file does not define"},
      {"a channel defined twice",
       file_of(channel + drone_test::mcap_record(0x04, channel_body(1, "/b"))),
       "channel 1 is defined for topic /a () and again for topic /b (); its messages cannot be "
       "told apart"},
      {"a chunk CRC that does not match", damaged_crc, "has records whose CRC is"},
      {"a record running past the data section",
       file_of(drone_test::mcap_record(0x80, "abc").substr(0, 5) + std::string(4, '\x7f')),
       "record at byte 8 runs past the data section's end"},
  };
  drone_test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    try {
      const auto recording = open_bytes(dir, c.bytes);
      read_all(*recording);
      ADD_FAILURE() << "read without a fault";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(dir.file("r.mcap") + ": ", 0), 0u) << e.what();
    }
  }
}

// A closed file whose summary does not read whole is read as one without summary: its messages
// are all there, its counts are not stated.
TEST(McapReader, DamagedSummaryIsPassedOverAndTheDataWalked) {
  const std::string whole = drone_test::mcap_bytes(kChannels, kMessages);
  const size_t footer = whole.size() - 37;
  std::string bad_crc = whole;
  bad_crc[footer - 3] ^= 0x10;  // a byte of the summary's last record
  std::string outside = whole;
  outside[footer + 9 + 5] = 0x7f;  // the summary's start, far past the end
  std::string no_crc_cut = whole;
  std::fill_n(no_crc_cut.begin() + static_cast<long>(footer + 9 + 16), 4, '\0');  // no CRC
  no_crc_cut[footer - 65] = '\x7f';  // the last chunk index's length, past the summary's end
  drone_test::TempDir dir;
  for (const std::string* bytes : {&bad_crc, &outside, &no_crc_cut}) {
    const auto recording = open_bytes(dir, *bytes);
    EXPECT_TRUE(recording->outcome().recording_closed);
    EXPECT_FALSE(recording->outcome().index_complete);
    EXPECT_EQ(recording->stated_inventory(), nullptr);
    EXPECT_EQ(read_all(*recording), expected(McapLayout{}));
  }
}

TEST(McapReader, RecordsOfUnknownOpcodesAreSkipped) {
  const std::string records =
      drone_test::mcap_record(0x04, channel_body(1, "/a")) +
      drone_test::mcap_record(0x80, "future record") + message_record(1) +
      drone_test::mcap_record(0x06, chunk_body(17, "", drone_test::mcap_record(0x81, "inside!!"))) +
      message_record(1);
  drone_test::TempDir dir;
  const auto recording = open_bytes(dir, file_of(records));
  EXPECT_EQ(read_all(*recording), (std::vector<Seen>{{"/a", 5, "data"}, {"/a", 5, "data"}}));
}

// Recordings with one chunk too large to hold (a recorded map, a recorder set to large chunks):
// message k (log time 1000 + k) has large_size(k) bytes of a pattern the codecs compress but in
// which a byte out of place shows. One message is larger than the 16 MiB a chunk is held up to.
constexpr uint64_t kLargeMessages = 128;
constexpr uint64_t kLargestAt = 5;
constexpr uint64_t kLargestBytes = 20u << 20;

uint64_t large_size(uint64_t k) {
  if (k == kLargestAt) return kLargestBytes;
  return k % 3 == 0 ? (1u << 20) + k : 100 + k;
}
char large_byte(uint64_t k, uint64_t j) { return static_cast<char>(k * 131 + j * 7 + (j >> 10)); }
uint64_t large_total() {
  uint64_t total = 0;
  for (uint64_t k = 0; k < kLargeMessages; ++k) total += large_size(k);
  return total;
}

// The file, its messages stored by log time or latest first, all in one chunk (or loose).
std::string large_file(const std::string& compression, bool chunked, bool by_time) {
  std::vector<McapMessage> messages;
  for (uint64_t i = 0; i < kLargeMessages; ++i) {
    const uint64_t k = by_time ? i : kLargeMessages - 1 - i;
    std::string data(large_size(k), '\0');
    for (uint64_t j = 0; j < data.size(); ++j) data[j] = large_byte(k, j);
    messages.push_back({3, 1000 + k, std::move(data), 0});
  }
  McapLayout layout;
  layout.compression = compression;
  layout.chunked = chunked;
  layout.messages_per_chunk = kLargeMessages;
  layout.summary = false;
  return drone_test::mcap_bytes(kChannels, messages, layout);
}

// Runs `task` in a child process, whose peak resident size is then its own: its exit status (0
// when the task returned true) and that peak in KiB.
std::pair<int, long> in_child(const std::function<bool()>& task) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    bool done = false;
    try {
      done = task();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    ::_exit(done ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return {-1, 0};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

// Under the sanitizers the shadow memory counts in the peak: it bounds nothing there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakBounds = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPeakBounds = false;
#else
constexpr bool kPeakBounds = true;
#endif
#else
constexpr bool kPeakBounds = true;
#endif

// Each large chunk (and the same messages outside chunks) reads back whole, byte for byte, by log
// time, while the reader's peak stays under the chunk's size: a reader that holds the chunk, or
// holds it twice (stored and decompressed), or a buffer per message, goes past it. The scratch
// file of a compressed chunk leaves nothing in $TMPDIR.
TEST(McapReader, ChunkTooLargeToHoldReadsBackWholeInAFixedBudget) {
  const struct {
    std::string compression;
    bool chunked;
    bool by_time;
  } cases[] = {
      {"", true, true},      {"zstd", true, true}, {"lz4", true, true}, {"", true, false},
      {"zstd", true, false}, {"lz4", true, false}, {"", false, true},
  };
  drone_test::TempDir dir;
  const drone_test::TempDir scratch;
  const std::string path = dir.file("large.mcap");
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.compression + "' chunked " + std::to_string(c.chunked) + " by time " +
                 std::to_string(c.by_time));
    // Written by a child of its own, so that the reading child starts from a small process.
    ASSERT_EQ(in_child([&] {
                drone_test::write_file(path, large_file(c.compression, c.chunked, c.by_time));
                return true;
              }).first,
              0);
    const auto [status, peak_kib] = in_child([&] {
      ::setenv("TMPDIR", scratch.path().c_str(), 1);
      const auto recording = ros2_storage::open_recording(path);
      uint64_t next = 0;
      bool same = true;
      recording->read([](const ros2_storage::Channel&) { return true; },
                      [&](const ros2_storage::Message& m) {
                        const uint64_t k = m.log_time - 1000;
                        same = same && k == next && m.size == large_size(k);
                        for (uint64_t j = 0; same && j < m.size; ++j) {
                          same = m.data[j] == static_cast<uint8_t>(large_byte(k, j));
                        }
                        ++next;
                      });
      return same && next == kLargeMessages;
    });
    EXPECT_EQ(status, 0) << "a message came out of order or with other bytes";
    if (kPeakBounds) {
      EXPECT_LT(peak_kib * 1024, static_cast<long>(large_total())) << peak_kib << " KiB";
    }
    EXPECT_TRUE(drone_test::dir_entries(scratch.path()).empty());
  }
}

// A chunk too large to hold is judged as a held one is: decompressing to more or fewer bytes than
// it states, or to records whose CRC differs from the stated one, is refused.
TEST(McapReader, ChunkTooLargeToHoldIsRefusedWhenItsBytesDisagreeWithItsFields) {
  // The chunk's uncompressed size (16) and CRC (24) fields, after its record head and two times.
  const auto field_at = [](const std::string& bytes, size_t field) {
    return bytes.find(std::string(1, '\x06'), 8) + 9 + field;
  };
  const auto patched = [&](std::string bytes, size_t field, uint64_t value) {
    std::string put;
    drone_test::mcap_put(put, value, field == 16 ? 8 : 4);
    return bytes.replace(field_at(bytes, field), put.size(), put);
  };
  const std::string zstd = large_file("zstd", true, true);
  const std::string lz4 = large_file("lz4", true, true);
  const std::string plain = large_file("", true, true);
  uint64_t size = 0;
  std::memcpy(&size, plain.data() + field_at(plain, 16), sizeof size);
  const std::string fewer = std::to_string(17u << 20);
  const uint64_t more = size + 4096;
  const std::string more_text =
      std::to_string(size) + " bytes, not the " + std::to_string(more) + " it states";
  const struct {
    const char* fault;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"zstd stating fewer bytes", patched(zstd, 16, 17u << 20),
       "decompresses to more than " + fewer + " bytes, not the " + fewer + " it states"},
      {"lz4 stating fewer bytes", patched(lz4, 16, 17u << 20),
       "decompresses to more than " + fewer + " bytes, not the " + fewer + " it states"},
      {"zstd stating more bytes", patched(zstd, 16, more), "decompresses to " + more_text},
      {"lz4 stating more bytes", patched(lz4, 16, more), "decompresses to " + more_text},
      {"a plain chunk's CRC", patched(plain, 24, 12345), "has records whose CRC is"},
      {"a zstd chunk's CRC", patched(zstd, 24, 12345), "has records whose CRC is"},
  };
  drone_test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    try {
      const auto recording = open_bytes(dir, c.bytes);
      recording->read([](const ros2_storage::Channel&) { return true; },
                      [](const ros2_storage::Message&) {});
      ADD_FAILURE() << "read without a fault";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

// A recording that stopped inside its large chunk gives the whole messages stored before the cut.
TEST(McapReader, ChunkTooLargeToHoldCutOffGivesTheWholeMessagesBeforeTheCut) {
  drone_test::TempDir dir;
  for (const std::string compression : {"", "zstd", "lz4"}) {
    SCOPED_TRACE("'" + compression + "'");
    const std::string whole = large_file(compression, true, true);
    const auto recording = open_bytes(dir, whole.substr(0, whole.size() * 3 / 4));
    EXPECT_FALSE(recording->outcome().recording_closed);
    uint64_t next = 0;
    recording->read([](const ros2_storage::Channel&) { return true; },
                    [&](const ros2_storage::Message& m) {
                      ASSERT_EQ(m.log_time, 1000 + next);
                      ASSERT_EQ(m.size, large_size(next));
                      EXPECT_EQ(m.data[m.size - 1],
                                static_cast<uint8_t>(large_byte(next, m.size - 1)));
                      ++next;
                    });
    EXPECT_GT(next, kLargestAt) << "the messages before the cut are read";
    EXPECT_LT(next, kLargeMessages);
  }
}

}  // namespace
