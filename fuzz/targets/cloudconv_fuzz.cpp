// The Livox conversion of any bytes stored as a bag file, written beside it; a conversion that
// succeeds leaves a complete, indexed bag holding every message it wrote, and the same
// conversion to clouds of all eight point fields succeeds or fails alike, with the same counts.
#include "bag_format/bag_reader.h"
#include "fuzz_input.h"
#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile bag(data, size, "input.bag");
  const std::string output = bag.beside("output.bag");
  const auto result = livox_to_pc2::LivoxToPc2Converter::convert(bag.path(), output, "/livox/lidar",
                                                                 "/livox/points");
  drone_fuzz::expect(result.success == result.error.empty(), "error text iff failure");
  drone_fuzz::expect(result.converted_messages + result.copied_messages <= result.total_messages,
                     "no more messages written than read");
  if (result.success) {
    int64_t read = 0;
    bag_format::ReadSummary summary;
    try {
      bag_format::BagReader reader(output);
      summary = reader.read([](const bag_format::ReaderConnection&) { return true; },
                            [&read](const bag_format::ReaderMessage&) { ++read; });
    } catch (const std::exception&) {
      drone_fuzz::expect(false, "the output reads back");
    }
    drone_fuzz::expect(
        summary.index_complete && summary.recording_closed && summary.unreadable_bytes == 0,
        "the output is a complete, indexed bag");
    drone_fuzz::expect(read == result.converted_messages + result.copied_messages,
                       "the output holds every message written");
  }
  livox_to_pc2::PointLayout every_field;
  std::string error;
  drone_fuzz::expect(livox_to_pc2::PointLayout::parse("x,y,z,intensity,tag,ring,time,timestamp",
                                                      &every_field, &error),
                     "the list of all fields reads");
  const auto wide = livox_to_pc2::LivoxToPc2Converter::convert(
      bag.path(), bag.beside("wide.bag"), "/livox/lidar", "/livox/points", every_field);
  drone_fuzz::expect(wide.success == result.success, "the point fields do not decide success");
  drone_fuzz::expect(!result.success || (wide.converted_messages == result.converted_messages &&
                                         wide.copied_messages == result.copied_messages &&
                                         wide.total_points == result.total_points),
                     "the point fields change no count");
  return 0;
}
