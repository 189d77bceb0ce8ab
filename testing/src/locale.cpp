#include "testing/locale.h"

#include <string>

namespace drone_test {

namespace {

struct GroupingComma : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\1"; }
};

}  // namespace

std::locale grouping_comma_locale() {
  return std::locale(std::locale::classic(), new GroupingComma);
}

GlobalLocale::GlobalLocale(const std::locale& locale) : saved_(std::locale::global(locale)) {}

GlobalLocale::~GlobalLocale() { std::locale::global(saved_); }

}  // namespace drone_test
