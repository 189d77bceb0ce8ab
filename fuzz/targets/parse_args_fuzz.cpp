// The command-line parser on any words: the input split at its zero bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/task.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"program"};
  words.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  drone_task::parse_args(static_cast<int>(words.size()), argv.data());
  return 0;
}
