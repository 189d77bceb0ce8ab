#include "livox_conversion/point_layout.h"

#include <livox_msgs/cdr_frame_reader.h>
#include <livox_msgs/frame_reader.h>
#include <sensor_msgs/PointField.h>

#include <array>
#include <cstring>
#include <limits>

namespace livox_to_pc2 {

namespace {

// Nanosecond sums and differences of recorded times, exact whatever a damaged frame holds: a
// timebase near 2^64 plus an offset, or minus a header stamp, does not fit 64 bits.
__extension__ using WideNs = __int128;

struct KnownField {
  PointFieldKind kind;
  const char* name;
  uint8_t datatype;
  uint32_t size;
};

constexpr std::array<KnownField, 8> kKnownFields = {{
    {PointFieldKind::kX, "x", sensor_msgs::PointField::FLOAT32, 4},
    {PointFieldKind::kY, "y", sensor_msgs::PointField::FLOAT32, 4},
    {PointFieldKind::kZ, "z", sensor_msgs::PointField::FLOAT32, 4},
    {PointFieldKind::kIntensity, "intensity", sensor_msgs::PointField::FLOAT32, 4},
    {PointFieldKind::kTag, "tag", sensor_msgs::PointField::UINT8, 1},
    {PointFieldKind::kRing, "ring", sensor_msgs::PointField::UINT16, 2},
    {PointFieldKind::kTime, "time", sensor_msgs::PointField::FLOAT32, 4},
    {PointFieldKind::kTimestamp, "timestamp", sensor_msgs::PointField::FLOAT64, 8},
}};

const KnownField& known(PointFieldKind kind) { return kKnownFields[static_cast<size_t>(kind)]; }

// `ns` nanoseconds in seconds: the whole count as a double, times 1e-9. Counts that fit 64 bits
// (every real recording) take the machine's own conversion.
double seconds_of(WideNs ns) {
  if (ns >= std::numeric_limits<int64_t>::min() && ns <= std::numeric_limits<int64_t>::max()) {
    return static_cast<double>(static_cast<int64_t>(ns)) * 1e-9;
  }
  return static_cast<double>(ns) * 1e-9;
}

template <typename T>
void put(uint8_t* record, uint32_t offset, T value) {
  std::memcpy(record + offset, &value, sizeof value);
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

PointLayout::PointLayout()
    : PointLayout({PointFieldKind::kX, PointFieldKind::kY, PointFieldKind::kZ,
                   PointFieldKind::kIntensity}) {}

PointLayout::PointLayout(const std::vector<PointFieldKind>& kinds) {
  static constexpr std::array<Op, kKnownFields.size()> kOps = {
      Op::kX, Op::kY, Op::kZ, Op::kIntensity, Op::kTag, Op::kRing, Op::kTime, Op::kTimestamp};
  for (size_t i = 0; i < kinds.size(); ++i) {
    const bool xyz_block = i + 2 < kinds.size() && kinds[i] == PointFieldKind::kX &&
                           kinds[i + 1] == PointFieldKind::kY && kinds[i + 2] == PointFieldKind::kZ;
    steps_.push_back({xyz_block ? Op::kXyz : kOps[static_cast<size_t>(kinds[i])], point_step_});
    for (size_t k = i; k <= (xyz_block ? i + 2 : i); ++k) {
      const KnownField& field = known(kinds[k]);
      fields_.push_back({field.kind, field.name, field.datatype, field.size, point_step_});
      point_step_ += field.size;
    }
    if (xyz_block) i += 2;
  }
}

bool PointLayout::parse(const std::string& list, PointLayout* layout, std::string* error) {
  std::vector<PointFieldKind> kinds;
  std::array<bool, kKnownFields.size()> seen{};
  if (trimmed(list).empty()) {
    *error = "不能为空";
    return false;
  }
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string name =
        trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (name.empty()) {
      *error = "含有空的字段名";
      return false;
    }
    const KnownField* found = nullptr;
    for (const KnownField& field : kKnownFields) {
      if (name == field.name) found = &field;
    }
    if (found == nullptr) {
      *error = "含有未知字段 \"" + name + "\"";
      return false;
    }
    bool& was_seen = seen[static_cast<size_t>(found->kind)];
    if (was_seen) {
      *error = "中字段 \"" + name + "\" 重复";
      return false;
    }
    was_seen = true;
    kinds.push_back(found->kind);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *layout = PointLayout(kinds);
  return true;
}

std::string PointLayout::known_names() {
  std::string names;
  for (const KnownField& field : kKnownFields) {
    if (!names.empty()) names += ", ";
    names += field.name;
  }
  return names;
}

void PointLayout::write_points(const livox_msgs::FrameReader& frame, uint8_t* out) const {
  const ros::Time& stamp = frame.header().stamp;
  pack(frame, stamp.sec, stamp.nsec, out);
}

void PointLayout::write_points(const livox_msgs::CdrFrameReader& frame, uint8_t* out) const {
  pack(frame, frame.header().sec, frame.header().nanosec, out);
}

template <class Frame>
void PointLayout::pack(const Frame& frame, int64_t stamp_sec, uint32_t stamp_nsec,
                       uint8_t* out) const {
  const uint32_t count = frame.size();
  const WideNs stamp_ns = static_cast<WideNs>(stamp_sec) * 1000000000 + stamp_nsec;
  const WideNs timebase = frame.timebase();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* record = out + static_cast<size_t>(i) * point_step_;
    for (const Step& step : steps_) {
      switch (step.op) {
        case Op::kXyz:
          frame.copy_xyz(i, record + step.offset);
          break;
        case Op::kX:
          put(record, step.offset, frame.x(i));
          break;
        case Op::kY:
          put(record, step.offset, frame.y(i));
          break;
        case Op::kZ:
          put(record, step.offset, frame.z(i));
          break;
        case Op::kIntensity:
          put(record, step.offset, static_cast<float>(frame.reflectivity(i)));
          break;
        case Op::kTag:
          put(record, step.offset, frame.tag(i));
          break;
        case Op::kRing:
          put(record, step.offset, static_cast<uint16_t>(frame.line(i)));
          break;
        case Op::kTime:
          put(record, step.offset,
              static_cast<float>(seconds_of(timebase + frame.offset_time(i) - stamp_ns)));
          break;
        case Op::kTimestamp:
          put(record, step.offset, seconds_of(timebase + frame.offset_time(i)));
          break;
      }
    }
  }
}

}  // namespace livox_to_pc2
