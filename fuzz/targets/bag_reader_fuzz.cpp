// The one-pass bag reader on any bytes stored as a bag file: every message of every connection
// (each readable whole), then only those of the first connection.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bag_format/bag_reader.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  try {
    bag_format::BagReader reader(bag.path());
    const auto& connections = reader.connections();
    uint64_t all = 0;
    std::vector<uint8_t> buffer;
    const bag_format::ReadSummary summary = reader.read(
        [](const bag_format::ReaderConnection&) { return true; },
        [&](const bag_format::ReaderMessage& m) {
          drone_fuzz::expect(m.sec != 0 || m.nsec != 0, "no message at time 0");
          drone_fuzz::expect(m.connection >= connections.data() &&
                                 m.connection < connections.data() + connections.size(),
                             "a message's connection is one of the bag's");
          drone_fuzz::expect(m.size <= size, "a message lies in the file");
          const uint8_t* whole = m.whole(buffer);
          drone_fuzz::expect(m.size == 0 || whole != nullptr, "a message's bytes are given");
          ++all;
        });
    drone_fuzz::expect(summary.unreadable_bytes <= size, "unreadable bytes lie in the file");
    if (connections.empty()) return 0;
    const uint32_t first = connections.front().id;
    uint64_t some = 0;
    reader.read([&](const bag_format::ReaderConnection& c) { return c.id == first; },
                [&](const bag_format::ReaderMessage& m) {
                  drone_fuzz::expect(m.connection->id == first, "only wanted connections");
                  ++some;
                });
    drone_fuzz::expect(some <= all, "a part of the messages");
  } catch (const std::runtime_error&) {
    // Every fault is refused by contract.
  }
  return 0;
}
