// The writers of MCAP files, SQLite files and rosbag2 folders, read back by independent readers
// (@mcap/core, the sqlite3 command, Python's yaml) message by message.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ros2_storage/recording_writer.h"
#include "testing/process.h"
#include "testing/ros2_readers.h"
#include "testing/temp_dir.h"

namespace {

using ros2_storage::Channel;
using ros2_storage::Storage;
using ros2_storage::WriterOptions;

struct Written {
  uint32_t channel;
  uint64_t log_time;
  uint64_t publish_time;
  uint32_t sequence;
  std::string data;
};

// Four channels: a typed one with its definition, one without a schema, one with QoS text in
// its metadata, and one that gets no message.
std::vector<Channel> test_channels() {
  std::vector<Channel> channels(4);
  channels[0] = {"/imu",
                 "sensor_msgs/msg/Imu",
                 "cdr",
                 "ros2msg",
                 "float64 x\nfloat64 y\n",
                 "- history: 3\n  depth: 0\n",
                 "RIHS01_abc",
                 {}};
  channels[1] = {"/raw", "std_msgs/msg/String", "cdr", "", "", "", "", {}};
  channels[2] = {
      "/odom",     "nav_msgs/msg/Odometry", "cdr", "ros2msg",
      "int32 a\n", "- history: 1\n",        "",    {{"offered_qos_profiles", "- history: 1\n"}}};
  channels[3] = {"/quiet", "std_msgs/msg/Empty", "cdr", "ros2msg", "", "", "", {}};
  return channels;
}

// Messages of random sizes (some empty, some larger than a small chunk) on the first three
// channels, at distinct times that step back now and then, from a fixed seed.
std::vector<Written> test_messages(size_t count) {
  std::mt19937 random(7);
  std::vector<Written> messages;
  uint64_t time = 1700000000000000000ull;
  for (size_t i = 0; i < count; ++i) {
    Written message;
    message.channel = static_cast<uint32_t>(i % 3);
    time += 1000 + random() % 1000;
    message.log_time = i % 7 == 6 ? time - 1500 : time;  // behind the one before it
    message.publish_time = message.log_time - 17;
    message.sequence = static_cast<uint32_t>(i);
    message.data.resize(i % 11 == 0 ? 0 : random() % 3000);
    for (char& c : message.data) c = static_cast<char>(random());
    messages.push_back(message);
  }
  return messages;
}

void write_all(ros2_storage::RecordingWriter& writer, const std::vector<Written>& messages) {
  for (const Channel& channel : test_channels()) writer.add_channel(channel);
  for (const Written& m : messages) {
    writer.write(m.channel, m.log_time, m.publish_time, m.sequence,
                 reinterpret_cast<const uint8_t*>(m.data.data()), m.data.size());
  }
}

std::string message_line(const Written& m) {
  return test_channels()[m.channel].topic + "\t" + std::to_string(m.log_time) + "\t" +
         std::to_string(m.publish_time) + "\t" + std::to_string(m.sequence) + "\t" +
         drone_test::hex(m.data);
}

std::vector<std::string> entries(const std::string& line, size_t skip) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return {fields.begin() + static_cast<std::ptrdiff_t>(std::min(skip, fields.size())),
          fields.end()};
}

std::vector<std::string> folder_entries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

struct McapCase {
  const char* what;
  const char* compression;
  uint64_t chunk_size;
  bool many_chunks;
};

// Faults caught: a record or CRC the reference reader refuses, a message index or chunk index
// that loses, repeats or misplaces a message (INDEXED differs from what was written), statistics
// that miscount, a chunk of zstd that does not decompress, channel metadata or schemas altered.
TEST(McapWriterTest, ReferenceReaderGetsEveryMessageByRecordsAndByIndexes) {
  const McapCase cases[] = {
      {"uncompressed, a chunk every few messages", "", 4096, true},
      {"uncompressed, one chunk", "", 64u << 20, false},
      {"zstd, a chunk every few messages", "zstd", 4096, true},
  };
  const std::vector<Written> messages = test_messages(200);
  for (const McapCase& c : cases) {
    SCOPED_TRACE(c.what);
    drone_test::TempDir dir;
    const std::string path = dir.file("out.mcap");
    WriterOptions options;
    options.compression = c.compression;
    options.chunk_size = c.chunk_size;
    options.metadata = {{"site", {{"drone", "A7"}, {"pilot", ""}}}};
    const auto writer = ros2_storage::create_writer(path, options);
    write_all(*writer, messages);
    writer->close();

    const std::vector<std::string> lines = drone_test::mcap_reference_lines(path);
    std::vector<std::string> expected;
    expected.reserve(messages.size());
    for (const Written& m : messages) expected.push_back(message_line(m));
    EXPECT_EQ(drone_test::lines_of(lines, "STREAM"), expected);
    std::vector<Written> by_time = messages;
    std::stable_sort(by_time.begin(), by_time.end(),
                     [](const Written& a, const Written& b) { return a.log_time < b.log_time; });
    expected.clear();
    for (const Written& m : by_time) expected.push_back(message_line(m));
    EXPECT_EQ(drone_test::lines_of(lines, "INDEXED"), expected);

    EXPECT_EQ(drone_test::lines_of(lines, "HEADER"), std::vector<std::string>{"ros2\tdrone_tasks"});
    const std::vector<std::string> stats =
        entries(drone_test::lines_of(lines, "STATISTICS").at(0), 0);
    EXPECT_EQ(stats[0], std::to_string(messages.size()));
    EXPECT_EQ(stats[1], "4");  // the definitions of /imu, /odom and /quiet, and /raw's type
    EXPECT_EQ(stats[2], "4");
    EXPECT_EQ(std::stoul(stats[3]) > 1, c.many_chunks);
    EXPECT_EQ(stats[4], "2");
    EXPECT_EQ(stats[5], std::to_string(by_time.front().log_time));
    EXPECT_EQ(stats[6], std::to_string(by_time.back().log_time));

    const std::vector<std::string> channels = drone_test::lines_of(lines, "CHANNEL");
    ASSERT_EQ(channels.size(), 4u);
    EXPECT_EQ(entries(channels[2], 4),
              (std::vector<std::string>{drone_test::hex(std::string("offered_qos_profiles")),
                                        drone_test::hex(std::string("- history: 1\n"))}));
    const std::vector<std::string> schemas = drone_test::lines_of(lines, "SCHEMA");
    ASSERT_EQ(schemas.size(), 4u);
    // A channel stored without definition keeps its type, in a schema without encoding or data.
    EXPECT_EQ(entries(channels[1], 3).at(0), "2");
    EXPECT_EQ(schemas[1], "2\tstd_msgs/msg/String\t\t");
    EXPECT_EQ(entries(schemas[0], 1),
              (std::vector<std::string>{"sensor_msgs/msg/Imu", "ros2msg",
                                        drone_test::hex(std::string("float64 x\nfloat64 y\n"))}));
    const std::vector<std::string> metadata = drone_test::lines_of(lines, "METADATA");
    ASSERT_EQ(metadata.size(), 2u);
    EXPECT_EQ(metadata[0], "site\t" + drone_test::hex(std::string("drone")) + "\t" +
                               drone_test::hex(std::string("A7")) + "\t" +
                               drone_test::hex(std::string("pilot")) + "\t");
    EXPECT_EQ(metadata[1].rfind("rosbag2\t", 0), 0u);
  }
}

// Faults caught: messages lost or reordered in the inserts, a blob stored as text or cut at a
// NUL, topics of the wrong layout for the ROS release, a missing timestamp index, a file that is
// not a consistent database.
TEST(SqliteWriterTest, Sqlite3CommandReadsEveryMessageInEachLayout) {
  const std::vector<Written> messages = test_messages(120);
  for (const auto layout : {ros2_storage::SqliteLayout::topics_and_messages,
                            ros2_storage::SqliteLayout::with_definitions}) {
    const bool definitions = layout == ros2_storage::SqliteLayout::with_definitions;
    SCOPED_TRACE(definitions ? "with definitions" : "topics and messages");
    drone_test::TempDir dir;
    const std::string path = dir.file("out.db3");
    WriterOptions options;
    options.storage = Storage::sqlite;
    options.sqlite_layout = layout;
    options.ros_distro = "jazzy";
    const auto writer = ros2_storage::create_writer(path, options);
    write_all(*writer, messages);
    writer->close();

    EXPECT_EQ(drone_test::sqlite_rows(path, "PRAGMA integrity_check"),
              std::vector<std::string>{"ok"});
    std::vector<std::string> expected;
    expected.reserve(messages.size());
    for (const Written& m : messages) {
      expected.push_back(test_channels()[m.channel].topic + "\t" + std::to_string(m.log_time) +
                         "\t" + drone_test::hex(m.data) + "\t" + "blob");
    }
    EXPECT_EQ(drone_test::sqlite_rows(path,
                                      "SELECT t.name, m.timestamp, lower(hex(m.data)), "
                                      "typeof(m.data) FROM messages m JOIN topics t ON "
                                      "t.id = m.topic_id ORDER BY m.id"),
              expected);
    const std::string columns = definitions ? ", type_description_hash" : "";
    expected.clear();
    for (const Channel& channel : test_channels()) {
      expected.push_back(channel.topic + "\t" + channel.type + "\tcdr\t" +
                         drone_test::hex(channel.qos) +
                         (definitions ? "\t" + channel.type_description_hash : ""));
    }
    EXPECT_EQ(drone_test::sqlite_rows(path,
                                      "SELECT name, type, serialization_format, "
                                      "lower(hex(offered_qos_profiles))" +
                                          columns + " FROM topics ORDER BY id"),
              expected);
    EXPECT_EQ(drone_test::sqlite_rows(path, "SELECT name FROM sqlite_master WHERE type='index'"),
              std::vector<std::string>{"timestamp_idx"});
    const std::vector<std::string> tables = drone_test::sqlite_rows(
        path, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name");
    const std::vector<std::string> newer = {"message_definitions", "messages", "metadata", "schema",
                                            "topics"};
    const std::vector<std::string> older = {"messages", "topics"};
    EXPECT_EQ(tables, definitions ? newer : older);
    if (definitions) {
      EXPECT_EQ(drone_test::sqlite_rows(path, "SELECT schema_version, ros_distro FROM schema"),
                std::vector<std::string>{"4\tjazzy"});
    }
  }
}

// Faults caught: a folder whose metadata.yaml miscounts its topics or files, loses the source's
// keys or the QoS text's lines, names a file that is not there, or leaves the temporary folder.
TEST(FolderWriterTest, MetadataYamlDescribesTheFilesAndKeepsTheSourceKeys) {
  const std::string source =
      "rosbag2_bagfile_information:\n  version: 8\n  ros_distro: humble\n"
      "  custom_data:\n    mission: north-pit\n  storage_identifier: mcap\n  message_count: 999\n"
      "  extra_key: kept\n";
  const std::vector<Written> messages = test_messages(60);
  for (const Storage storage : {Storage::mcap, Storage::sqlite}) {
    const bool mcap = storage == Storage::mcap;
    SCOPED_TRACE(mcap ? "mcap" : "sqlite");
    drone_test::TempDir dir;
    const std::string path = dir.file("flight_pc2");
    WriterOptions options;
    options.storage = storage;
    options.folder = true;
    options.source_metadata = source;
    const auto writer = ros2_storage::create_writer(path, options);
    write_all(*writer, messages);
    writer->close();

    const std::string file = std::string("flight_pc2_0.") + (mcap ? "mcap" : "db3");
    EXPECT_EQ(folder_entries(path), (std::vector<std::string>{file, "metadata.yaml"}));
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"flight_pc2"});
    const drone_test::ProcessResult read = drone_test::run_python(
        "import sys, yaml\n"
        "i = yaml.safe_load(open(sys.argv[1]))['rosbag2_bagfile_information']\n"
        "print(i['version'], i['ros_distro'], i['custom_data']['mission'], i['extra_key'])\n"
        "print(i['storage_identifier'], i['message_count'], i['relative_file_paths'][0])\n"
        "print(i['starting_time']['nanoseconds_since_epoch'], i['duration']['nanoseconds'])\n"
        "f = i['files'][0]\n"
        "print(f['path'], f['message_count'], f['starting_time']['nanoseconds_since_epoch'])\n"
        "for t in i['topics_with_message_count']:\n"
        "  m = t['topic_metadata']\n"
        "  print(m['name'], m['type'], t['message_count'], repr(m['offered_qos_profiles']))\n",
        {path + "/metadata.yaml"});
    ASSERT_EQ(read.exit_code, 0) << read.err;
    uint64_t first = UINT64_MAX;
    uint64_t last = 0;
    std::vector<uint64_t> counts(4, 0);
    for (const Written& m : messages) {
      first = std::min(first, m.log_time);
      last = std::max(last, m.log_time);
      ++counts[m.channel];
    }
    const std::string storage_id = mcap ? "mcap" : "sqlite3";
    const std::string n = std::to_string(messages.size());
    std::string expected = "8 humble north-pit kept\n" + storage_id + " " + n + " " + file + "\n" +
                           std::to_string(first) + " " + std::to_string(last - first) + "\n" +
                           file + " " + n + " " + std::to_string(first) + "\n";
    const std::vector<Channel> channels = test_channels();
    for (size_t i = 0; i < channels.size(); ++i) {
      std::string qos = channels[i].qos;
      std::string quoted = "'";
      for (const char c : qos) quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
      expected += channels[i].topic + " " + channels[i].type + " " + std::to_string(counts[i]) +
                  " " + quoted + "'\n";
    }
    EXPECT_EQ(read.out, expected);
  }
}

// Faults caught: a temporary file or folder left behind when the writer is abandoned or the
// process is ended by a signal, and an earlier output changed by an unfinished one.
TEST(WriterOutputTest, UnfinishedOutputLeavesNothingAndKeepsTheEarlierOne) {
  for (const Storage storage : {Storage::mcap, Storage::sqlite}) {
    for (const bool folder : {false, true}) {
      for (const bool signal : {false, true}) {
        SCOPED_TRACE(std::string(storage == Storage::mcap ? "mcap" : "sqlite") +
                     (folder ? " folder" : " file") + (signal ? ", SIGTERM" : ", abandoned"));
        drone_test::TempDir dir;
        const std::string path = dir.file("out");
        WriterOptions options;
        options.storage = storage;
        options.folder = folder;
        {
          const auto earlier = ros2_storage::create_writer(path, options);
          write_all(*earlier, test_messages(5));
          earlier->close();
        }
        const std::vector<std::string> before = folder_entries(folder ? path : dir.path());
        if (signal) {
          const pid_t child = ::fork();
          ASSERT_GE(child, 0);
          if (child == 0) {
            const auto writer = ros2_storage::create_writer(path, options);
            write_all(*writer, test_messages(50));
            ::raise(SIGTERM);
            ::_exit(0);
          }
          int status = 0;
          ASSERT_EQ(::waitpid(child, &status, 0), child);
          ASSERT_TRUE(WIFSIGNALED(status));
          EXPECT_EQ(WTERMSIG(status), SIGTERM);
        } else {
          const auto writer = ros2_storage::create_writer(path, options);
          write_all(*writer, test_messages(50));
        }
        EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"out"});
        EXPECT_EQ(folder_entries(folder ? path : dir.path()), before);
      }
    }
  }
}

// Faults caught: a folder output that deletes a folder that is not a recording, or a file that
// is not a folder, in its place.
TEST(WriterOutputTest, FolderOutputReplacesOnlyAnEarlierRecording) {
  drone_test::TempDir dir;
  WriterOptions options;
  options.folder = true;
  const std::string notes = dir.file("notes");
  ASSERT_EQ(::mkdir(notes.c_str(), 0755), 0);
  drone_test::write_file(notes + "/todo.txt", "keep");
  const std::string plain = dir.file("plain");
  drone_test::write_file(plain, "keep");
  for (const std::string& path : {notes, plain}) {
    try {
      ros2_storage::create_writer(path, options);
      ADD_FAILURE() << path << " was taken as an output folder";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("is not a recording folder"), std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(drone_test::read_file(notes + "/todo.txt"), "keep");
  EXPECT_EQ(drone_test::read_file(plain), "keep");
}

// Faults caught: the temporary folder of a killed writer (SIGKILL, which no handler sees) left
// for good, and a live writer's folder taken for a stale one.
TEST(WriterOutputTest, KilledWritersFolderIsRemovedByTheNextRunAndALiveOneIsKept) {
  drone_test::TempDir dir;
  const std::string path = dir.file("out");
  WriterOptions options;
  options.folder = true;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto writer = ros2_storage::create_writer(path, options);
    write_all(*writer, test_messages(20));
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  const std::vector<std::string> left = folder_entries(dir.path());
  ASSERT_EQ(left.size(), 1u);  // the killed writer's temporary folder
  EXPECT_EQ(left[0].rfind(".out.", 0), 0u) << left[0];

  const auto live = ros2_storage::create_writer(path, options);
  const std::vector<std::string> during = folder_entries(dir.path());
  ASSERT_EQ(during.size(), 1u);
  EXPECT_NE(during[0], left[0]);
  const auto second = ros2_storage::create_writer(path, options);  // leaves the live one be
  EXPECT_EQ(folder_entries(dir.path()).size(), 2u);
  write_all(*live, test_messages(3));
  live->close();
  EXPECT_EQ(folder_entries(path), (std::vector<std::string>{"metadata.yaml", "out_0.mcap"}));
}

}  // namespace
