// The structure check run before every bag open, on any bytes stored as a bag file.
#include "bag_check/bag_structure.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  bag_check::check_structure(bag.path());
  return 0;
}
