#include "framework/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "testing/locale.h"

namespace {

using drone_task::JsonWriter;

struct WriterCase {
  const char* name;
  int decimals;
  std::function<void(JsonWriter&)> write;
  std::string expected;
};

// Commas go between elements at every depth, never after a key or before the first element.
// Keys and strings are escaped; integers of every width print as numbers in full; doubles take
// the fixed decimals the writer was given, with no exponent however large.
const std::vector<WriterCase>& writer_cases() {
  static const std::vector<WriterCase> cases = {
      {"empty containers", 2,
       [](JsonWriter& w) {
         w.begin_object().key("a").begin_array().end_array().key("o").begin_object().end_object();
         w.end_object();
       },
       R"({"a":[],"o":{}})"},
      {"nesting", 2,
       [](JsonWriter& w) {
         w.begin_object().field("success", true).key("list").begin_array();
         for (int i = 0; i < 2; ++i) w.begin_object().field("i", i).field("ok", false).end_object();
         w.end_array().field("n", 3).end_object();
       },
       R"({"success":true,"list":[{"i":0,"ok":false},{"i":1,"ok":false}],"n":3})"},
      {"top-level array of scalars", 1,
       [](JsonWriter& w) { w.begin_array().value(1.25).value(-2).value("x").end_array(); },
       R"([1.2,-2,"x"])"},
      {"escaping of keys and values", 2,
       [](JsonWriter& w) {
         w.begin_object()
             .field("k\"ey", std::string("a\\b\nc\x01"))
             .field("名", "航点")
             .end_object();
       },
       "{\"k\\\"ey\":\"a\\\\b\\nc\\u0001\",\"名\":\"航点\"}"},
      {"string arrays", 2,
       [](JsonWriter& w) {
         const std::vector<std::string> none;
         w.begin_object().field("e", none).field("w", std::vector<std::string>{"a", "\t"});
         w.end_object();
       },
       R"({"e":[],"w":["a","\t"]})"},
      {"integer widths", 2,
       [](JsonWriter& w) {
         w.begin_array()
             .value(std::int8_t{-7})
             .value(std::uint8_t{200})
             .value(std::numeric_limits<std::int64_t>::min())
             .value(std::numeric_limits<std::uint64_t>::max())
             .value(std::size_t{1234567})
             .end_array();
       },
       "[-7,200,-9223372036854775808,18446744073709551615,1234567]"},
      {"two decimals", 2,
       [](JsonWriter& w) { w.begin_array().value(0.0).value(1234.567).value(-0.004).end_array(); },
       "[0.00,1234.57,-0.00]"},
      {"six decimals and no exponent", 6,
       [](JsonWriter& w) { w.begin_array().value(301.5912345678).value(1e20).end_array(); },
       "[301.591235,100000000000000000000.000000]"},
  };
  return cases;
}

TEST(JsonWriter, WritesEachDocumentAsExpected) {
  for (const WriterCase& c : writer_cases()) {
    JsonWriter writer(c.decimals);
    c.write(writer);
    EXPECT_EQ(writer.str(), c.expected) << c.name;
  }
}

// A global locale with digit grouping and a decimal comma reaches none of the numbers.
TEST(JsonWriter, IgnoresTheGlobalLocale) {
  std::vector<std::string> written;
  {
    const drone_test::GlobalLocale commas(drone_test::grouping_comma_locale());
    for (const WriterCase& c : writer_cases()) {
      JsonWriter writer(c.decimals);
      c.write(writer);
      written.push_back(writer.str());
    }
  }
  for (std::size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(written[i], writer_cases()[i].expected) << writer_cases()[i].name;
  }
}

}  // namespace
