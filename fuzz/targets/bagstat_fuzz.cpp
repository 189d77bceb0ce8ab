// The bag statistics of any bytes stored as a bag file.
#include <exception>

#include "bag_stats/bag_analyzer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  try {
    const auto result = bag_analyzer::BagAnalyzer::analyze(bag.path());
    drone_fuzz::expect(result.success == result.error_message.empty(), "error text iff failure");
    uint64_t counted = 0;
    for (const auto& topic : result.topics) counted += topic.message_count;
    drone_fuzz::expect(counted == result.total_messages, "topic counts sum to the total");
  } catch (const std::exception&) {
    // The bag library's exceptions after the open pass by contract.
  }
  return 0;
}
