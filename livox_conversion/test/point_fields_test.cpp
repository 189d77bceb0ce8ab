// Clouds with chosen point fields, read back as mapping software reads them: with the bag
// library, field by field at the offsets the cloud states, and with the point-cloud library's
// conversion into point types that declare those fields.
#include <gtest/gtest.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <livox_ros_driver2/CustomMsg.h>
#include <sensor_msgs/PointCloud2.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bag_fixtures.h"
#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

// Every field the converter writes, as a point type declares it to read them all.
struct EIGEN_ALIGN16 LivoxPointAll {
  PCL_ADD_POINT4D;
  float intensity;
  std::uint8_t tag;
  std::uint16_t ring;
  float time;
  double timestamp;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(
    LivoxPointAll,
    (float, x, x)(float, y, y)(float, z, z)(float, intensity, intensity)(std::uint8_t, tag, tag)(
        std::uint16_t, ring, ring)(float, time, time)(double, timestamp, timestamp))

// The common "x, y, z, intensity, ring, time" point type of lidar mapping packages.
struct EIGEN_ALIGN16 PointXYZIRT {
  PCL_ADD_POINT4D;
  PCL_ADD_INTENSITY;
  std::uint16_t ring;
  float time;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(PointXYZIRT,
                                  (float, x, x)(float, y, y)(float, z,
                                                             z)(float, intensity,
                                                                intensity)(std::uint16_t, ring,
                                                                           ring)(float, time, time))

// A point type that reads the absolute time of each point in seconds, with the ring.
struct EIGEN_ALIGN16 PointXYZITimestampRing {
  PCL_ADD_POINT4D;
  float intensity;
  double timestamp;
  std::uint16_t ring;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(PointXYZITimestampRing,
                                  (float, x, x)(float, y, y)(float, z, z)(float, intensity,
                                                                          intensity)(
                                      double, timestamp, timestamp)(std::uint16_t, ring, ring))

namespace {

using drone_test::StoredMessage;
using drone_test::TempDir;
using livox_ros_driver2::CustomMsg;
using livox_ros_driver2::CustomPoint;
using livox_to_pc2::LivoxToPc2Converter;
using livox_to_pc2::PointLayout;

const std::string kSource = "/livox/lidar";
const std::string kTarget = "/livox/points";
const std::string kAllFields = "x,y,z,intensity,tag,ring,time,timestamp";

TEST(PointLayout, ListsBecomePackedRecordsInTheOrderGiven) {
  struct Case {
    std::string list;
    std::vector<std::string> names;  // empty: the list is refused
    std::vector<uint32_t> offsets;
    std::vector<uint8_t> datatypes;
    std::string error;  // for a refused list
  };
  const std::vector<Case> cases = {
      {"x,y,z,intensity", {"x", "y", "z", "intensity"}, {0, 4, 8, 12}, {7, 7, 7, 7}, ""},
      {kAllFields,
       {"x", "y", "z", "intensity", "tag", "ring", "time", "timestamp"},
       {0, 4, 8, 12, 16, 17, 19, 23},
       {7, 7, 7, 7, 2, 4, 7, 8},
       ""},
      {"timestamp,ring,tag,z,y,x",
       {"timestamp", "ring", "tag", "z", "y", "x"},
       {0, 8, 10, 11, 15, 19},
       {8, 4, 2, 7, 7, 7},
       ""},
      {" x , y,z\t", {"x", "y", "z"}, {0, 4, 8}, {7, 7, 7}, ""},
      {"tag", {"tag"}, {0}, {2}, ""},
      {"", {}, {}, {}, "不能为空"},
      {" ", {}, {}, {}, "不能为空"},
      {"x,,y", {}, {}, {}, "含有空的字段名"},
      {"x,y,", {}, {}, {}, "含有空的字段名"},
      {"x,y,z,t", {}, {}, {}, "含有未知字段 \"t\""},
      {"X", {}, {}, {}, "含有未知字段 \"X\""},
      {"x y", {}, {}, {}, "含有未知字段 \"x y\""},
      {"x,y,x", {}, {}, {}, "中字段 \"x\" 重复"},
      {"time, time", {}, {}, {}, "中字段 \"time\" 重复"},
  };
  EXPECT_EQ(PointLayout::known_names(), "x, y, z, intensity, tag, ring, time, timestamp");
  for (const Case& c : cases) {
    SCOPED_TRACE("list \"" + c.list + "\"");
    PointLayout layout;
    std::string error;
    const bool ok = PointLayout::parse(c.list, &layout, &error);
    EXPECT_EQ(ok, !c.names.empty());
    EXPECT_EQ(error, c.error);
    if (!ok) {
      EXPECT_EQ(layout.point_step(), 16u) << "a refused list changed the layout";
      continue;
    }
    std::vector<std::string> names;
    std::vector<uint32_t> offsets;
    std::vector<uint8_t> datatypes;
    uint32_t sizes = 0;
    for (const livox_to_pc2::LayoutField& f : layout.fields()) {
      names.push_back(f.name);
      offsets.push_back(f.offset);
      datatypes.push_back(f.datatype);
      sizes += f.size;
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(offsets, c.offsets);
    EXPECT_EQ(datatypes, c.datatypes);
    EXPECT_EQ(layout.point_step(), sizes);
  }
}

sensor_msgs::PointCloud2 cloud_of(const StoredMessage& stored) {
  sensor_msgs::PointCloud2 cloud;
  std::vector<uint8_t> bytes = stored.bytes;
  ros::serialization::IStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, cloud);
  EXPECT_EQ(in.getLength(), 0u) << "trailing bytes after the cloud";
  return cloud;
}

// The point's time from the header stamp and its own time, in seconds, worked out in long double
// arithmetic apart from the converter's integer nanoseconds.
long double relative_time(const CustomMsg& frame, const CustomPoint& p) {
  const long double stamp_ns =
      static_cast<long double>(frame.header.stamp.sec) * 1e9L + frame.header.stamp.nsec;
  return (static_cast<long double>(frame.timebase) + p.offset_time - stamp_ns) * 1e-9L;
}
long double absolute_time(const CustomMsg& frame, const CustomPoint& p) {
  return (static_cast<long double>(frame.timebase) + p.offset_time) * 1e-9L;
}

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Checks every field a point carries against the frame's point; `get` reads a named field as
// the reader at hand decodes it, nullopt when the reader has no such field. Coordinates are
// compared bit for bit (NaN included); times to their type's precision.
void expect_point(const CustomMsg& frame, size_t i,
                  const std::function<std::optional<long double>(const std::string&)>& get,
                  const std::function<std::optional<uint32_t>(const std::string&)>& float_bits) {
  const CustomPoint& p = frame.points[i];
  SCOPED_TRACE("frame " + std::to_string(frame.header.seq) + " point " + std::to_string(i));
  const std::map<std::string, float> coordinates = {{"x", p.x}, {"y", p.y}, {"z", p.z}};
  for (const auto& [name, value] : coordinates) {
    if (const auto b = float_bits(name)) {
      EXPECT_EQ(*b, bits(value)) << name;
    }
  }
  if (const auto v = get("intensity")) {
    EXPECT_EQ(*v, p.reflectivity);
  }
  if (const auto v = get("tag")) {
    EXPECT_EQ(*v, p.tag);
  }
  if (const auto v = get("ring")) {
    EXPECT_EQ(*v, p.line);
  }
  if (const auto v = get("time")) {
    const long double want = relative_time(frame, p);
    EXPECT_NEAR(static_cast<double>(*v), static_cast<double>(want),
                std::fabs(static_cast<double>(want)) * 1.2e-7 + 1e-12);
  }
  if (const auto v = get("timestamp")) {
    const long double want = absolute_time(frame, p);
    EXPECT_NEAR(static_cast<double>(*v), static_cast<double>(want),
                std::fabs(static_cast<double>(want)) * 4.5e-16);
  }
}

// The fields of each point type other than x, y and z, as the type holds them.
std::optional<long double> value_of(const pcl::PointXYZI& p, const std::string& name) {
  if (name == "intensity") return p.intensity;
  return std::nullopt;
}
std::optional<long double> value_of(const PointXYZIRT& p, const std::string& name) {
  if (name == "intensity") return p.intensity;
  if (name == "ring") return p.ring;
  if (name == "time") return p.time;
  return std::nullopt;
}
std::optional<long double> value_of(const PointXYZITimestampRing& p, const std::string& name) {
  if (name == "intensity") return p.intensity;
  if (name == "ring") return p.ring;
  if (name == "timestamp") return p.timestamp;
  return std::nullopt;
}
std::optional<long double> value_of(const LivoxPointAll& p, const std::string& name) {
  if (name == "intensity") return p.intensity;
  if (name == "tag") return p.tag;
  if (name == "ring") return p.ring;
  if (name == "time") return p.time;
  if (name == "timestamp") return p.timestamp;
  return std::nullopt;
}

// Reads the points of `cloud` into the point type T through the point-cloud library, which
// matches each of T's fields to the cloud's field of the same name and type, and checks them.
// The ROS message is first moved into the library's own cloud record, field for field, as the
// ROS conversion package's fromROSMsg does before the same library call.
template <typename T>
void expect_pcl_points(const sensor_msgs::PointCloud2& cloud, const CustomMsg& frame) {
  pcl::PCLPointCloud2 moved;
  moved.header.seq = cloud.header.seq;
  moved.header.stamp = cloud.header.stamp.toNSec() / 1000;
  moved.header.frame_id = cloud.header.frame_id;
  moved.height = cloud.height;
  moved.width = cloud.width;
  for (const sensor_msgs::PointField& f : cloud.fields) {
    pcl::PCLPointField field;
    field.name = f.name;
    field.offset = f.offset;
    field.datatype = f.datatype;
    field.count = f.count;
    moved.fields.push_back(field);
  }
  moved.is_bigendian = cloud.is_bigendian;
  moved.point_step = cloud.point_step;
  moved.row_step = cloud.row_step;
  moved.data = cloud.data;
  moved.is_dense = cloud.is_dense;
  pcl::PointCloud<T> points;
  pcl::fromPCLPointCloud2(moved, points);
  ASSERT_EQ(points.size(), frame.points.size());
  EXPECT_TRUE(points.is_dense);
  for (size_t i = 0; i < points.size(); ++i) {
    const T& p = points[i];
    expect_point(
        frame, i, [&p](const std::string& name) { return value_of(p, name); },
        [&p](const std::string& name) -> std::optional<uint32_t> {
          return bits(name == "x" ? p.x : name == "y" ? p.y : p.z);
        });
  }
}

// A Livox recording with its frames, or a recording of other tools (no frames).
struct Recording {
  std::string name;
  std::function<std::vector<CustomMsg>(const std::string& dir)> make;  // gives the input path
  std::string input;
  std::vector<CustomMsg> frames;
};

// The lists a user passes, with the point type each one is read into by the point-cloud library.
struct LayoutCase {
  std::string name;
  std::optional<std::string> list;  // nullopt: the conversion without a layout
  void (*read_with_pcl)(const sensor_msgs::PointCloud2&, const CustomMsg&);
};

TEST(PointFields, CloudsCarryTheChosenFieldsReadBackAlikeByTheBagLibraryAndThePointCloudLibrary) {
  const std::vector<LayoutCase> layouts = {
      {"no layout", std::nullopt, expect_pcl_points<pcl::PointXYZI>},
      {"the default list", "x,y,z,intensity", expect_pcl_points<pcl::PointXYZI>},
      {"every field", kAllFields, expect_pcl_points<LivoxPointAll>},
      {"x, y, z, intensity, ring, time", "x,y,z,intensity,ring,time",
       expect_pcl_points<PointXYZIRT>},
      {"absolute time and ring", "x,y,z,intensity,timestamp,ring",
       expect_pcl_points<PointXYZITimestampRing>},
      // A point type that declares fewer fields than the cloud carries reads those it has.
      {"every field, read as x, y, z, intensity, ring, time", kAllFields,
       expect_pcl_points<PointXYZIRT>},
      // No field on its natural boundary; the point type finds each by name.
      {"every field backwards", "timestamp,time,ring,tag,intensity,z,y,x",
       expect_pcl_points<LivoxPointAll>},
  };

  std::vector<Recording> recordings;
  recordings.push_back({"timing recording",
                        [](const std::string& dir) {
                          return cloudconv_test::write_timing_recording(dir + "/in.bag");
                        },
                        "",
                        {}});
  for (const char* fixture : {"example.bag", "example-lz4.bag", "embag-test.bag",
                              "embag-test_2.bag", "no-messages.bag", "fake_sensors_sample.bag"}) {
    recordings.push_back(
        {fixture, nullptr, drone_test::fixture_path(std::string("bags/") + fixture), {}});
  }

  for (Recording& rec : recordings) {
    SCOPED_TRACE(rec.name);
    TempDir dir;
    if (rec.make) {
      rec.frames = rec.make(dir.path());
      rec.input = dir.file("in.bag");
    }
    ASSERT_TRUE(
        LivoxToPc2Converter::convert(rec.input, dir.file("default.bag"), kSource, kTarget).success);
    const std::vector<StoredMessage> plain = drone_test::read_all(dir.file("default.bag"));
    for (const LayoutCase& lc : layouts) {
      SCOPED_TRACE(lc.name);
      PointLayout layout;
      std::string error;
      if (lc.list) {
        ASSERT_TRUE(PointLayout::parse(*lc.list, &layout, &error)) << error;
      }
      const std::string out = dir.file("out.bag");
      const livox_to_pc2::ConversionResult r =
          lc.list ? LivoxToPc2Converter::convert(rec.input, out, kSource, kTarget, layout)
                  : LivoxToPc2Converter::convert(rec.input, out, kSource, kTarget);
      ASSERT_TRUE(r.success) << r.error;
      EXPECT_EQ(r.converted_messages, static_cast<int64_t>(rec.frames.size()));
      // The fields' default list changes not a byte of the output.
      if (layout.point_step() == 16) {
        EXPECT_EQ(drone_test::read_file(out), drone_test::read_file(dir.file("default.bag")));
      }

      const std::vector<StoredMessage> written = drone_test::read_all(out);
      ASSERT_EQ(written.size(), plain.size());
      size_t next_frame = 0;
      for (size_t m = 0; m < written.size(); ++m) {
        const bool is_cloud = written[m].topic == kTarget &&
                              written[m].connection.at("type") == "sensor_msgs/PointCloud2" &&
                              written[m].connection.count("callerid") == 0;
        if (!is_cloud) {
          EXPECT_EQ(written[m], plain[m]) << "message " << m << " is not the default's";
          continue;
        }
        ASSERT_LT(next_frame, rec.frames.size());
        const CustomMsg& frame = rec.frames[next_frame++];
        const sensor_msgs::PointCloud2 cloud = cloud_of(written[m]);
        const sensor_msgs::PointCloud2 default_cloud = cloud_of(plain[m]);
        EXPECT_EQ(cloud.header, default_cloud.header);
        EXPECT_EQ(cloud.header.stamp, frame.header.stamp);
        EXPECT_EQ(cloud.height, 1u);
        EXPECT_EQ(cloud.width, frame.points.size());
        EXPECT_FALSE(cloud.is_bigendian);
        EXPECT_TRUE(cloud.is_dense);
        ASSERT_EQ(cloud.fields.size(), layout.fields().size());
        for (size_t k = 0; k < cloud.fields.size(); ++k) {
          EXPECT_EQ(cloud.fields[k].name, layout.fields()[k].name);
          EXPECT_EQ(cloud.fields[k].offset, layout.fields()[k].offset);
          EXPECT_EQ(cloud.fields[k].datatype, layout.fields()[k].datatype);
          EXPECT_EQ(cloud.fields[k].count, 1u);
        }
        EXPECT_EQ(cloud.point_step, layout.point_step());
        EXPECT_EQ(cloud.row_step, layout.point_step() * frame.points.size());
        ASSERT_EQ(cloud.data.size(), cloud.row_step);

        // Each field read where the cloud says it is, as its datatype says.
        const auto field_at = [&cloud](const std::string& name) -> const sensor_msgs::PointField* {
          for (const sensor_msgs::PointField& f : cloud.fields) {
            if (f.name == name) return &f;
          }
          return nullptr;
        };
        for (size_t i = 0; i < frame.points.size(); ++i) {
          const uint8_t* record = cloud.data.data() + i * cloud.point_step;
          expect_point(
              frame, i,
              [&](const std::string& name) -> std::optional<long double> {
                const sensor_msgs::PointField* f = field_at(name);
                if (f == nullptr) return std::nullopt;
                const uint8_t* at = record + f->offset;
                switch (f->datatype) {
                  case sensor_msgs::PointField::UINT8:
                    return *at;
                  case sensor_msgs::PointField::UINT16: {
                    uint16_t v;
                    std::memcpy(&v, at, sizeof v);
                    return v;
                  }
                  case sensor_msgs::PointField::FLOAT32: {
                    float v;
                    std::memcpy(&v, at, sizeof v);
                    return v;
                  }
                  case sensor_msgs::PointField::FLOAT64: {
                    double v;
                    std::memcpy(&v, at, sizeof v);
                    return v;
                  }
                  default:
                    ADD_FAILURE() << "field " << name << " of datatype " << int(f->datatype);
                    return std::nullopt;
                }
              },
              [&](const std::string& name) -> std::optional<uint32_t> {
                const sensor_msgs::PointField* f = field_at(name);
                if (f == nullptr) return std::nullopt;
                uint32_t b;
                std::memcpy(&b, record + f->offset, sizeof b);
                return b;
              });
        }
        lc.read_with_pcl(cloud, frame);
      }
      EXPECT_EQ(next_frame, rec.frames.size());
    }
  }
}

// The times of the timing recording's frames whose stamp is not their timebase, and of the one
// whose nanoseconds pass 64 bits, as numbers a user can check by hand.
TEST(PointFields, TimesCountFromTheHeaderStamp) {
  TempDir dir;
  cloudconv_test::write_timing_recording(dir.file("in.bag"));
  PointLayout layout;
  std::string error;
  ASSERT_TRUE(PointLayout::parse("time,timestamp", &layout, &error));
  ASSERT_TRUE(LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource,
                                           kTarget, layout)
                  .success);
  std::vector<std::vector<std::pair<float, double>>> times;
  for (const StoredMessage& m : drone_test::read_all(dir.file("out.bag"))) {
    if (m.topic != kTarget) continue;
    const sensor_msgs::PointCloud2 cloud = cloud_of(m);
    times.emplace_back();
    for (size_t i = 0; i < cloud.width && i < 3; ++i) {
      std::pair<float, double> t;
      std::memcpy(&t.first, cloud.data.data() + i * 12, 4);
      std::memcpy(&t.second, cloud.data.data() + i * 12 + 4, 8);
      times.back().push_back(t);
    }
  }
  ASSERT_EQ(times.size(), 7u);
  // Stamp 100 s, timebase 100 s.
  EXPECT_EQ(times[0][0].first, 0.0f);
  EXPECT_FLOAT_EQ(times[0][1].first, 0.05f);
  EXPECT_FLOAT_EQ(times[0][2].first, 0.099999999f);
  EXPECT_DOUBLE_EQ(times[0][2].second, 100.099999999);
  // Stamp 200.5 s, timebase 2.5 ms later: the first point is 2.5 ms after the stamp.
  EXPECT_FLOAT_EQ(times[1][0].first, 0.0025f);
  EXPECT_FLOAT_EQ(times[1][1].first, 0.002501f);
  EXPECT_FLOAT_EQ(times[1][2].first, 0.1015f);
  EXPECT_DOUBLE_EQ(times[1][0].second, 200.5025);
  // Stamp 300 s, timebase 10 ms earlier: the first point comes before the stamp.
  EXPECT_FLOAT_EQ(times[2][0].first, -0.01f);
  EXPECT_EQ(times[2][1].first, 0.0f);
  EXPECT_FLOAT_EQ(times[2][2].first, 0.01f);
  EXPECT_DOUBLE_EQ(times[2][0].second, 299.99);
  // NaN points keep their times; the empty frame has none.
  EXPECT_FLOAT_EQ(times[3][2].first, 3e-8f);
  EXPECT_TRUE(times[4].empty());
  // Timebase 2^64 - 11 ns plus 1000 ns at stamp 600 s: (2^64 + 989 - 600e9) ns, not a sum
  // that wrapped round to 989 ns.
  EXPECT_FLOAT_EQ(times[5][0].first, static_cast<float>(std::ldexp(1.0, 64) * 1e-9 - 600.0));
  EXPECT_DOUBLE_EQ(times[5][0].second, std::ldexp(1.0, 64) * 1e-9);
}

}  // namespace
