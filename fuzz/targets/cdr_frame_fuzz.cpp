// The ROS 2 Livox frame reader on any bytes given as one CDR message: a frame it accepts holds
// no more points than its bytes carry, every point reads, parsing the same bytes again (a
// big-endian frame already swapped) gives the same frame, and so do the bytes parsed where they
// lie. The same bytes, taken as a channel's
// ros2msg definition text, are judged without fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "livox_msgs/cdr_frame_reader.h"
#include "livox_msgs/frame_schema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  livox_msgs::CdrFrameReader reader;
  reader.assign(data, size);
  try {
    reader.parse();
  } catch (const std::runtime_error& e) {
    drone_fuzz::expect(reader.size() == 0, "a refused frame holds no points");
    drone_fuzz::expect(std::strlen(e.what()) > 0, "a refusal says why");
  }
  const uint32_t n = reader.size();
  drone_fuzz::expect(n == 0 || uint64_t{n - 1} * livox_msgs::CdrFrameReader::kPointStride +
                                       livox_msgs::CdrFrameReader::kPointSize <=
                                   size,
                     "the points lie in the message");
  // Every byte of every point is read, so that the sanitizers see a point outside the message.
  volatile uint64_t sink = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t xyz[3];
    reader.copy_xyz(i, xyz);
    sink = sink + xyz[0] + xyz[1] + xyz[2] + reader.offset_time(i) + reader.reflectivity(i) +
           reader.tag(i) + reader.line(i);
  }
  if (n > 0) {
    const uint32_t last = reader.offset_time(n - 1);
    const uint64_t stamp = reader.timebase();
    reader.parse();
    drone_fuzz::expect(
        reader.size() == n && reader.offset_time(n - 1) == last && reader.timebase() == stamp,
        "parsing again gives the same frame");
  }
  // The same bytes parsed where they lie: the same frame, the bytes untouched.
  const std::vector<uint8_t> before(data, data + size);
  livox_msgs::CdrFrameReader in_place;
  try {
    in_place.parse(data, size);
  } catch (const std::runtime_error&) {
    drone_fuzz::expect(in_place.size() == 0, "a refused frame holds no points");
  }
  drone_fuzz::expect(in_place.size() == n, "bytes parsed where they lie read alike");
  drone_fuzz::expect(n == 0 || in_place.offset_time(n - 1) == reader.offset_time(n - 1),
                     "bytes parsed where they lie read alike");
  drone_fuzz::expect(std::equal(before.begin(), before.end(), data),
                     "bytes parsed where they lie stay as they are");
  const std::string text(reinterpret_cast<const char*>(data), size);
  livox_msgs::is_livox_frame_type("", "ros2msg", text);
  return 0;
}
