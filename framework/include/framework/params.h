#pragma once

#include <map>
#include <string>

namespace drone_task {

// Option name (without the leading dashes) to option value, ordered by byte comparison.
using ParamMap = std::map<std::string, std::string>;

// The parsed command-line options of one run. Holds its own copy of the map and never changes;
// no getter throws: a missing key or a text that does not convert gives the caller's default.
class Params {
 public:
  explicit Params(const ParamMap& values);

  // True when the key was given, whatever its value (an empty value counts).
  bool has(const std::string& key) const;
  // The stored text unchanged (also when empty), or `def` when the key is absent.
  std::string get_string(const std::string& key, const std::string& def) const;
  // Base-10 integer prefix of the value (std::stoi rules); `def` when absent, when no digit is
  // read or when the number lies outside the 32-bit signed range.
  int get_int(const std::string& key, int def) const;
  // Floating prefix of the value (std::stod rules); `def` when absent, unreadable, or out of range.
  double get_double(const std::string& key, double def) const;
  // Same as get_double for a value that reads as a finite number, or that does not read as a
  // number at all (the default then). The one getter that throws: a value that reads as NaN or
  // an infinity, where a finite number is meant, gives std::runtime_error with the text
  // "参数 --<key> 必须是有限数值: <value>".
  double get_finite_double(const std::string& key, double def) const;
  // True exactly for "true", "1", "yes", "on" in any case; any other present text is false.
  // `def` only when the key is absent.
  bool get_bool(const std::string& key, bool def) const;
  // Same as get_string: no "~" expansion, no normalisation, no existence check.
  std::string get_path(const std::string& key, const std::string& def) const;

 private:
  ParamMap values_;
};

}  // namespace drone_task
