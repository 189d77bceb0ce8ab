// The scan merge of a directory holding any bytes as its one keyframe.
#include "fuzz_input.h"
#include "scan_merge/scan_merger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile keyframe(data, size, "0.pcd");
  const auto result =
      scan2fullpcd::ScanMerger::merge(keyframe.dir(), keyframe.beside("merged.pcd"));
  drone_fuzz::expect(result.success == result.error_message.empty(), "error text iff failure");
  return 0;
}
