// The lidar frame check of any bytes stored as a bag file, with the program's default options.
#include "fuzz_input.h"
#include "lidar_check/lidar_validator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  const auto result = lidar_validate::LidarValidator::validate(bag.path(), "/livox/lidar", 100.0,
                                                               20.0, 1000, -8.0, 60.0);
  drone_fuzz::expect(result.success == result.error.empty(), "error text iff failure");
  drone_fuzz::expect(result.anomalies.size() <= 20, "at most 20 anomalies listed");
  return 0;
}
