// The MCAP reader through open_recording on any bytes stored as an MCAP file: every message of
// every channel, then only those of the first channel.
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "fuzz_input.h"
#include "ros2_storage/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile file(data, size, "input.mcap");
  try {
    const std::unique_ptr<ros2_storage::Recording> recording =
        ros2_storage::open_recording(file.path());
    const auto& channels = recording->channels();
    const ros2_storage::Inventory* stated = recording->stated_inventory();
    drone_fuzz::expect(stated == nullptr || stated->messages.size() == channels.size(),
                       "a stated count for every channel");
    drone_fuzz::expect(recording->outcome().unreadable_bytes <= size,
                       "unreadable bytes lie in the file");
    uint64_t all = 0;
    double done = 0;
    recording->read(
        [](const ros2_storage::Channel&) { return true; },
        [&](const ros2_storage::Message& m) {
          drone_fuzz::expect(
              m.channel >= channels.data() && m.channel < channels.data() + channels.size(),
              "a message's channel is one of the recording's");
          drone_fuzz::expect(m.size <= size, "a message lies in the file");
          drone_fuzz::expect(m.size == 0 || m.data != nullptr, "a message's bytes are given");
          ++all;
        },
        [&](double share) {
          drone_fuzz::expect(share >= done && share <= 1.0, "progress grows up to 1");
          done = share;
        });
    drone_fuzz::expect(done == 1.0, "progress ends with 1");
    if (channels.empty()) return 0;
    const ros2_storage::Channel* first = channels.data();
    uint64_t some = 0;
    recording->read([&](const ros2_storage::Channel& c) { return &c == first; },
                    [&](const ros2_storage::Message& m) {
                      drone_fuzz::expect(m.channel == first, "only wanted channels");
                      ++some;
                    });
    drone_fuzz::expect(some <= all, "a part of the messages");
  } catch (const std::runtime_error&) {
    // Every fault is refused by contract.
  }
  return 0;
}
