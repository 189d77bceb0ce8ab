// Recordings through open_recording: what a path holds, the recorder's own recordings
// (testing/fixtures/ros2) with the counts their README states, SQLite files of each rosbag2
// schema and rosbag2 folders.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"
#include "testing/mcap_bytes.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using ros2_storage::InputKind;

// Messages read per topic, checked against the stated counts where the files state them and
// against those found on opening.
std::map<std::string, uint64_t> counts_of(ros2_storage::Recording& recording) {
  std::map<std::string, uint64_t> read;
  for (const auto& c : recording.channels()) read[c.topic] = 0;
  recording.read([](const ros2_storage::Channel&) { return true; },
                 [&](const ros2_storage::Message& m) { ++read[m.channel->topic]; });
  // What the files state, and what opening found (stated, or walked), is what reading gives.
  EXPECT_NE(recording.found_inventory(), nullptr);
  for (const ros2_storage::Inventory* known :
       {recording.stated_inventory(), recording.found_inventory()}) {
    if (known == nullptr) continue;
    for (size_t i = 0; i < recording.channels().size(); ++i) {
      EXPECT_EQ(known->messages[i], read[recording.channels()[i].topic])
          << recording.channels()[i].topic;
    }
  }
  return read;
}

std::string quote(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return "'" + out + "'";
}

// Runs `sql` on a new SQLite file at `path`.
void make_db(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string why = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(result, SQLITE_OK) << why;
}

const char kMessagesTable[] =
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL,"
    " timestamp INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX timestamp_idx ON messages (timestamp ASC);";

// Inserted out of time order, with equal times told apart by id.
const char kMessageRows[] =
    "INSERT INTO messages VALUES (1, 1, 300, x'0001'), (2, 2, 100, x'02'), (3, 1, 300, x'03'),"
    " (4, 2, 200, x'04');";

TEST(DetectInput, KindIsDecidedByContentNeverByName) {
  drone_test::TempDir dir;
  const std::string mcap = drone_test::mcap_bytes({}, {});
  const struct {
    std::string name;
    std::string bytes;
    InputKind kind;
    std::string found;
  } files[] = {
      {"old.mcap", "#ROSBAG V2.0\n", InputKind::ros1_bag, ""},
      {"r.bag", mcap, InputKind::mcap_file, ""},
      {"r.bin", std::string("SQLite format 3\0more", 20), InputKind::sqlite_file, ""},
      {"short.db3", "SQLite", InputKind::unknown,
       "a file of 6 bytes that is neither a ROS 1 bag, an MCAP file nor a SQLite file"},
      {"empty.mcap", "", InputKind::unknown,
       "a file of 0 bytes that is neither a ROS 1 bag, an MCAP file nor a SQLite file"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    drone_test::write_file(dir.file(f.name), f.bytes);
    std::string found;
    EXPECT_EQ(ros2_storage::detect_input(dir.file(f.name), &found), f.kind);
    EXPECT_EQ(found, f.found);
  }
  std::string found;
  EXPECT_EQ(ros2_storage::detect_input(dir.file("none"), &found), InputKind::unknown);
  EXPECT_EQ(found, "nothing (No such file or directory)");
  ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0755), 0);
  EXPECT_EQ(ros2_storage::detect_input(dir.file("empty"), &found), InputKind::unknown);
  EXPECT_EQ(found, "a folder without metadata.yaml or storage files");
  for (const auto& other : drone_test::non_regular_files(dir)) {
    if (other.kind == "a directory") continue;
    EXPECT_EQ(ros2_storage::detect_input(other.path, &found), InputKind::unknown) << other.kind;
    EXPECT_EQ(found, other.kind);
  }
  // A folder is a recording by its metadata.yaml, or by a storage file of any name.
  EXPECT_EQ(ros2_storage::detect_input(dir.path()), InputKind::rosbag2_folder);
  ASSERT_EQ(::mkdir(dir.file("described").c_str(), 0755), 0);
  drone_test::write_file(dir.file("described/metadata.yaml"), "");
  EXPECT_EQ(ros2_storage::detect_input(dir.file("described")), InputKind::rosbag2_folder);
  EXPECT_THROW(ros2_storage::open_recording(dir.file("old.mcap")), std::runtime_error);
  EXPECT_THROW(ros2_storage::open_recording(dir.file("short.db3")), std::runtime_error);
}

// The recorder's own recordings, with the counts testing/fixtures/ros2/README.md states.
TEST(Fixtures, EveryRecordingReadsWithItsStatedCounts) {
  const struct {
    std::string path;
    ros2_storage::Storage storage;
    size_t files;
    bool stated;
    std::map<std::string, uint64_t> counts;
  } recordings[] = {
      {"mcap-talker",
       ros2_storage::Storage::mcap,
       1,
       true,
       {{"/topic", 10}, {"/rosout", 10}, {"/parameter_events", 0}}},
      {"sqlite3-talker",
       ros2_storage::Storage::sqlite,
       1,
       true,
       {{"/topic", 10}, {"/rosout", 10}, {"/parameter_events", 0}}},
      {"mcap-split",
       ros2_storage::Storage::mcap,
       5,
       true,
       {{"AAA", 804},
        {"BBB", 742},
        {"CCC", 742},
        {"DDD", 753},
        {"EEE", 804},
        {"FFF", 772},
        {"GGG", 731},
        {"HHH", 726}}},
      {"sqlite3-split",
       ros2_storage::Storage::sqlite,
       5,
       true,
       {{"AAA", 804},
        {"BBB", 742},
        {"CCC", 742},
        {"DDD", 753},
        {"EEE", 804},
        {"FFF", 772},
        {"GGG", 731},
        {"HHH", 726}}},
      {"mcap-cdr_test",
       ros2_storage::Storage::mcap,
       1,
       true,
       {{"/array_topic", 4}, {"/test_topic", 3}}},
      {"sqlite3-cdr_test",
       ros2_storage::Storage::sqlite,
       1,
       true,
       {{"/array_topic", 4}, {"/test_topic", 3}}},
      {"mcap-no-metadata", ros2_storage::Storage::mcap, 3, true, {{"/chatter", 3177}}},
      {"sqlite3-no-metadata", ros2_storage::Storage::sqlite, 3, true, {{"/chatter", 3177}}},
      {"mcap-services",
       ros2_storage::Storage::mcap,
       1,
       true,
       {{"/test_topic1", 1},
        {"/test_topic2", 1},
        {"/test_service1/_service_event", 4},
        {"/test_service2/_service_event", 4},
        {"/events/write_split", 0}}},
      {"mcap-single/only_topics.mcap",
       ros2_storage::Storage::mcap,
       1,
       true,
       {{"/parameter_events", 7}, {"/rosout", 0}, {"/events/write_split", 0}}},
  };
  for (const auto& r : recordings) {
    SCOPED_TRACE(r.path);
    const auto recording = ros2_storage::open_recording(drone_test::fixture_path("ros2/" + r.path));
    EXPECT_EQ(recording->storage(), r.storage);
    EXPECT_EQ(recording->stored().files.size(), r.files);
    EXPECT_TRUE(recording->outcome().recording_closed);
    EXPECT_EQ(recording->stated_inventory() != nullptr, r.stated);
    EXPECT_EQ(counts_of(*recording), r.counts);
    for (const auto& c : recording->channels()) {
      EXPECT_TRUE(c.type.find("/msg/") != std::string::npos ||
                  c.type.find("/srv/") != std::string::npos)
          << c.type;
      EXPECT_EQ(c.encoding, "cdr");
    }
  }
}

// The Livox recordings of independent writers (testing/fixtures/ros2-livox): every message as
// the writer's expected.txt states it, per topic its count, first and last log time and the
// CRC-32 of its payloads in the order handed over.
TEST(Fixtures, IndependentLivoxRecordingsGiveWhatTheirWriterStored) {
  std::map<std::string, std::vector<std::string>> expected;
  std::istringstream lines(
      drone_test::read_file(drone_test::fixture_path("ros2-livox/expected.txt")));
  for (std::string line; std::getline(lines, line);) {
    expected[line.substr(0, line.find(' '))].push_back(line);
  }
  const struct {
    std::string recording;
    bool closed;
    bool indexed;
  } outcomes[] = {{"livox-zstd.mcap", true, true},      {"livox-lz4.mcap", true, true},
                  {"livox-unchunked.mcap", true, true}, {"livox-nosummary.mcap", true, false},
                  {"livox-cut.mcap", false, false},     {"livox-split", true, true},
                  {"livox-sqlite", true, true}};
  ASSERT_EQ(expected.size(), std::size(outcomes));
  for (const auto& o : outcomes) {
    SCOPED_TRACE(o.recording);
    const auto recording =
        ros2_storage::open_recording(drone_test::fixture_path("ros2-livox/" + o.recording));
    EXPECT_EQ(recording->outcome().recording_closed, o.closed);
    EXPECT_EQ(recording->outcome().index_complete, o.indexed);
    EXPECT_EQ(recording->stated_inventory() != nullptr, o.indexed);
    struct Topic {
      uint64_t count = 0;
      uint64_t first = 0;
      uint64_t last = 0;
      uLong crc = crc32(0, nullptr, 0);
    };
    // Every topic, then the IMU alone (the chunks without IMU samples passed over).
    const auto lines_of = [&](const std::string& only) {
      std::map<std::string, Topic> topics;
      recording->read(
          [&](const ros2_storage::Channel& c) { return only.empty() || c.topic == only; },
          [&](const ros2_storage::Message& m) {
            Topic& t = topics[m.channel->topic];
            if (t.count++ == 0) t.first = m.log_time;
            t.last = m.log_time;
            t.crc = crc32(t.crc, m.data, static_cast<uInt>(m.size));
          });
      std::vector<std::string> seen;
      seen.reserve(topics.size());
      for (const auto& [name, t] : topics) {
        seen.push_back(o.recording + " " + name + " " + std::to_string(t.count) + " " +
                       std::to_string(t.first) + " " + std::to_string(t.last) + " " +
                       std::to_string(t.crc));
      }
      return seen;
    };
    std::vector<std::string> wanted = expected[o.recording];
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(lines_of(""), wanted);
    EXPECT_EQ(lines_of("/livox/imu"), std::vector<std::string>{wanted.front()});
  }
}

TEST(SqliteReader, EveryRosbag2SchemaReadsInTimeOrderWithTheColumnsItHas) {
  const struct {
    const char* release;
    std::string tables;
    std::string qos;
    std::string hash;
    std::string schema;
  } schemas[] = {
      {"without QoS column",
       "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT, type TEXT,"
       " serialization_format TEXT);",
       "", "", ""},
      {"humble",
       "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT, type TEXT,"
       " serialization_format TEXT, offered_qos_profiles TEXT);"
       "INSERT INTO topics (id, name, type, serialization_format) VALUES (9, '/unused',"
       " 'std_msgs/msg/Empty', 'cdr');",
       "- depth: 10", "", ""},
      {"jazzy",
       "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT, type TEXT,"
       " serialization_format TEXT, offered_qos_profiles TEXT, type_description_hash TEXT);"
       "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY, topic_type TEXT,"
       " encoding TEXT, encoded_message_definition TEXT, type_description_hash TEXT);"
       "INSERT INTO message_definitions VALUES (1, 'livox_ros_driver2/msg/CustomMsg',"
       " 'ros2msg', 'uint64 timebase', 'RIHS01_x');"
       "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY, ros_distro TEXT);"
       "INSERT INTO schema VALUES (4, 'jazzy');",
       "- depth: 5", "RIHS01_x", "uint64 timebase"},
  };
  drone_test::TempDir dir;
  for (const auto& s : schemas) {
    SCOPED_TRACE(s.release);
    const std::string path = dir.file(std::string(s.release) + ".db3");
    const std::string extra_columns = (s.qos.empty() ? "" : ", offered_qos_profiles") +
                                      std::string(s.hash.empty() ? "" : ", type_description_hash");
    const std::string extra_values =
        (s.qos.empty() ? "" : ", " + quote(s.qos)) + (s.hash.empty() ? "" : ", " + quote(s.hash));
    make_db(path, s.tables + kMessagesTable + kMessageRows +
                      "INSERT INTO topics (id, name, type, serialization_format" + extra_columns +
                      ") VALUES (1, '/livox/lidar', 'livox_ros_driver2/msg/CustomMsg', 'cdr'" +
                      extra_values + "), (2, '/imu', 'sensor_msgs/msg/Imu', 'cdr'" + extra_values +
                      ");");
    ASSERT_EQ(ros2_storage::detect_input(path), InputKind::sqlite_file);
    const auto recording = ros2_storage::open_recording(path);
    EXPECT_EQ(recording->storage(), ros2_storage::Storage::sqlite);
    ASSERT_GE(recording->channels().size(), 2u);
    const ros2_storage::Channel& lidar = recording->channels()[0];
    EXPECT_EQ(lidar.topic, "/livox/lidar");
    EXPECT_EQ(lidar.qos, s.qos);
    EXPECT_EQ(lidar.type_description_hash, s.hash);
    EXPECT_EQ(lidar.schema, s.schema);
    EXPECT_TRUE(recording->outcome().recording_closed);
    const ros2_storage::Inventory* stated = recording->stated_inventory();
    ASSERT_NE(stated, nullptr);
    EXPECT_EQ(stated->messages[0], 2u);
    EXPECT_EQ(stated->messages[1], 2u);
    EXPECT_EQ(stated->start, 100u);
    EXPECT_EQ(stated->end, 300u);
    std::string order;
    recording->read([](const ros2_storage::Channel&) { return true; },
                    [&](const ros2_storage::Message& m) {
                      order += std::to_string(m.log_time) + ":" +
                               std::to_string(m.data[m.size - 1]) + " ";
                    });
    EXPECT_EQ(order, "100:2 200:4 300:1 300:3 ");
  }
}

TEST(SqliteReader, FilesOutsideRosbag2sSchemaAreRefusedNamingWhatLacks) {
  const std::string topics =
      "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT, type TEXT,"
      " serialization_format TEXT); INSERT INTO topics VALUES (1, '/a', 'a/msg/B', 'cdr');";
  const struct {
    const char* fault;
    std::string sql;
    std::string error;
  } files[] = {
      {"no topics table", kMessagesTable, "holds no topics table: it is no rosbag2 SQLite file"},
      {"a messages table without data",
       topics +
           "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER, timestamp INTEGER);",
       "the messages table has no column data"},
      {"a message before 1970",
       topics + kMessagesTable + "INSERT INTO messages VALUES (7, 1, -5, x'00');",
       "message 7 has the timestamp -5, before 1970"},
  };
  drone_test::TempDir dir;
  for (const auto& f : files) {
    SCOPED_TRACE(f.fault);
    const std::string path = dir.file(std::string(f.fault) + ".db3");
    make_db(path, f.sql);
    try {
      counts_of(*ros2_storage::open_recording(path));
      ADD_FAILURE() << "read";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), path + ": " + f.error);
    }
  }
}

// A recorder that did not close its file leaves a write-ahead log beside it; a damaged page
// stops the reading with an error after the whole messages before it, never a crash.
TEST(SqliteReader, UnclosedOrDamagedFilesGiveTheMessagesBeforeTheFault) {
  drone_test::TempDir dir;
  const std::string path = dir.file("r.db3");
  std::string rows = "BEGIN;";
  for (int i = 1; i <= 200; ++i) {
    rows += "INSERT INTO messages VALUES (" + std::to_string(i) + ", 1, " + std::to_string(i) +
            ", randomblob(" + std::to_string(300 + 40 * i) + "));";
  }
  make_db(path,
          "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT, type TEXT,"
          " serialization_format TEXT, offered_qos_profiles TEXT);"
          "INSERT INTO topics VALUES (1, '/a', 'std_msgs/msg/String', 'cdr', '');" +
              std::string(kMessagesTable) + rows + "COMMIT;");
  drone_test::write_file(path + "-wal", std::string(4096, 'w'));
  {
    const auto recording = ros2_storage::open_recording(path);
    EXPECT_FALSE(recording->outcome().recording_closed);
    EXPECT_EQ(recording->outcome().unreadable_bytes, 4096u);
    EXPECT_EQ(counts_of(*recording).at("/a"), 200u);
  }
  const std::string whole = drone_test::read_file(path);
  const size_t page = 4096;
  size_t refused = 0;
  for (size_t at = page; at + page <= whole.size(); at += page) {
    std::string damaged = whole;
    for (size_t i = 0; i < page; i += 7) damaged[at + i] = static_cast<char>(0xA5 ^ i);
    drone_test::write_file(path, damaged);
    uint64_t before = 0;
    try {
      const auto recording = ros2_storage::open_recording(path);
      recording->read([](const ros2_storage::Channel&) { return true; },
                      [&](const ros2_storage::Message& m) {
                        EXPECT_EQ(m.log_time, before + 1) << "in time order, none left out";
                        ++before;
                      });
    } catch (const std::runtime_error& e) {
      ++refused;
      EXPECT_EQ(std::string(e.what()).rfind(path + ": ", 0), 0u) << e.what();
    }
  }
  EXPECT_GT(refused, 0u);
}

std::string metadata_yaml(const std::string& storage, const std::vector<std::string>& files) {
  std::string yaml =
      "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: " + storage +
      "\n  relative_file_paths:\n";
  for (const std::string& f : files) yaml += "    - " + f + "\n";
  return yaml +
         "  topics_with_message_count:\n    - topic_metadata:\n        name: /imu\n"
         "        type: sensor_msgs/msg/Imu\n        serialization_format: cdr\n"
         "        offered_qos_profiles: \"- history: 3\\n  depth: 0\"\n      message_count: 3\n";
}

// A split recording: the same topic on other channel ids in each file, files read in the order
// metadata.yaml lists them, or without it by the index in their names.
TEST(Rosbag2Folder, SplitFilesReadAsOneRecording) {
  drone_test::TempDir dir;
  const std::vector<drone_test::McapChannel> first = {
      {1, "/imu", "sensor_msgs/msg/Imu", "cdr", {}}};
  const std::vector<drone_test::McapChannel> second = {
      {4, "/lidar", "livox_ros_driver2/msg/CustomMsg", "cdr", {}},
      {2, "/imu", "sensor_msgs/msg/Imu", "cdr", {}}};
  drone_test::McapLayout unsummarised;
  unsummarised.summary = false;
  drone_test::write_file(dir.file("r_10.mcap"),
                         drone_test::mcap_bytes(second, {{2, 50, "i3"}, {4, 60, "l1"}}));
  drone_test::write_file(dir.file("r_2.mcap"),
                         drone_test::mcap_bytes(first, {{1, 30, "i2"}}, unsummarised));
  drone_test::write_file(dir.file("r_1.mcap"), drone_test::mcap_bytes(first, {{1, 10, "i1"}}));
  const auto order_of = [](ros2_storage::Recording& recording) {
    std::string order;
    recording.read([](const ros2_storage::Channel&) { return true; },
                   [&](const ros2_storage::Message& m) {
                     order += std::string(reinterpret_cast<const char*>(m.data), m.size) + " ";
                   });
    return order;
  };
  {
    const auto recording = ros2_storage::open_recording(dir.path());
    ASSERT_EQ(recording->channels().size(), 2u);
    EXPECT_EQ(recording->channels()[0].topic, "/imu");
    EXPECT_EQ(recording->stored().files.back(), dir.file("r_10.mcap"));
    EXPECT_EQ(recording->stated_inventory(), nullptr) << "r_2.mcap states no counts";
    EXPECT_FALSE(recording->outcome().index_complete);
    EXPECT_EQ(order_of(*recording), "i1 i2 i3 l1 ");
  }
  drone_test::write_file(dir.file("metadata.yaml"),
                         metadata_yaml("mcap", {"r_10.mcap", "r_1.mcap"}));
  const auto recording = ros2_storage::open_recording(dir.path());
  EXPECT_EQ(order_of(*recording), "i3 l1 i1 ");
  ASSERT_EQ(recording->channels().size(), 2u);
  EXPECT_EQ(recording->channels()[0].qos, "") << "/lidar is not in metadata.yaml";
  EXPECT_EQ(recording->channels()[1].qos, "- history: 3\n  depth: 0");
  const ros2_storage::Inventory* stated = recording->stated_inventory();
  ASSERT_NE(stated, nullptr);
  EXPECT_EQ(stated->messages, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(stated->start, 10u);
  EXPECT_EQ(stated->end, 60u);
  EXPECT_EQ(recording->stored().metadata_yaml, drone_test::read_file(dir.file("metadata.yaml")));
}

TEST(Rosbag2Folder, FaultyFoldersAreRefusedNamingTheFault) {
  const std::string mcap = drone_test::mcap_bytes({}, {});
  const struct {
    const char* fault;
    std::string yaml;  // none when empty
    std::vector<std::pair<std::string, std::string>> files;
    std::string error;
  } folders[] = {
      {"a listed file missing",
       metadata_yaml("mcap", {"a_0.mcap", "a_1.mcap"}),
       {{"a_0.mcap", mcap}},
       "metadata.yaml lists a_1.mcap, which is not in the folder"},
      {"a file outside the folder",
       metadata_yaml("mcap", {"../a_0.mcap"}),
       {{"a_0.mcap", mcap}},
       "metadata.yaml lists ../a_0.mcap, which lies outside the folder"},
      {"an unknown storage",
       metadata_yaml("rosbag_v2", {"a_0.mcap"}),
       {{"a_0.mcap", mcap}},
       "metadata.yaml names the storage rosbag_v2, which is not read"},
      {"storage other than stated",
       metadata_yaml("sqlite3", {"a_0.mcap"}),
       {{"a_0.mcap", mcap}},
       "a_0.mcap holds no SQLite file, which metadata.yaml names as the storage"},
      {"compressed files",
       metadata_yaml("mcap", {"a_0.mcap.zstd"}) +
           "  compression_format: zstd\n  compression_mode: FILE\n",
       {{"a_0.mcap.zstd", "x"}},
       "is compressed with zstd (FILE mode), which is not read"},
      {"no YAML", "rosbag2_bagfile_information: [", {}, "metadata.yaml is no rosbag2 metadata: "},
      {"storages mixed",
       "",
       {{"a_0.mcap", mcap}, {"a_1.db3", std::string("SQLite format 3\0", 16)}},
       "holds both MCAP and SQLite files and no metadata.yaml"},
  };
  drone_test::TempDir dir;
  int n = 0;
  for (const auto& f : folders) {
    SCOPED_TRACE(f.fault);
    const std::string folder = dir.file(std::to_string(n++));
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    if (!f.yaml.empty()) drone_test::write_file(folder + "/metadata.yaml", f.yaml);
    for (const auto& [name, bytes] : f.files) drone_test::write_file(folder + "/" + name, bytes);
    try {
      ros2_storage::open_recording(folder);
      ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(f.error), std::string::npos) << e.what();
    }
  }
}

}  // namespace
