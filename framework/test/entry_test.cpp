#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

drone_test::ProcessResult probe(const std::vector<std::string>& args) {
  return drone_test::run_program("taskkit_probe", args);
}

TEST(Entry, SuccessfulRunExitsZeroAndPrintsOnlyTheTasksLines) {
  const auto run = probe({"--value", "-3.5"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "{\"_progress\":{\"percent\":0,\"message\":\"开始\",\"metadata\":{}}}\n"
            "{\"_progress\":{\"percent\":50,\"message\":\"value=-3.5\",\"metadata\":{}}}\n"
            "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":{\"result\":"
            "{\"success\":true},\"files\":[{\"title\":\"title\",\"remark\":\"remark\","
            "\"path\":\"/out/file\"}]}}}\n");
}

TEST(Entry, ThrowingTaskGivesErrorReportStderrLineAndStatusOne) {
  const auto run = probe({"--fail", "bad \"input\"\nsecond line"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "[ERROR] bad \"input\"\nsecond line\n");
  const auto lines = drone_test::split_lines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "{\"_progress\":{\"percent\":100,\"message\":\"错误: bad \\\"input\\\"\\nsecond line\","
            "\"metadata\":{\"error\":\"bad \\\"input\\\"\\nsecond line\"}}}");
}

TEST(Entry, FinalLineBeforeTheErrorReportWhenTheTaskFinishedFirst) {
  const auto run = probe({"--finish", "{\"success\":false,\"error\":\"x\"}", "--fail", "x"});
  EXPECT_EQ(run.exit_code, 1);
  const auto lines = drone_test::split_lines(run.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("\"message\":\"任务失败\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"message\":\"错误: x\""), std::string::npos);
}

// A failure that is also the task's result: the entry alone writes its failure document, once,
// and then the error report, both escaped; the task wrote neither.
TEST(Entry, FailureWithResultIsAnnouncedBeforeTheErrorReport) {
  const auto run = probe({"--fail-with-result", "no \"bag\"\there"});
  const std::string escaped = R"(no \"bag\"\there)";
  const std::vector<std::string> expected = {
      R"({"_progress":{"percent":0,"message":"开始","metadata":{}}})",
      R"({"_progress":{"percent":100,"message":"任务失败","metadata":{"result":)"
      R"({"success":false,"error":")" +
          escaped + R"("},"files":[]}}})",
      R"({"_progress":{"percent":100,"message":"错误: )" + escaped + R"(","metadata":{"error":")" +
          escaped + R"("}}})",
  };
  EXPECT_EQ(drone_test::split_lines(run.out), expected);
  EXPECT_EQ(run.err, "[ERROR] no \"bag\"\there\n");
  EXPECT_EQ(run.exit_code, 1);
}

TEST(Entry, LibraryPrintsNeverReachStandardOutput) {
  const std::string lines =
      "{\"_progress\":{\"percent\":0,\"message\":\"开始\",\"metadata\":{}}}\n"
      "{\"_progress\":{\"percent\":50,\"message\":\"value=none\",\"metadata\":{}}}\n";
  const auto open_err = probe({"--print", "noise"});
  EXPECT_EQ(open_err.exit_code, 0);
  EXPECT_EQ(open_err.out.rfind(lines, 0), 0u) << open_err.out;
  EXPECT_EQ(open_err.out.find("noise"), std::string::npos);
  EXPECT_EQ(open_err.err, "noise\nnoise\n");
  // Standard input and error closed: the descriptors the program opens must not take their
  // places, and the prints still stay off standard output.
  const auto closed =
      drone_test::run_process({"/bin/sh", "-c", "exec \"$0\" --print noise 0<&- 2>&-",
                               drone_test::program_path("taskkit_probe")});
  EXPECT_EQ(closed.exit_code, 0);
  EXPECT_EQ(closed.out.rfind(lines, 0), 0u) << closed.out;
  EXPECT_EQ(closed.out.find("noise"), std::string::npos);
  EXPECT_EQ(closed.err, "");
}

TEST(Entry, HelpAndVersionAnswerWithoutRunningTheTask) {
  const auto help = probe({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, "Usage: taskkit_probe [--fail TEXT]\n");
  const auto version = probe({"--version", "--fail", "x"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("taskkit_probe ", 0), 0u);
  EXPECT_EQ(version.out.find("_progress"), std::string::npos);
}

TEST(Entry, EveryLineIsUtf8JsonWhateverTheBytesOfItsTexts) {
  // Texts from paths and topics in another encoding or cut mid-character; Python's strict
  // decoder and JSON parser take every line or the script fails.
  const drone_test::TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--value", "/data/\xb2\xe2\xca\xd4.bag\xe6\x96"},
        std::vector<std::string>{"--fail", "\xff\xfe \xc3( \xed\xa0\x80 \"x\"\n"}}) {
    const auto run = probe(args);
    drone_test::write_file(dir.file("out"), run.out);
    const auto parsed = drone_test::run_python(
        "import json, sys\n"
        "lines = open(sys.argv[1], 'rb').read().decode('utf-8').splitlines()\n"
        "print(len([json.loads(l) for l in lines]))\n",
        {dir.file("out")});
    EXPECT_EQ(parsed.exit_code, 0) << parsed.err;
    EXPECT_EQ(parsed.out, std::to_string(drone_test::split_lines(run.out).size()) + "\n");
    EXPECT_GE(drone_test::split_lines(run.out).size(), 2u);
  }
}

TEST(Entry, UnwritableStandardOutputEndsWithStatusOne) {
  // Standard output on a full device, a pipe whose reader has gone, or a file under a file
  // size limit: the program says so on standard error and ends with status 1 (not killed by
  // SIGPIPE or SIGXFSZ, whose default actions subprocess restores, not 0).
  const char* script =
      "import os, resource, subprocess, sys, tempfile\n"
      "limit = None\n"
      "if sys.argv[1] == 'full':\n"
      "    out = os.open('/dev/full', os.O_WRONLY)\n"
      "elif sys.argv[1] == 'limit':\n"
      "    out = tempfile.TemporaryFile()\n"
      "    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))\n"
      "else:\n"
      "    r, out = os.pipe()\n"
      "    os.close(r)\n"
      "p = subprocess.run(sys.argv[2:], stdout=out, stderr=subprocess.PIPE, preexec_fn=limit)\n"
      "sys.stdout.write(str(p.returncode) + '\\n' + p.stderr.decode())\n";
  const std::string program = drone_test::program_path("taskkit_probe");
  const struct {
    const char* sink;
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {"full", {}, "No space left on device"},
      {"closed", {}, "Broken pipe"},
      {"limit", {}, "File too large"},
      {"full", {"--help"}, "No space left on device"},
      {"closed", {"--version"}, "Broken pipe"},
      {"full", {"--fail", "x"}, nullptr},  // the task's own error is the one reported
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sink) + (c.args.empty() ? "" : " " + c.args[0]));
    if (c.sink == std::string("full") && access("/dev/full", W_OK) != 0) continue;
    std::vector<std::string> argv = {c.sink, program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto run = drone_test::run_python(script, argv);
    const std::string expected_err =
        c.reason != nullptr ? std::string("[ERROR] 无法写入标准输出: ") + c.reason : "[ERROR] x";
    EXPECT_EQ(run.out, "1\n" + expected_err + "\n");
  }
}

}  // namespace
