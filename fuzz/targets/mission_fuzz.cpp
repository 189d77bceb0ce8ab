// The mission validator on any bytes stored as a mission file.
#include "fuzz_input.h"
#include "mission/mission_validator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile mission(data, size, "mission.json");
  const auto result = mission_validate::MissionValidator::validate(mission.path());
  drone_fuzz::expect(!result.valid || (result.errors.empty() && result.waypoint_count > 0),
                     "a valid mission has waypoints and no error");
  drone_fuzz::expect(result.valid || !result.errors.empty(), "an invalid mission has an error");
  return 0;
}
