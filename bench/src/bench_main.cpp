#include "bench/bench_main.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>

namespace drone_bench {

namespace {

bool is_option(const char* word) { return word[0] == '-' && word[1] == '-' && word[2] != '\0'; }

}  // namespace

Options::Options(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!is_option(argv[i])) throw UsageError(std::string("unexpected word ") + argv[i]);
    const std::string key = argv[i] + 2;
    if (i + 1 < argc && !is_option(argv[i + 1])) {
      values_[key] = argv[++i];
    } else {
      values_[key] = "";
      flags_.insert(key);
    }
  }
}

long long Options::integer(const std::string& key, long long def, long long min) {
  known_.insert(key);
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(it->second.c_str(), &end, 10);
  if (it->second.empty() || *end != '\0' || errno == ERANGE || value < min) {
    throw UsageError("--" + key + " takes a whole number from " + std::to_string(min));
  }
  return value;
}

double Options::number(const std::string& key, double def) {
  known_.insert(key);
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  char* end = nullptr;
  const double value = std::strtod(it->second.c_str(), &end);
  if (it->second.empty() || *end != '\0') throw UsageError("--" + key + " takes a number");
  return value;
}

std::string Options::text(const std::string& key, const std::string& def) {
  known_.insert(key);
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  if (flags_.count(key) != 0) throw UsageError("--" + key + " takes a value");
  return it->second;
}

bool Options::flag(const std::string& key) {
  known_.insert(key);
  const auto it = values_.find(key);
  if (it == values_.end()) return false;
  if (flags_.count(key) == 0) throw UsageError("--" + key + " takes no value");
  return true;
}

void Options::check_all_known() const {
  for (const auto& kv : values_) {
    if (known_.count(kv.first) == 0) throw UsageError("unknown option --" + kv.first);
  }
}

int bench_main(int argc, char** argv, const std::string& usage,
               const std::function<int(Options&)>& body) {
  const char* program = argc > 0 ? argv[0] : "bench";
  try {
    Options options(argc, argv);
    return body(options);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\nusage: %s\n", program, e.what(), usage.c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

std::string default_temp_parent() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

ScratchDir::ScratchDir(const std::string& parent, const std::string& prefix) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a directory in " + parent);
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  if (keep_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string beside_self(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot find this program's directory");
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path() / name).string();
}

}  // namespace drone_bench
