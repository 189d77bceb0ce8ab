#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "framework/params.h"
#include "framework/reporter.h"

namespace drone_task {

namespace detail {

// A word that reads as a negative decimal number: "-" then digits with an optional fraction
// (or a fraction alone) and an optional exponent: -5, -10.5, -.5, -1e3, -2.5E-4.
inline bool is_negative_number(const char* w) {
  if (w[0] != '-') return false;
  const char* p = w + 1;
  bool digits = false;
  while (*p >= '0' && *p <= '9') {
    ++p;
    digits = true;
  }
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') {
      ++p;
      digits = true;
    }
  }
  if (!digits) return false;
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!(*p >= '0' && *p <= '9')) return false;
    while (*p >= '0' && *p <= '9') ++p;
  }
  return *p == '\0';
}

}  // namespace detail

// Turns `--key value` words into the parameter map. A word of at least three bytes that starts
// with "--" is an option; the next word is its value unless it is missing, empty, or starts with
// "-" without being a negative number, in which case the option holds "true". Other words are
// skipped; a later occurrence of a key replaces the earlier one. Never fails.
inline ParamMap parse_args(int argc, char** argv) {
  ParamMap map;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (std::strlen(w) < 3 || w[0] != '-' || w[1] != '-') continue;
    std::string key(w + 2);
    if (i + 1 < argc) {
      const char* next = argv[i + 1];
      if (next[0] != '\0' && (next[0] != '-' || detail::is_negative_number(next))) {
        map[key] = next;
        ++i;
        continue;
      }
    }
    map[key] = "true";
  }
  return map;
}

// A task's failure that is also its result: the entry finishes the run with the failure
// document {"success":false,"error":"<what()>"} before its error report, for supervisors that
// read the result of a failed conversion or merge from the final result line.
class FailureWithResult : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One job of one program. run() reports progress and the result through the reporter and
// signals failure by throwing an exception derived from std::exception, once; it writes no
// failure line of its own (the entry does, see run_main()).
class Task {
 public:
  virtual ~Task() = default;
  virtual void run(const Params& params, Reporter& reporter) = 0;
};

}  // namespace drone_task
