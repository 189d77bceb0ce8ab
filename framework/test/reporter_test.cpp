#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

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
  EXPECT_EQ(escape_json(""), "");
}

TEST(EscapeJson, BytesOutsideWellFormedUtf8BecomeUnicodeEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      // Well-formed sequences of two, three and four bytes, at the edges of their ranges.
      {"\xc2\x80 \xdf\xbf", "\xc2\x80 \xdf\xbf"},
      {"\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf", "\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf"},
      {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
      // Each byte of an ill-formed sequence on its own.
      {"\xff\xfe", "\\u00ff\\u00fe"},
      {"a\x80"
       "b",
       "a\\u0080b"},                                         // stray continuation byte
      {"\xc3(", "\\u00c3("},                                 // cut two-byte sequence
      {"\xe6\x96", "\\u00e6\\u0096"},                        // cut at the end of the text
      {"\xc0\xaf", "\\u00c0\\u00af"},                        // overlong "/"
      {"\xe0\x80\xaf", "\\u00e0\\u0080\\u00af"},             // overlong three-byte form
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},             // surrogate U+D800
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // above U+10FFFF
      {"\xf5\x80", "\\u00f5\\u0080"},                        // lead byte that is never valid
      {"/data/\xb2\xe2\xca\xd4.bag \"开始\"",
       "/data/\\u00b2\\u00e2\\u00ca\\u00d4.bag \\\"开始\\\""},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_json(c.first), c.second) << c.first;
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
