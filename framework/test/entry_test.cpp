#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/process.h"

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

TEST(Entry, HelpAndVersionAnswerWithoutRunningTheTask) {
  const auto help = probe({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, "Usage: taskkit_probe [--fail TEXT]\n");
  const auto version = probe({"--version", "--fail", "x"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("taskkit_probe ", 0), 0u);
  EXPECT_EQ(version.out.find("_progress"), std::string::npos);
}

}  // namespace
