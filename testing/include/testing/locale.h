#pragma once

// A global locale that would change every number a C++ stream writes, for the checks that the
// programs' output never follows the locale of the process they run in.

#include <locale>

namespace drone_test {

// The classic locale with a decimal comma and a '.' between every two digits (1234.5 prints
// as 1.2.3.4,5), so that any number of two digits or more shows it. Built in: it never depends
// on which locales the machine has.
std::locale grouping_comma_locale();

// Makes a locale the process's global one for its lifetime and puts the previous one back.
class GlobalLocale {
 public:
  explicit GlobalLocale(const std::locale& locale);
  ~GlobalLocale();
  GlobalLocale(const GlobalLocale&) = delete;
  GlobalLocale& operator=(const GlobalLocale&) = delete;

 private:
  std::locale saved_;
};

}  // namespace drone_test
