#pragma once

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

namespace drone_bench {

// A command line that does not fit the benchmark's usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The options of a benchmark: `--key value` words and bare `--flag` words (a word starting with
// "--" that is followed by another such word or by nothing). Each getter names an option the
// benchmark knows; check_all_known() then refuses any other. Getters throw UsageError for a
// value that does not read as the type asked for.
class Options {
 public:
  Options(int argc, char** argv);

  long long integer(const std::string& key, long long def, long long min);
  double number(const std::string& key, double def);
  std::string text(const std::string& key, const std::string& def);
  bool flag(const std::string& key);

  // Throws UsageError naming the first option that no getter asked for.
  void check_all_known() const;

 private:
  std::map<std::string, std::string> values_;  // flags hold the empty text
  std::set<std::string> flags_;
  std::set<std::string> known_;
};

// The benchmark's whole life: parses the options, runs `body` and returns its status. A
// UsageError prints "usage: " and `usage` on standard error and returns 2; any other
// std::exception prints "<program>: <message>" there and returns 1.
int bench_main(int argc, char** argv, const std::string& usage,
               const std::function<int(Options&)>& body);

// $TMPDIR, or /tmp when it is unset or empty.
std::string default_temp_parent();

// A new directory "<parent>/<prefix>XXXXXX" with everything in it removed on destruction,
// unless keep() was called. Throws std::runtime_error when it cannot be created.
class ScratchDir {
 public:
  ScratchDir(const std::string& parent, const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  void keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// The path of a program built beside this benchmark.
std::string beside_self(const std::string& name);

}  // namespace drone_bench
