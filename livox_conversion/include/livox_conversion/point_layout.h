#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace livox_msgs {
class FrameReader;
class CdrFrameReader;
}  // namespace livox_msgs

namespace livox_to_pc2 {

// What a field of a converted cloud holds for each point of a Livox frame.
enum class PointFieldKind : uint8_t {
  kX,          // float32, the recorded x bit for bit
  kY,          // float32, the recorded y bit for bit
  kZ,          // float32, the recorded z bit for bit
  kIntensity,  // float32, the reflectivity byte as a number (0.0 to 255.0)
  kTag,        // uint8, the point's tag byte
  kRing,       // uint16, the point's line
  kTime,       // float32, seconds from the cloud's header stamp to the point
  kTimestamp,  // float64, the point's own time, seconds
};

// One field of a cloud's point record, as its sensor_msgs/PointField describes it (count 1).
struct LayoutField {
  PointFieldKind kind;
  // The field's name in the cloud: "x", "y", "z", "intensity", "tag", "ring", "time",
  // "timestamp".
  std::string name;
  // The sensor_msgs/PointField datatype code: 2 UINT8, 4 UINT16, 7 FLOAT32, 8 FLOAT64.
  uint8_t datatype;
  // Bytes of the field in the record.
  uint32_t size;
  // Bytes from the start of the record to the field: the sizes of the fields before it.
  uint32_t offset;
};

// The fields a converted cloud carries for each point, in their order, packed without padding.
// Holds no frame; one layout serves a whole conversion.
class PointLayout {
 public:
  // x, y, z, intensity, 16 bytes: the cloud every ROS tool reads, and the conversion's default.
  PointLayout();

  // The layout of a comma-separated list of field names, in the order given (blanks around a
  // name are ignored): x, y, z, intensity, tag, ring, time, timestamp. Returns false, leaving
  // `layout` as it was, when the list is empty or names an unknown field, an empty one or a
  // field twice; `error` then says which, in the words of the conversion's messages (Chinese).
  static bool parse(const std::string& list, PointLayout* layout, std::string* error);

  // The names parse() accepts, comma-separated in their canonical order:
  // "x, y, z, intensity, tag, ring, time, timestamp".
  static std::string known_names();

  // The fields in record order.
  const std::vector<LayoutField>& fields() const { return fields_; }
  // Bytes of one point record: the sum of the field sizes.
  uint32_t point_step() const { return point_step_; }

  // Packs every point of `frame` (parsed), in order, into `out`, which holds point_step() bytes
  // per point. A point's time is (timebase + offset_time - header stamp) in whole nanoseconds,
  // then x 1e-9 as float32; its timestamp (timebase + offset_time) x 1e-9 as float64; both sums
  // are exact for any recorded values. NaN coordinates are copied as they are. Allocates
  // nothing.
  void write_points(const livox_msgs::FrameReader& frame, uint8_t* out) const;
  // The same for a frame of a ROS 2 recording: the same bytes for the same recorded values.
  void write_points(const livox_msgs::CdrFrameReader& frame, uint8_t* out) const;

 private:
  // One step of packing a point: what to store at `offset` of the record. x, y and z named in
  // a row make one step, kXyz, that copies their 12 recorded bytes at once.
  enum class Op : uint8_t { kXyz, kX, kY, kZ, kIntensity, kTag, kRing, kTime, kTimestamp };
  struct Step {
    Op op;
    uint32_t offset;
  };

  explicit PointLayout(const std::vector<PointFieldKind>& kinds);

  // write_points for either frame reader, given the frame's header stamp.
  template <class Frame>
  void pack(const Frame& frame, int64_t stamp_sec, uint32_t stamp_nsec, uint8_t* out) const;

  std::vector<LayoutField> fields_;
  std::vector<Step> steps_;
  uint32_t point_step_ = 0;
};

}  // namespace livox_to_pc2
