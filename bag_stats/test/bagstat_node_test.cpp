// bagstat_node as a process: its standard output, standard error and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bag_format/bag_reader.h"
#include "bag_writer.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/http_receiver.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using bagstat_test::TestMessage;
using K = TestMessage::Kind;

const char kStart[] = R"({"_progress":{"percent":0,"message":"开始解析 bag 文件","metadata":{}}})";
const char kCounted[] =
    R"({"_progress":{"percent":50,"message":"正在统计 topic 帧数...","metadata":{}}})";

drone_test::ProcessResult run_node(const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env = {}) {
  return drone_test::run_program("bagstat_node", args, env);
}

TEST(BagstatNode, SuccessfulRun) {
  drone_test::TempDir dir;
  const std::string path = dir.file("flight.bag");
  bagstat_test::write_bag(path, {{"/mixed", ros::Time(1700000000, 0), K::kString, "/talker"},
                                 {"/gps", ros::Time(1700000001, 0), K::kString, ""},
                                 {"/mixed", ros::Time(1700000002, 0), K::kInt32, "/counter"},
                                 {"/Gps", ros::Time(1700000012, 345000000), K::kString, ""}});
  const drone_test::ProcessResult run = run_node({"--bag", path});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> expected = {
      kStart, kCounted,
      R"({"_progress":{"percent":100,"message":"任务完成","metadata":{"result":{"topics":[)"
      R"({"name":"/Gps","count":1,"msg_type":"std_msgs/String"},)"
      R"({"name":"/gps","count":1,"msg_type":"std_msgs/String"},)"
      R"({"name":"/mixed","count":2,"msg_type":"std_msgs/Int32"}],)"
      R"("total_messages":4,"duration_seconds":12.35},"files":[]}}})"};
  EXPECT_EQ(drone_test::split_lines(run.out), expected);
  EXPECT_EQ(run.out.back(), '\n');
}

TEST(BagstatNode, EmptyBag) {
  drone_test::TempDir dir;
  const std::string path = dir.file("empty.bag");
  bagstat_test::write_bag(path, {});
  const drone_test::ProcessResult run = run_node({"--bag", path});
  EXPECT_EQ(run.exit_code, 0);
  const std::vector<std::string> expected = {
      kStart, kCounted,
      R"({"_progress":{"percent":100,"message":"任务完成","metadata":{"result":)"
      R"({"topics":[],"total_messages":0,"duration_seconds":0.00},"files":[]}}})"};
  EXPECT_EQ(drone_test::split_lines(run.out), expected);
}

TEST(BagstatNode, MissingBagOption) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--input_bag", "/tmp/x.bag"}}) {
    const drone_test::ProcessResult run = run_node(args);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, drone_test::error_line("缺少参数 --bag") + "\n");
    EXPECT_EQ(run.err, "[ERROR] 缺少参数 --bag\n");
  }
}

TEST(BagstatNode, MissingFile) {
  drone_test::TempDir dir;
  const drone_test::ProcessResult run = run_node({"--bag", dir.file("nowhere.bag")});
  EXPECT_EQ(run.exit_code, 1);
  const std::string text = drone_test::error_text(run);
  EXPECT_EQ(text.rfind("无法打开 bag 文件: ", 0), 0u) << run.err;
  EXPECT_GT(text.size(), std::string("无法打开 bag 文件: ").size());
  const std::vector<std::string> expected = {kStart, drone_test::error_line(text)};
  EXPECT_EQ(drone_test::split_lines(run.out), expected);
}

// Every bad input ends in the error report and status 1 (or, where the bag library can still
// read the file, the correct document; or, for a copy cut before its index, a recording that was
// not closed, the counts of its chunks after a line that says so): never a crash.
TEST(BagstatNode, BadInputEndsInTheErrorReport) {
  drone_test::TempDir dir;
  std::vector<drone_test::NamedFile> files = bagstat_test::damaged_bags(dir.path());
  files.push_back({"directory", dir.path()});
  const drone_test::ProcessResult valid = run_node({"--bag", dir.file("valid.bag")});
  ASSERT_EQ(valid.exit_code, 0);
  for (const drone_test::NamedFile& f : files) {
    SCOPED_TRACE(f.label);
    const drone_test::ProcessResult run = run_node({"--bag", f.path});
    ASSERT_EQ(run.signal, 0) << run.err;
    const std::vector<std::string> lines = drone_test::split_lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], kStart);
    if (run.exit_code == 0 && lines.size() == 4) {
      // Counted from the chunks, which a line says.
      EXPECT_NE(lines[1].find("，已按数据块统计"), std::string::npos) << lines[1];
      continue;
    }
    if (run.exit_code == 0) {
      EXPECT_EQ(run.out, valid.out);
      continue;
    }
    EXPECT_EQ(run.exit_code, 1);
    const std::string text = drone_test::error_text(run);
    EXPECT_FALSE(text.empty()) << run.err;
    ASSERT_EQ(lines.size(), 2u);
    // The text can hold bytes that the report escapes; its start is plain.
    EXPECT_EQ(lines[1].rfind(R"({"_progress":{"percent":100,"message":"错误: )", 0), 0u);
  }
}

// The statistics open the bag as the converter and the lidar check open it: index records after
// a chunk that name a connection the bag does not define, or an input that is not a regular file
// (a FIFO without a writer must not block), end the program with status 1 and the fault named;
// damage to the connection and chunk-info records of the index section leaves the index unread,
// and the chunks are counted instead, with the same result; damage to the other index entries
// and inside a chunk's records, which the statistics do not read, leaves them as they were.
TEST(BagstatNode, DamagedOrNonRegularInputEndsWithStatusOne) {
  drone_test::TempDir dir;
  drone_test::write_damage_recording(dir.file("mixed.bag"));
  const drone_test::ProcessResult whole = run_node({"--bag", dir.file("mixed.bag")});
  ASSERT_EQ(whole.exit_code, 0) << whole.err;
  struct Input {
    std::string path;
    std::string fault;  // empty: the run succeeds as on the undamaged bag
  };
  std::vector<Input> inputs;
  const std::string mixed = drone_test::read_file(dir.file("mixed.bag"));
  for (const drone_test::OpenCrashCase& c : drone_test::open_crash_cases(mixed)) {
    const std::string path = dir.file("open" + std::to_string(inputs.size()) + ".bag");
    drone_test::write_file(path, c.bytes);
    const bool undefined = c.reason.find("which the bag does not define") != std::string::npos;
    inputs.push_back({path, undefined ? c.reason : ""});
  }
  // Damage inside a chunk is refused as the programs that read its messages refuse it.
  for (const drone_test::OpenCrashCase& c : drone_test::read_crash_cases(mixed)) {
    const std::string path = dir.file("damaged" + std::to_string(inputs.size()) + ".bag");
    drone_test::write_file(path, c.bytes);
    inputs.push_back({path, c.reason});
  }
  for (const drone_test::NonRegularFile& f : drone_test::non_regular_files(dir)) {
    inputs.push_back({f.path, f.path + " is not a regular file (" + f.kind + ")"});
  }
  for (const Input& input : inputs) {
    SCOPED_TRACE(input.path);
    // A program that blocks is stopped after 60 seconds and fails the test with status 124.
    const drone_test::ProcessResult run = drone_test::run_process(
        {"/usr/bin/timeout", "60", drone_test::program_path("bagstat_node"), "--bag", input.path},
        {}, {"DRONE_TASK_PROGRESS_URL"});
    if (input.fault.empty()) {
      EXPECT_EQ(run.exit_code, 0) << run.err;
      // A line before the result may say that the chunks were counted.
      ASSERT_FALSE(run.out.empty());
      EXPECT_EQ(drone_test::split_lines(run.out).back(), drone_test::split_lines(whole.out).back());
      continue;
    }
    EXPECT_EQ(run.exit_code, 1);
    const std::string error = "无法打开 bag 文件: " + input.fault;
    EXPECT_EQ(run.err, "[ERROR] " + error + "\n");
    const std::vector<std::string> expected = {kStart, drone_test::error_line(error)};
    EXPECT_EQ(drone_test::split_lines(run.out), expected);
  }
}

// Random changes of 1 to 8 bytes inside the chunks of plain, bz2 and lz4 recordings: the
// statistics either are exactly as they were, or fail with the reason that reading every message
// fails with (a chunk that does not decompress, damage in a chunk that defines a connection).
// DRONE_BAG_MUTANTS sets the number of changed bags per storage kind.
TEST(BagstatNode, ChangedChunkBytesGiveTheReadersVerdict) {
  drone_test::TempDir dir;
  const std::pair<const char*, rosbag::compression::CompressionType> kinds[] = {
      {"plain", rosbag::compression::Uncompressed},
      {"bz2", rosbag::compression::BZ2},
      {"lz4", rosbag::compression::LZ4}};
  size_t refused = 0;
  for (const auto& kind : kinds) {
    drone_test::write_damage_recording(dir.file("whole.bag"), kind.second, 3);
    const drone_test::ProcessResult whole = run_node({"--bag", dir.file("whole.bag")});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    const std::string bytes = drone_test::read_file(dir.file("whole.bag"));
    for (uint32_t seed = 1; seed <= drone_test::bag_mutant_count(); ++seed) {
      SCOPED_TRACE(std::string(kind.first) + ", seed " + std::to_string(seed));
      drone_test::write_file(dir.file("changed.bag"),
                             drone_test::with_chunk_bytes_changed(bytes, seed));
      std::string fault;
      try {
        bag_format::BagReader reader(dir.file("changed.bag"));
        reader.read([](const bag_format::ReaderConnection&) { return true; },
                    [](const bag_format::ReaderMessage&) {});
      } catch (const std::runtime_error& e) {
        fault = e.what();
      }
      const drone_test::ProcessResult run = run_node({"--bag", dir.file("changed.bag")});
      if (run.exit_code == 0) {
        EXPECT_EQ(run.out, whole.out);
      } else {
        ++refused;
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_FALSE(fault.empty()) << "refused what every message reads from: " << run.err;
        EXPECT_EQ(run.err, "[ERROR] 无法打开 bag 文件: " + fault + "\n");
      }
    }
  }
  EXPECT_GT(refused, 0u) << "no change was refused: the test judges nothing";
}

// Root reads every file whatever its mode: as root the program is run as user 65534 (nobody)
// through setpriv, otherwise directly.
TEST(BagstatNode, UnreadableFile) {
  drone_test::TempDir dir;
  const std::string path = dir.file("locked.bag");
  bagstat_test::write_bag(path, {{"/t", ros::Time(1, 0), K::kString, ""}});
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  bool can_drop = true;
  std::vector<std::string> argv = drone_test::unprivileged_prefix(&can_drop);
  if (!can_drop) GTEST_SKIP() << "no unprivileged user can run the programs here";
  argv.insert(argv.end(), {drone_test::program_path("bagstat_node"), "--bag", path});
  const drone_test::ProcessResult run =
      drone_test::run_process(argv, {}, {"DRONE_TASK_PROGRESS_URL"});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  const std::string text = drone_test::error_text(run);
  EXPECT_EQ(text.rfind("无法打开 bag 文件: ", 0), 0u) << run.err;
  const std::vector<std::string> expected = {kStart, drone_test::error_line(text)};
  EXPECT_EQ(drone_test::split_lines(run.out), expected);
}

TEST(BagstatNode, ReportsAlsoGoToTheEndpoint) {
  drone_test::TempDir dir;
  const std::string path = dir.file("one.bag");
  bagstat_test::write_bag(path, {{"/t", ros::Time(3, 0), K::kString, ""}});
  drone_test::HttpReceiver receiver;
  const drone_test::ProcessResult run =
      run_node({"--bag", path}, {{"DRONE_TASK_PROGRESS_URL", receiver.url()}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> lines = drone_test::split_lines(run.out);
  const std::vector<drone_test::HttpRequest> posts = receiver.requests();
  ASSERT_EQ(posts.size(), lines.size());
  for (size_t i = 0; i < posts.size(); ++i) {
    EXPECT_EQ(posts[i].method, "POST");
    EXPECT_EQ("{\"_progress\":" + posts[i].body + "}", lines[i]);
  }
}

TEST(BagstatNode, HelpDescribesTheProgram) {
  const drone_test::ProcessResult run = run_node({"--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word : {"--bag", "DRONE_TASK_PROGRESS_URL", "\"topics\"", "\"total_messages\"",
                           "\"duration_seconds\"", "Exit status"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
