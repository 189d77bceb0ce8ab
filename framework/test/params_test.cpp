#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/params.h"
#include "framework/task.h"

namespace {

using drone_task::ParamMap;
using drone_task::Params;

ParamMap parse(std::vector<std::string> words) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& w : words) argv.push_back(w.data());
  return drone_task::parse_args(static_cast<int>(argv.size()), argv.data());
}

struct ParseCase {
  const char* name;
  std::vector<std::string> words;
  ParamMap expected;
};

TEST(ParseArgs, Table) {
  const std::vector<ParseCase> cases = {
      {"key and value", {"--bag", "/data/a.bag"}, {{"bag", "/data/a.bag"}}},
      {"option before option", {"--a", "--b", "x"}, {{"a", "true"}, {"b", "x"}}},
      {"flag at the end", {"--verbose"}, {{"verbose", "true"}}},
      {"equals sign kept in key", {"--k=v", "w"}, {{"k=v", "w"}}},
      {"three dashes", {"---x", "y"}, {{"-x", "y"}}},
      {"two dashes alone", {"--", "v"}, {}},
      {"single dash option", {"-k", "v"}, {}},
      {"positional words", {"a", "b", "--c", "d", "e"}, {{"c", "d"}}},
      {"empty next word", {"--a", "", "x"}, {{"a", "true"}}},
      {"last occurrence wins", {"--n", "1", "--n", "2"}, {{"n", "2"}}},
      {"value is not re-examined", {"--a", "--b"}, {{"a", "true"}, {"b", "true"}}},
      {"negative integer", {"--n", "-5"}, {{"n", "-5"}}},
      {"negative fraction", {"--n", "-10.5"}, {{"n", "-10.5"}}},
      {"negative without integer part", {"--n", "-.5"}, {{"n", "-.5"}}},
      {"negative with exponent",
       {"--n", "-1e3", "--m", "-2.5E-4"},
       {{"n", "-1e3"}, {"m", "-2.5E-4"}}},
      {"dash word is no value", {"--n", "-x", "v"}, {{"n", "true"}}},
      {"lone minus is no value", {"--n", "-"}, {{"n", "true"}}},
      {"minus dot is no value", {"--n", "-."}, {{"n", "true"}}},
      {"dangling exponent is no value", {"--n", "-1e"}, {{"n", "true"}}},
      {"trailing text is no value", {"--n", "-5abc"}, {{"n", "true"}}},
      {"negative then option", {"--min", "-10", "--max", "-3"}, {{"min", "-10"}, {"max", "-3"}}},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(parse(c.words), c.expected) << c.name;
  }
}

TEST(Params, StringAndPathReturnTheTextUnchanged) {
  const Params p({{"empty", ""}, {"home", "~/missions"}, {"flag", "true"}});
  EXPECT_TRUE(p.has("empty"));
  EXPECT_FALSE(p.has("missing"));
  EXPECT_EQ(p.get_string("empty", "def"), "");
  EXPECT_EQ(p.get_string("missing", "def"), "def");
  EXPECT_EQ(p.get_path("home", ""), "~/missions");
  EXPECT_EQ(p.get_string("flag", ""), "true");
}

TEST(Params, IntFollowsStoiAndFallsBack) {
  const Params p({{"blanks", "  42"},
                  {"fraction", "3.9"},
                  {"suffix", "12abc"},
                  {"hex", "0x1F"},
                  {"letters", "abc"},
                  {"big", "2147483648"},
                  {"small", "-2147483649"},
                  {"min", "-2147483648"},
                  {"flag", "true"},
                  {"negative", "-7"}});
  EXPECT_EQ(p.get_int("blanks", -1), 42);
  EXPECT_EQ(p.get_int("fraction", -1), 3);
  EXPECT_EQ(p.get_int("suffix", -1), 12);
  EXPECT_EQ(p.get_int("hex", -1), 0);
  EXPECT_EQ(p.get_int("letters", -1), -1);
  EXPECT_EQ(p.get_int("big", -1), -1);
  EXPECT_EQ(p.get_int("small", -1), -1);
  EXPECT_EQ(p.get_int("min", -1), std::numeric_limits<int>::min());
  EXPECT_EQ(p.get_int("flag", 9), 9);
  EXPECT_EQ(p.get_int("negative", 0), -7);
  EXPECT_EQ(p.get_int("missing", 5), 5);
}

TEST(Params, DoubleFollowsStodAndFallsBack) {
  const Params p({{"exp", "1e3"},
                  {"letters", "abc"},
                  {"overflow", "1e999"},
                  {"underflow", "1e-999"},
                  {"hexfloat", "0x1p3"},
                  {"suffix", "2.5m"},
                  {"flag", "true"},
                  {"negative", "-.5"}});
  EXPECT_DOUBLE_EQ(p.get_double("exp", 0), 1000.0);
  EXPECT_DOUBLE_EQ(p.get_double("letters", 7.5), 7.5);
  EXPECT_DOUBLE_EQ(p.get_double("overflow", 7.5), 7.5);
  EXPECT_DOUBLE_EQ(p.get_double("underflow", 7.5), 7.5);
  EXPECT_DOUBLE_EQ(p.get_double("hexfloat", 0), 8.0);
  EXPECT_DOUBLE_EQ(p.get_double("suffix", 0), 2.5);
  EXPECT_DOUBLE_EQ(p.get_double("flag", 1.25), 1.25);
  EXPECT_DOUBLE_EQ(p.get_double("negative", 0), -0.5);
  EXPECT_DOUBLE_EQ(p.get_double("missing", 3.0), 3.0);
}

TEST(Params, FiniteDoubleRefusesNanAndInfinities) {
  const Params p({{"nan", "nan"},
                  {"NaN", "-NAN"},
                  {"inf", "inf"},
                  {"ninf", "-Infinity"},
                  {"big", "1e999"},
                  {"ok", "2.5"},
                  {"word", "abc"}});
  for (const char* key : {"nan", "NaN", "inf", "ninf"}) {
    try {
      p.get_finite_double(key, 1.0);
      ADD_FAILURE() << key << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("参数 --") + key + " 必须是有限数值: " + p.get_string(key, ""));
    }
  }
  // Out of range and unreadable texts fall back as get_double does.
  EXPECT_EQ(p.get_finite_double("big", 7.0), 7.0);
  EXPECT_EQ(p.get_finite_double("word", 7.0), 7.0);
  EXPECT_EQ(p.get_finite_double("ok", 7.0), 2.5);
  EXPECT_EQ(p.get_finite_double("absent", 7.0), 7.0);
}

TEST(Params, BoolAcceptsFourWordsInAnyCase) {
  const Params p({{"a", "TRUE"},
                  {"b", "Yes"},
                  {"c", "On"},
                  {"d", "1"},
                  {"e", "y"},
                  {"f", "2"},
                  {"g", ""},
                  {"h", "false"}});
  for (const char* key : {"a", "b", "c", "d"}) EXPECT_TRUE(p.get_bool(key, false)) << key;
  for (const char* key : {"e", "f", "g", "h"}) EXPECT_FALSE(p.get_bool(key, true)) << key;
  EXPECT_TRUE(p.get_bool("missing", true));
  EXPECT_FALSE(p.get_bool("missing", false));
}

TEST(Params, NegativeValuesReachTheGetters) {
  const Params p(parse({"--min_elevation", "-10", "--max_elevation", "-2.5"}));
  EXPECT_DOUBLE_EQ(p.get_double("min_elevation", 0), -10.0);
  EXPECT_DOUBLE_EQ(p.get_double("max_elevation", 0), -2.5);
  EXPECT_EQ(p.get_int("min_elevation", 0), -10);
}

}  // namespace
