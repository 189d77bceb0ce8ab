#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "framework/escape_json.h"
#include "framework/reporter.h"

namespace {

using drone_task::escape_json;
using drone_task::Reporter;

TEST(EscapeJson, TwoCharacterEscapes) {
  EXPECT_EQ(escape_json("a\"b\\c\bd\fe\nf\rg\th"), "a\\\"b\\\\c\\bd\\fe\\nf\\rg\\th");
}

TEST(EscapeJson, OtherControlBytesBecomeUnicodeEscapes) {
  EXPECT_EQ(escape_json(std::string("\x01", 1)), "\\u0001");
  EXPECT_EQ(escape_json(std::string("\x00", 1)), "\\u0000");
  EXPECT_EQ(escape_json("\x0b\x0e\x1f"), "\\u000b\\u000e\\u001f");
}

TEST(EscapeJson, EverythingElsePassesUnchanged) {
  EXPECT_EQ(escape_json("/path/to/a.bag"), "/path/to/a.bag");
  EXPECT_EQ(escape_json("\x7f"), "\x7f");
  EXPECT_EQ(escape_json("开始解析 bag 文件"), "开始解析 bag 文件");
  EXPECT_EQ(escape_json("\xff\xfe"), "\xff\xfe");
  EXPECT_EQ(escape_json(""), "");
}

class ReporterLines : public ::testing::Test {
 protected:
  std::ostringstream out;
  Reporter reporter{out};
};

TEST_F(ReporterLines, ProgressLineIsWrappedAndEscaped) {
  reporter.report(0, "开始 \"a\"\\\t\x01", "{}");
  EXPECT_EQ(out.str(),
            "{\"_progress\":{\"percent\":0,\"message\":\"开始 \\\"a\\\"\\\\\\t\\u0001\","
            "\"metadata\":{}}}\n");
}

TEST_F(ReporterLines, PercentIsWrittenAsGiven) {
  reporter.report(-5, "m", "{\"k\":1}");
  reporter.report(250, "m", "[]");
  EXPECT_EQ(out.str(),
            "{\"_progress\":{\"percent\":-5,\"message\":\"m\",\"metadata\":{\"k\":1}}}\n"
            "{\"_progress\":{\"percent\":250,\"message\":\"m\",\"metadata\":[]}}\n");
}

TEST_F(ReporterLines, FinishWithoutFilesHasEmptyArray) {
  reporter.finish("{\"success\":true,\"n\":1}");
  EXPECT_EQ(out.str(),
            "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":"
            "{\"result\":{\"success\":true,\"n\":1},\"files\":[]}}}\n");
}

TEST_F(ReporterLines, FinishListsFilesEscapedAndDocumentVerbatim) {
  reporter.finish("{\"note\":\"a\\\"b\"}", {{"云\"图", "PCD", "/o/a.pcd"}, {"t", "r", "p\\q"}});
  EXPECT_EQ(out.str(),
            "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":"
            "{\"result\":{\"note\":\"a\\\"b\"},\"files\":["
            "{\"title\":\"云\\\"图\",\"remark\":\"PCD\",\"path\":\"/o/a.pcd\"},"
            "{\"title\":\"t\",\"remark\":\"r\",\"path\":\"p\\\\q\"}]}}}\n");
}

TEST(ReporterFailureDetection, Table) {
  struct Case {
    const char* document;
    bool failed;
  };
  const Case cases[] = {
      {"{\"success\":false}", true},
      {"{\"success\": false}", true},
      {"{\"a\":{\"success\":false}}", true},
      {"{\"error\":\"\\\"success\\\":false\"}", false},  // escaped quotes break the sequence
      {"{\"msg\":\"x \\\"success\\\": false\"}", false},
      {"{\"success\" :false}", false},
      {"{\"success\":  false}", false},
      {"{\"success\":False}", false},
      {"{\"success\":true}", false},
      {"", false},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    Reporter reporter(out);
    reporter.finish(c.document);
    const bool failed = out.str().find("\"message\":\"任务失败\"") != std::string::npos;
    const bool done = out.str().find("\"message\":\"任务完成\"") != std::string::npos;
    EXPECT_EQ(failed, c.failed) << c.document;
    EXPECT_NE(failed, done) << c.document;
  }
}

TEST(ReporterFailureDetection, MatchInsideAStringValueCounts) {
  std::ostringstream out;
  Reporter reporter(out);
  reporter.finish("{\"log\":[\"success\":false]}");
  EXPECT_NE(out.str().find("任务失败"), std::string::npos);
}

}  // namespace
