// The Livox conversion of any bytes stored as a bag file, written beside it.
#include "fuzz_input.h"
#include "livox_conversion/livox_to_pc2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  const auto result = livox_to_pc2::LivoxToPc2Converter::convert(
      bag.path(), bag.beside("output.bag"), "/livox/lidar", "/livox/points");
  drone_fuzz::expect(result.success == result.error.empty(), "error text iff failure");
  drone_fuzz::expect(result.converted_messages + result.copied_messages <= result.total_messages,
                     "no more messages written than read");
  return 0;
}
