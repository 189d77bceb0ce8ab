// Replays fuzz inputs without libFuzzer: feeds every regular file of the folders (or files)
// named on the command line, in name order, to the target's LLVMFuzzerTestOneInput, so that the
// seeds and the committed regression inputs run in every build with any compiler.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool read_all(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_regular_file(arg, ec)) {
      inputs.push_back(arg);
    } else if (fs::is_directory(arg, ec)) {
      for (const auto& entry : fs::directory_iterator(arg)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      std::cerr << "replay: no such file or folder: " << arg.string() << '\n';
      return 1;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::cerr << "replay: no inputs\n";
    return 1;
  }
  std::vector<uint8_t> bytes;
  for (const auto& path : inputs) {
    if (!read_all(path, bytes)) {
      std::cerr << "replay: cannot read " << path.string() << '\n';
      return 1;
    }
    std::cerr << "replay: " << path.string() << " (" << bytes.size() << " bytes)\n";
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::cout << "replay: " << inputs.size() << " inputs, no finding\n";
  return 0;
}
