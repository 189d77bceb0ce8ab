// Clouds with chosen point fields, read back as mapping software reads them: the messages with
// the bag library, the points with the point-cloud library's conversion into point types that
// declare those fields (matched by name and datatype).
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
#include <string>
#include <vector>

#include "bag_fixtures.h"
#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

// clang-format off
// Every field the converter writes.
struct EIGEN_ALIGN16 LivoxPointAll {
  PCL_ADD_POINT4D; float intensity; std::uint8_t tag; std::uint16_t ring; float time;
  double timestamp; PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(LivoxPointAll, (float, x, x)(float, y, y)(float, z, z)
    (float, intensity, intensity)(std::uint8_t, tag, tag)(std::uint16_t, ring, ring)
    (float, time, time)(double, timestamp, timestamp))
// The common "x, y, z, intensity, ring, time" type of lidar mapping packages.
struct EIGEN_ALIGN16 PointXYZIRT {
  PCL_ADD_POINT4D; PCL_ADD_INTENSITY; std::uint16_t ring; float time; PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(PointXYZIRT, (float, x, x)(float, y, y)(float, z, z)
    (float, intensity, intensity)(std::uint16_t, ring, ring)(float, time, time))
// A type reading each point's absolute time in seconds, and the ring.
struct EIGEN_ALIGN16 PointXYZITimestampRing {
  PCL_ADD_POINT4D; float intensity; double timestamp; std::uint16_t ring;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};
POINT_CLOUD_REGISTER_POINT_STRUCT(PointXYZITimestampRing, (float, x, x)(float, y, y)(float, z, z)
    (float, intensity, intensity)(double, timestamp, timestamp)(std::uint16_t, ring, ring))
// clang-format on

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
  // A list, then its fields as name@offset:datatype, or the reason it is refused.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x,y,z,intensity", "x@0:7 y@4:7 z@8:7 intensity@12:7"},
      {kAllFields, "x@0:7 y@4:7 z@8:7 intensity@12:7 tag@16:2 ring@17:4 time@19:7 timestamp@23:8"},
      {"timestamp,ring,tag,z,y,x", "timestamp@0:8 ring@8:4 tag@10:2 z@11:7 y@15:7 x@19:7"},
      {" x , y,z\t", "x@0:7 y@4:7 z@8:7"},
      {"", "不能为空"},
      {" ", "不能为空"},
      {"x,,y", "含有空的字段名"},
      {"x,y,", "含有空的字段名"},
      {"x,y,z,t", "含有未知字段 \"t\""},
      {"X", "含有未知字段 \"X\""},
      {"x y", "含有未知字段 \"x y\""},
      {"x,y,x", "中字段 \"x\" 重复"},
      {"time, time", "中字段 \"time\" 重复"},
  };
  EXPECT_EQ(PointLayout::known_names(), "x, y, z, intensity, tag, ring, time, timestamp");
  for (const auto& [list, want] : cases) {
    SCOPED_TRACE("list \"" + list + "\"");
    PointLayout layout;
    std::string got;
    uint32_t end = 0;
    if (PointLayout::parse(list, &layout, &got)) {
      for (const livox_to_pc2::LayoutField& f : layout.fields()) {
        got += (got.empty() ? "" : " ") + f.name + "@" + std::to_string(f.offset) + ":" +
               std::to_string(f.datatype);
        end = f.offset + f.size;
      }
    }
    EXPECT_EQ(got, want);
    // A refused list leaves the default layout; an accepted one packs without padding.
    EXPECT_EQ(layout.point_step(), end == 0 ? 16u : end);
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

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// A frame's point with its times worked out in long double, apart from the converter's integer
// nanoseconds: from the header stamp, and absolute.
struct Expected {
  const CustomPoint& p;
  long double time;
  long double timestamp;
};

void expect_time(float got, long double want) {
  EXPECT_NEAR(got, static_cast<double>(want),
              std::fabs(static_cast<double>(want)) * 1.2e-7 + 1e-12);
}
void expect_timestamp(double got, long double want) {
  EXPECT_NEAR(got, static_cast<double>(want), std::fabs(static_cast<double>(want)) * 4.5e-16);
}
template <typename T>
void expect_xyzi(const T& got, const CustomPoint& p) {
  EXPECT_EQ(bits(got.x), bits(p.x));  // NaN and infinities bit for bit
  EXPECT_EQ(bits(got.y), bits(p.y));
  EXPECT_EQ(bits(got.z), bits(p.z));
  EXPECT_EQ(got.intensity, p.reflectivity);
}
void expect_fields(const pcl::PointXYZI& got, const Expected& e) { expect_xyzi(got, e.p); }
void expect_fields(const PointXYZIRT& got, const Expected& e) {
  expect_xyzi(got, e.p);
  EXPECT_EQ(got.ring, e.p.line);
  expect_time(got.time, e.time);
}
void expect_fields(const PointXYZITimestampRing& got, const Expected& e) {
  expect_xyzi(got, e.p);
  EXPECT_EQ(got.ring, e.p.line);
  expect_timestamp(got.timestamp, e.timestamp);
}
void expect_fields(const LivoxPointAll& got, const Expected& e) {
  expect_xyzi(got, e.p);
  EXPECT_EQ(got.tag, e.p.tag);
  EXPECT_EQ(got.ring, e.p.line);
  expect_time(got.time, e.time);
  expect_timestamp(got.timestamp, e.timestamp);
}

// Reads the points of `cloud` into the point type T with the point-cloud library and checks
// them against the frame. The ROS message is first moved into the library's own cloud record,
// field for field, as the ROS conversion package's fromROSMsg does before the same call.
template <typename T>
void expect_pcl_points(const sensor_msgs::PointCloud2& cloud, const CustomMsg& frame) {
  pcl::PCLPointCloud2 moved;
  moved.header.frame_id = cloud.header.frame_id;
  moved.height = cloud.height;
  moved.width = cloud.width;
  for (const sensor_msgs::PointField& f : cloud.fields) {
    moved.fields.emplace_back();
    moved.fields.back().name = f.name;
    moved.fields.back().offset = f.offset;
    moved.fields.back().datatype = f.datatype;
    moved.fields.back().count = f.count;
  }
  moved.is_bigendian = cloud.is_bigendian;
  moved.point_step = cloud.point_step;
  moved.row_step = cloud.row_step;
  moved.data = cloud.data;
  moved.is_dense = cloud.is_dense;
  // The library's conversion takes the address of the first point even of an empty cloud,
  // which the undefined-behaviour checker reports; an empty cloud has no point to check.
  if (cloud.width == 0) {
    EXPECT_TRUE(frame.points.empty());
    return;
  }
  pcl::PointCloud<T> points;
  pcl::fromPCLPointCloud2(moved, points);
  ASSERT_EQ(points.size(), frame.points.size());
  const auto& stamp = frame.header.stamp;
  const long double stamp_ns = static_cast<long double>(stamp.sec) * 1e9L + stamp.nsec;
  for (size_t i = 0; i < points.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(frame.header.seq) + " point " + std::to_string(i));
    const CustomPoint& p = frame.points[i];
    const long double at = static_cast<long double>(frame.timebase) + p.offset_time;
    expect_fields(points[i], {p, (at - stamp_ns) * 1e-9L, at * 1e-9L});
  }
}

// Every recording converted with every list: the clouds carry the list's fields, packed, with
// the default's header and size; each is read by the point type beside its list; every other
// message is the default output's, and the default list gives the default file byte for byte.
TEST(PointFields, CloudsCarryTheChosenFieldsAndReadIntoPointTypesThatDeclareThem) {
  struct Layout {
    const char* list;  // null: the conversion without a layout
    void (*read)(const sensor_msgs::PointCloud2&, const CustomMsg&);
  };
  const std::vector<Layout> layouts = {
      {nullptr, expect_pcl_points<pcl::PointXYZI>},
      {"x,y,z,intensity", expect_pcl_points<pcl::PointXYZI>},
      {"x,y,z,intensity,ring,time", expect_pcl_points<PointXYZIRT>},
      {"x,y,z,intensity,timestamp,ring", expect_pcl_points<PointXYZITimestampRing>},
      {kAllFields.c_str(), expect_pcl_points<LivoxPointAll>},
      // A type declaring fewer fields than the cloud carries reads those it has.
      {kAllFields.c_str(), expect_pcl_points<PointXYZIRT>},
      // No field on its natural boundary; the type finds each by name.
      {"timestamp,time,ring,tag,intensity,z,y,x", expect_pcl_points<LivoxPointAll>},
  };
  // The generated recording (empty name), then vendored recordings of other tools.
  for (const std::string fixture : {"", "example.bag", "example-lz4.bag", "embag-test.bag",
                                    "embag-test_2.bag", "no-messages.bag"}) {
    SCOPED_TRACE(fixture);
    TempDir dir;
    std::vector<CustomMsg> frames;
    std::string input = drone_test::fixture_path("bags/" + fixture);
    if (fixture.empty()) {
      input = dir.file("in.bag");
      frames = cloudconv_test::write_timing_recording(input);
    }
    ASSERT_TRUE(
        LivoxToPc2Converter::convert(input, dir.file("default.bag"), kSource, kTarget).success);
    const std::vector<StoredMessage> plain = drone_test::read_all(dir.file("default.bag"));
    for (const Layout& l : layouts) {
      SCOPED_TRACE(l.list ? l.list : "no layout");
      PointLayout layout;
      std::string error;
      ASSERT_TRUE(l.list == nullptr || PointLayout::parse(l.list, &layout, &error)) << error;
      const std::string out = dir.file("out.bag");
      const auto r = l.list ? LivoxToPc2Converter::convert(input, out, kSource, kTarget, layout)
                            : LivoxToPc2Converter::convert(input, out, kSource, kTarget);
      ASSERT_TRUE(r.success) << r.error;
      if (layout.point_step() == 16) {
        EXPECT_EQ(drone_test::read_file(out), drone_test::read_file(dir.file("default.bag")));
      }
      const std::vector<StoredMessage> written = drone_test::read_all(out);
      ASSERT_EQ(written.size(), plain.size());
      size_t next_frame = 0;
      for (size_t m = 0; m < written.size(); ++m) {
        if (written[m].topic != kTarget || written[m].connection.count("callerid") != 0) {
          EXPECT_EQ(written[m], plain[m]) << "message " << m;
          continue;
        }
        ASSERT_LT(next_frame, frames.size());
        const CustomMsg& frame = frames[next_frame++];
        const sensor_msgs::PointCloud2 cloud = cloud_of(written[m]);
        const sensor_msgs::PointCloud2 default_cloud = cloud_of(plain[m]);
        EXPECT_EQ(cloud.header, default_cloud.header);
        EXPECT_EQ(cloud.width, default_cloud.width);
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
        EXPECT_EQ(cloud.data.size(), cloud.row_step);
        l.read(cloud, frame);
      }
      EXPECT_EQ(next_frame, frames.size());
    }
  }
}

}  // namespace
