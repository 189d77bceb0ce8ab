#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>

namespace drone_fuzz {

InputFile::InputFile(const uint8_t* data, size_t size, const std::string& name)
    : path_(dir_.file(name)) {
  drone_test::write_file(path_, std::string(reinterpret_cast<const char*>(data), size));
}

void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: contract broken: %s\n", what);
  std::abort();
}

}  // namespace drone_fuzz
