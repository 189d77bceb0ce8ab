#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "elevation.h"
#include "lidar_check/lidar_validator.h"
#include "same_result.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::BagBuilder;
using drone_test::XyzPoint;
using lidar_validate::FrameAnomaly;
using lidar_validate::LidarValidator;
using lidar_validate::ValidationResult;
const std::string kTopic = BagBuilder::kLivoxTopic;
using scancheck_test::level_points;
using scancheck_test::point_at_elevation;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr char kPrefix[] = "Bag validation failed: ";

// The validator's arguments; the defaults let every frame with at least one point pass.
struct Checks {
  std::string topic = kTopic;
  double interval = 100.0;
  double tolerance = 20.0;
  int min_points = 1;
  double min_elevation = -90.0;
  double max_elevation = 90.0;
};

ValidationResult check(const std::string& bag, const Checks& c = {}) {
  return LidarValidator::validate(bag, c.topic, c.interval, c.tolerance, c.min_points,
                                  c.min_elevation, c.max_elevation);
}

ros::Time at(uint32_t sec, uint32_t nsec = 0) { return ros::Time(sec, nsec); }

// Every counter, average and extreme of the result is 0.
void expect_no_figures(const ValidationResult& r) {
  EXPECT_EQ(r.total_frames, 0);
  EXPECT_EQ(r.anomaly_frames, 0);
  EXPECT_EQ(r.low_point_frames, 0);
  EXPECT_EQ(r.high_nan_frames, 0);
  EXPECT_EQ(r.invalid_angle_frames, 0);
  EXPECT_EQ(r.avg_points, 0.0);
  EXPECT_EQ(r.avg_interval_ms, 0.0);
  EXPECT_EQ(r.min_interval_ms, 0.0);
  EXPECT_EQ(r.max_interval_ms, 0.0);
}

void expect_failure(const ValidationResult& r, const std::string& bag) {
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error.rfind(kPrefix, 0), 0u) << r.error;
  EXPECT_GT(r.error.size(), sizeof(kPrefix) - 1) << "the cause follows the prefix";
  EXPECT_EQ(r.bag_file, bag);
  EXPECT_EQ(r.topic, kTopic);
  expect_no_figures(r);
}

class LidarValidatorTest : public ::testing::Test {
 protected:
  std::string bag(const std::string& name = "in.bag") const { return dir_.file(name); }
  drone_test::TempDir dir_;
};

// ---- topics without frames -------------------------------------------------------------------

TEST_F(LidarValidatorTest, TopicsWithoutFramesSucceedWithNothingCounted) {
  struct Case {
    const char* name;
    void (*fill)(BagBuilder&);
  };
  const Case cases[] = {
      {"no messages at all", [](BagBuilder&) {}},
      {"only other topics",
       [](BagBuilder& b) { b.frame(at(5), level_points(3), "/other").text("x", "/chatter"); }},
      {"only other types on the topic", [](BagBuilder& b) { b.text("a").text("b"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = bag(std::string(c.name) + ".bag");
    {
      BagBuilder b(path);
      c.fill(b);
    }
    const ValidationResult r = check(path);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.bag_file, path);
    EXPECT_EQ(r.topic, kTopic);
    expect_no_figures(r);
    EXPECT_TRUE(r.anomalies.empty());
  }
}

TEST_F(LidarValidatorTest, BagsRecordedByOtherToolsWithoutLivoxFrames) {
  for (const char* name : {"example.bag", "example-lz4.bag", "no-messages.bag"}) {
    SCOPED_TRACE(name);
    const std::string path = drone_test::fixture_path(std::string("bags/") + name);
    Checks c;
    c.topic = "/rosout";
    const ValidationResult r = check(path, c);
    EXPECT_TRUE(r.success) << r.error;
    expect_no_figures(r);
  }
}

// ---- one frame -------------------------------------------------------------------------------

TEST_F(LidarValidatorTest, SingleFrameMeasuresNoInterval) {
  BagBuilder(bag()).frame(at(42, 500000000), level_points(7));
  Checks c;
  c.min_points = 8;  // makes the frame anomalous so that it is listed
  const ValidationResult r = check(bag(), c);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 1);
  EXPECT_EQ(r.low_point_frames, 1);
  EXPECT_EQ(r.anomaly_frames, 0);
  EXPECT_EQ(r.avg_points, 7.0);
  EXPECT_EQ(r.avg_interval_ms, 0.0);
  EXPECT_EQ(r.min_interval_ms, 0.0);
  EXPECT_EQ(r.max_interval_ms, 0.0);
  ASSERT_EQ(r.anomalies.size(), 1u);
  const FrameAnomaly& a = r.anomalies[0];
  EXPECT_EQ(a.frame, 1);
  EXPECT_EQ(a.time, 42.5);
  EXPECT_EQ(a.points, 7);
  EXPECT_EQ(a.nan, 0);
  EXPECT_EQ(a.invalid_angle, 0);
  EXPECT_EQ(a.interval_ms, 0.0);
  EXPECT_FALSE(a.interval_anomaly);
}

// ---- point counts ----------------------------------------------------------------------------

TEST_F(LidarValidatorTest, PointCountsAgainstMinimumAndAverage) {
  // 3, 4 and 6 points against a minimum of 4; an empty frame counts with 0 points.
  BagBuilder(bag())
      .frame(at(10, 0), level_points(3))
      .frame(at(10, 100000000), level_points(4))
      .frame(at(10, 200000000), level_points(6))
      .frame(at(10, 300000000), {});
  Checks c;
  c.min_points = 4;
  c.tolerance = 1.0;
  const ValidationResult r = check(bag(), c);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 4);
  EXPECT_EQ(r.low_point_frames, 2);
  EXPECT_DOUBLE_EQ(r.avg_points, 13.0 / 4.0);
  ASSERT_EQ(r.anomalies.size(), 2u);
  EXPECT_EQ(r.anomalies[0].frame, 1);
  EXPECT_EQ(r.anomalies[0].points, 3);
  EXPECT_EQ(r.anomalies[1].frame, 4);
  EXPECT_EQ(r.anomalies[1].points, 0);
}

// ---- NaN points ------------------------------------------------------------------------------

TEST_F(LidarValidatorTest, MoreThanTenNanPointsMakeAHighNanFrame) {
  struct Case {
    int nan_points;
    bool high;
  };
  const Case cases[] = {{0, false}, {1, false}, {10, false}, {11, true}, {40, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nan_points);
    // Rotate the NaN through x, y, z and all three; every such point counts once.
    std::vector<XyzPoint> points = level_points(5);
    for (int i = 0; i < c.nan_points; ++i) {
      switch (i % 4) {
        case 0:
          points.push_back({kNan, 1.0f, 100.0f});
          break;
        case 1:
          points.push_back({1.0f, kNan, -100.0f});
          break;
        case 2:
          points.push_back({1.0f, 1.0f, kNan});
          break;
        default:
          points.push_back({kNan, kNan, kNan});
          break;
      }
    }
    const std::string path = bag("nan" + std::to_string(c.nan_points) + ".bag");
    BagBuilder(path).frame(at(3), points);
    Checks band;
    band.min_elevation = -8.0;
    band.max_elevation = 60.0;
    const ValidationResult r = check(path, band);
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.high_nan_frames, c.high ? 1 : 0);
    EXPECT_EQ(r.invalid_angle_frames, 0) << "NaN points skip the elevation test";
    ASSERT_EQ(r.anomalies.size(), c.high ? 1u : 0u);
    if (c.high) {
      EXPECT_EQ(r.anomalies[0].nan, c.nan_points);
      EXPECT_EQ(r.anomalies[0].invalid_angle, 0);
      EXPECT_EQ(r.anomalies[0].points, 5 + c.nan_points);
    }
  }
}

// ---- elevation band --------------------------------------------------------------------------

// Points spread over all directions, from a fixed seed.
std::vector<XyzPoint> sample_points(size_t n) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
  std::vector<XyzPoint> points;
  for (size_t i = 0; i < n; ++i) points.push_back({coord(rng), coord(rng), coord(rng)});
  return points;
}

// Validates one frame holding only `p` against the band [lo, hi] and returns its invalid count.
int invalid_points(const std::string& path, const XyzPoint& p, double lo, double hi) {
  BagBuilder(path).frame(at(1), {p});
  Checks c;
  c.min_elevation = lo;
  c.max_elevation = hi;
  const ValidationResult r = check(path, c);
  EXPECT_TRUE(r.success) << r.error;
  return r.invalid_angle_frames == 0 ? 0 : r.anomalies.at(0).invalid_angle;
}

TEST_F(LidarValidatorTest, BoundsBelongToTheBand) {
  for (const XyzPoint& p : {point_at_elevation(-8.0), point_at_elevation(60.0),
                            point_at_elevation(33.3), XyzPoint{3.0f, 4.0f, -1.5f}}) {
    const double e = scancheck_test::reference_elevation(p.x, p.y, p.z);
    SCOPED_TRACE(e);
    const double above = std::nextafter(e, 100.0);
    const double below = std::nextafter(e, -100.0);
    EXPECT_EQ(invalid_points(bag(), p, e, e), 0) << "both bounds exactly on the point";
    EXPECT_EQ(invalid_points(bag(), p, -90.0, e), 0);
    EXPECT_EQ(invalid_points(bag(), p, e, 90.0), 0);
    EXPECT_EQ(invalid_points(bag(), p, above, 90.0), 1) << "just below the lower bound";
    EXPECT_EQ(invalid_points(bag(), p, -90.0, below), 1) << "just above the upper bound";
  }
}

TEST_F(LidarValidatorTest, PointAtTheOriginHasElevationZero) {
  const XyzPoint origin{0.0f, 0.0f, 0.0f};
  EXPECT_EQ(invalid_points(bag(), origin, 0.0, 0.0), 0);
  EXPECT_EQ(invalid_points(bag(), origin, 1e-9, 90.0), 1);
  EXPECT_EQ(invalid_points(bag(), origin, -90.0, -1e-9), 1);
}

TEST_F(LidarValidatorTest, ElevationArithmeticIsExactlyTheSensorRule) {
  // Other ways of computing the elevation that give different last digits for some points:
  // the horizontal distance in double precision, and converting to degrees in another order.
  // For points where one of them disagrees, a band that is exactly the rule's elevation
  // must accept the point.
  constexpr double kPi = 3.141592653589793;
  using Rule = double (*)(float, float, float);
  const Rule others[] = {
      [](float x, float y, float z) {
        const double h = std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y);
        return (180.0 * std::atan2(static_cast<double>(z), h)) / kPi;
      },
      [](float x, float y, float z) {
        const float h = std::sqrt(x * x + y * y);
        return std::atan2(static_cast<double>(z), static_cast<double>(h)) * (180.0 / kPi);
      },
      [](float x, float y, float z) {
        const float h = std::sqrt(x * x + y * y);
        return std::atan2(static_cast<double>(z), static_cast<double>(h)) / kPi * 180.0;
      },
  };
  for (const Rule other : others) {
    int found = 0;
    for (const XyzPoint& p : sample_points(20000)) {
      const double e = scancheck_test::reference_elevation(p.x, p.y, p.z);
      if (other(p.x, p.y, p.z) == e) continue;
      SCOPED_TRACE(e);
      EXPECT_EQ(invalid_points(bag(), p, e, e), 0);
      if (++found == 3) break;
    }
    EXPECT_EQ(found, 3) << "the sample holds no point that tells the rules apart";
  }
}

TEST_F(LidarValidatorTest, FrameWithOnlyAPointAboveTheBand) {
  std::vector<XyzPoint> points = level_points(20);
  points.push_back(point_at_elevation(75.0));
  points.push_back(point_at_elevation(-30.0));
  BagBuilder(bag())
      .frame(at(7, 0), level_points(20))
      .frame(at(7, 100000000), points)
      .frame(at(7, 200000000), level_points(20));
  Checks c;
  c.min_elevation = -8.0;
  c.max_elevation = 60.0;
  const ValidationResult r = check(bag(), c);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.invalid_angle_frames, 1);
  EXPECT_EQ(r.anomaly_frames, 0) << "anomaly_frames counts interval anomalies only";
  ASSERT_EQ(r.anomalies.size(), 1u);
  EXPECT_EQ(r.anomalies[0].frame, 2);
  EXPECT_EQ(r.anomalies[0].invalid_angle, 2);
  EXPECT_EQ(r.anomalies[0].nan, 0);
  EXPECT_FALSE(r.anomalies[0].interval_anomaly);
  EXPECT_NEAR(r.anomalies[0].interval_ms, 100.0, 1e-6);
}

// ---- intervals -------------------------------------------------------------------------------

// Each frame holds one point against a minimum of 2, so every frame is listed and its interval
// can be read from the list.
struct Stamped {
  ros::Time stamp;
  double interval_ms;  // expected interval_ms of the listed frame
  bool anomaly;        // expected interval_anomaly
};

ValidationResult check_stamps(const std::string& path, const std::vector<Stamped>& frames,
                              double interval, double tolerance) {
  {
    BagBuilder b(path);
    for (const Stamped& f : frames) b.frame(f.stamp, level_points(1));
  }
  Checks c;
  c.interval = interval;
  c.tolerance = tolerance;
  c.min_points = 2;
  ValidationResult r = check(path, c);
  EXPECT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.anomalies.size(), frames.size());
  for (size_t i = 0; i < frames.size() && i < r.anomalies.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.anomalies[i].frame, static_cast<int64_t>(i + 1));
    EXPECT_NEAR(r.anomalies[i].interval_ms, frames[i].interval_ms, 1e-6);
    EXPECT_EQ(r.anomalies[i].interval_anomaly, frames[i].anomaly);
  }
  return r;
}

TEST_F(LidarValidatorTest, IntervalsExactlyAtTheToleranceAreNormal) {
  // Expected 250 ms +- 125 ms. The stamps are chosen so that the intervals come out exact in
  // double precision: 125 and 375 ms lie on the edges, one nanosecond more is beyond them.
  const std::vector<Stamped> frames = {
      {at(10, 0), 0.0, false},
      {at(10, 125000000), 125.0, false},      // lower edge
      {at(10, 500000000), 375.0, false},      // upper edge
      {at(10, 624999999), 124.999999, true},  // 1 ns short of the lower edge
      {at(11, 0), 375.000001, true},          // 1 ns beyond the upper edge
      {at(11, 250000000), 250.0, false},
  };
  const ValidationResult r = check_stamps(bag(), frames, 250.0, 125.0);
  EXPECT_EQ(r.anomalies[1].interval_ms, 125.0) << "the edge case is exact";
  EXPECT_EQ(r.anomalies[2].interval_ms, 375.0) << "the edge case is exact";
  EXPECT_EQ(r.anomaly_frames, 2);
  EXPECT_NEAR(r.avg_interval_ms, 1250.0 / 5.0, 1e-9);
  EXPECT_NEAR(r.min_interval_ms, 124.999999, 1e-6);
  EXPECT_NEAR(r.max_interval_ms, 375.000001, 1e-6);
}

TEST_F(LidarValidatorTest, BackwardStampsGiveNegativeIntervals) {
  // Three steps back of 250 ms: the minimum goes negative, the maximum stays at 0.
  {
    const std::vector<Stamped> frames = {{at(12, 0), 0.0, false},
                                         {at(11, 750000000), -250.0, true},
                                         {at(11, 500000000), -250.0, true},
                                         {at(11, 250000000), -250.0, true}};
    const ValidationResult r = check_stamps(bag("back.bag"), frames, 100.0, 20.0);
    EXPECT_EQ(r.anomaly_frames, 3);
    EXPECT_EQ(r.min_interval_ms, -250.0);
    EXPECT_EQ(r.max_interval_ms, 0.0);
    EXPECT_EQ(r.avg_interval_ms, -250.0);
  }
  // A step back within a wide tolerance is no anomaly.
  {
    const std::vector<Stamped> frames = {{at(12, 0), 0.0, false},
                                         {at(11, 750000000), -250.0, false},
                                         {at(12, 250000000), 500.0, true}};
    const ValidationResult r = check_stamps(bag("wide.bag"), frames, 100.0, 350.0);
    EXPECT_EQ(r.anomaly_frames, 1);
    EXPECT_EQ(r.min_interval_ms, -250.0);
    EXPECT_EQ(r.max_interval_ms, 500.0);
    EXPECT_EQ(r.avg_interval_ms, 125.0);
  }
}

TEST_F(LidarValidatorTest, StampZeroLeavesTheNextIntervalUnmeasured) {
  const std::vector<Stamped> frames = {
      {at(0), 0.0, false},             // nothing before it
      {at(1, 0), 0.0, false},          // the previous stamp is 0: not measured
      {at(0), -1000.0, true},          // measured against 1 s
      {at(1, 100000000), 0.0, false},  // the previous stamp is 0 again
      {at(1, 200000000), 100.0, false},
  };
  const ValidationResult r = check_stamps(bag(), frames, 100.0, 20.0);
  EXPECT_EQ(r.anomaly_frames, 1);
  EXPECT_EQ(r.total_frames, 5);
  EXPECT_NEAR(r.avg_interval_ms, -450.0, 1e-6);
  EXPECT_EQ(r.min_interval_ms, -1000.0);
  EXPECT_NEAR(r.max_interval_ms, 100.0, 1e-6);
}

TEST_F(LidarValidatorTest, FrameTimeIsSecondsPlusNanoseconds) {
  BagBuilder(bag()).frame(at(1700000000, 123456789), {});
  const ValidationResult r = check(bag());
  ASSERT_EQ(r.anomalies.size(), 1u);
  EXPECT_EQ(r.anomalies[0].time, 1700000000.0 + 123456789 * 1e-9);
}

// ---- the anomaly list ------------------------------------------------------------------------

TEST_F(LidarValidatorTest, ListHoldsTheFirstTwentyAnomalousFrames) {
  // 30 frames at 100 ms; every sixth is clean, the other 25 have too few points, and frames
  // 7 and 29 also arrive late.
  std::vector<int64_t> anomalous;
  {
    BagBuilder b(bag());
    uint64_t ns = 5000000000ULL;
    for (int i = 1; i <= 30; ++i) {
      ns += (i == 7 || i == 29) ? 150000000 : 100000000;
      const bool clean = i % 6 == 0;
      b.frame(ros::Time().fromNSec(ns), level_points(clean ? 50 : 10));
      if (!clean) anomalous.push_back(i);
    }
  }
  Checks c;
  c.min_points = 50;
  const ValidationResult r = check(bag(), c);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 30);
  EXPECT_EQ(r.low_point_frames, 25);
  EXPECT_EQ(r.anomaly_frames, 2) << "frame 29 is counted though not listed";
  ASSERT_EQ(r.anomalies.size(), 20u);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(r.anomalies[i].frame, anomalous[i]);
  EXPECT_TRUE(r.anomalies[5].interval_anomaly);  // frame 7
  EXPECT_EQ(r.anomalies[5].frame, 7);
}

// ---- other types on the topic ----------------------------------------------------------------

TEST_F(LidarValidatorTest, OtherTypesOnTheTopicAreNeitherCountedNorTimed) {
  const auto other_md5 = [](const livox_ros_driver2::CustomMsg& frame) {
    drone_test::RawMessage m = drone_test::livox_raw(drone_test::serialize(frame));
    m.md5sum = "0123456789abcdef0123456789abcdef";  // Livox type name, other layout
    return m;
  };
  const auto other_name = [](const livox_ros_driver2::CustomMsg& frame) {
    drone_test::RawMessage m = drone_test::livox_raw(drone_test::serialize(frame));
    m.datatype = "my_driver/LidarFrame";  // same layout under another name: still a frame
    return m;
  };
  BagBuilder(bag())
      .frame(at(20, 0), level_points(2))
      .text("not a frame")
      .raw(other_md5(drone_test::make_livox_frame(9, at(20, 50000000), level_points(2))))
      .frame(at(20, 100000000), level_points(2))
      .raw(other_name(drone_test::make_livox_frame(9, at(20, 200000000), level_points(2))))
      .text("nor this");
  Checks c;
  c.min_points = 3;
  const ValidationResult r = check(bag(), c);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 3);
  ASSERT_EQ(r.anomalies.size(), 3u);
  EXPECT_EQ(r.anomalies[1].frame, 2);
  EXPECT_NEAR(r.anomalies[1].interval_ms, 100.0, 1e-6) << "timed against the previous frame";
  EXPECT_EQ(r.anomalies[2].frame, 3);
  EXPECT_NEAR(r.anomalies[2].interval_ms, 100.0, 1e-6);
  EXPECT_EQ(r.anomaly_frames, 0);
}

// ---- compressed and chunked recordings -------------------------------------------------------

TEST_F(LidarValidatorTest, CompressionAndChunkingDoNotChangeTheFindings) {
  const auto write = [](const std::string& path, rosbag::compression::CompressionType type) {
    BagBuilder b(path, type, 4096);  // small chunks: frames spread over many of them
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-20.0f, 20.0f);
    uint64_t ns = 1000000000ULL;
    for (int i = 0; i < 40; ++i) {
      std::vector<XyzPoint> points;
      points.reserve(300 + 12);
      for (int k = 0; k < 300; ++k) points.push_back({coord(rng), coord(rng), coord(rng)});
      for (int k = 0; k < i % 13; ++k) points.push_back({kNan, 0.0f, 0.0f});
      ns += 90000000 + 1000000 * static_cast<uint64_t>(i % 5) * 10;
      b.frame(ros::Time().fromNSec(ns), points);
      if (i % 9 == 0) b.text("interleaved");
    }
  };
  Checks c;
  c.min_elevation = -8.0;
  c.max_elevation = 60.0;
  c.min_points = 305;
  write(bag("plain.bag"), rosbag::compression::Uncompressed);
  const ValidationResult plain = check(bag("plain.bag"), c);
  ASSERT_TRUE(plain.success) << plain.error;
  EXPECT_EQ(plain.total_frames, 40);
  EXPECT_GT(plain.anomaly_frames, 0);
  EXPECT_GT(plain.high_nan_frames, 0);
  EXPECT_EQ(plain.invalid_angle_frames, 40);
  for (const auto type : {rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    SCOPED_TRACE(static_cast<int>(type));
    const std::string path = bag("packed" + std::to_string(static_cast<int>(type)) + ".bag");
    write(path, type);
    expect_same_result(check(path, c), plain);
  }
}

// ---- bad input -------------------------------------------------------------------------------

TEST_F(LidarValidatorTest, FilesThatAreNoBagsFail) {
  drone_test::write_file(bag("empty.bag"), "");
  drone_test::write_file(bag("version-only.bag"), "#ROSBAG V2.0\n");
  std::mt19937 rng(99);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(rng() & 0xFF);
  drone_test::write_file(bag("noise.bag"), noise);
  drone_test::write_file(bag("noise-after-version.bag"), "#ROSBAG V2.0\n" + noise);
  for (const std::string& path :
       {bag("absent.bag"), dir_.path(), bag("empty.bag"), bag("version-only.bag"), bag("noise.bag"),
        bag("noise-after-version.bag")}) {
    SCOPED_TRACE(path);
    const ValidationResult r = check(path);
    expect_failure(r, path);
    EXPECT_TRUE(r.anomalies.empty());
  }
}

// A bag cut short is a recording that was not closed: every whole frame record before the cut
// is checked. Only a cut before the end of the file header's own header fails.
TEST_F(LidarValidatorTest, TruncatedBagsAreCheckedUpToTheCut) {
  {
    BagBuilder b(bag("whole.bag"), rosbag::compression::Uncompressed, 2048);
    for (int i = 0; i < 12; ++i) {
      b.frame(ros::Time(30, static_cast<uint32_t>(i) * 100000000u), level_points(40 + i));
    }
  }
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  const size_t size = whole.size();
  ASSERT_TRUE(check(bag("whole.bag")).success);
  const drone_test::BagRecord header = drone_test::record_with_op(whole, drone_test::kOpFileHeader);
  const std::vector<size_t> lengths = drone_test::message_length_fields(whole);
  ASSERT_EQ(lengths.size(), 12u);
  // Every cut from the first byte to the last one (in steps, and the very last byte).
  std::vector<size_t> cuts;
  for (size_t cut = 0; cut < size; cut += 61) cuts.push_back(cut);
  cuts.push_back(size - 1);
  for (const size_t cut : cuts) {
    SCOPED_TRACE(cut);
    drone_test::write_truncated_copy(bag("whole.bag"), bag("cut.bag"), cut);
    const ValidationResult r = check(bag("cut.bag"));
    if (cut < header.data_pos) {
      expect_failure(r, bag("cut.bag"));
      continue;
    }
    ASSERT_TRUE(r.success) << r.error;
    int64_t whole_frames = 0;
    for (const size_t at : lengths) {
      whole_frames += at + 4 + drone_test::get_u32(whole, at) <= cut ? 1 : 0;
    }
    EXPECT_EQ(r.total_frames, whole_frames);
    EXPECT_FALSE(r.read.recording_closed);
  }
}

// Damage in the records that opening reads which would make the bag library read out of bounds
// (a header field running past its header, a time-0 index entry on a connection the bag does not
// define) fails the validation as a bag that cannot be opened, naming the damage.
TEST_F(LidarValidatorTest, IndexDamageTheBagLibraryCannotOpenSafelyFails) {
  {
    BagBuilder b(bag("whole.bag"), rosbag::compression::Uncompressed, 2048);
    for (int i = 0; i < 12; ++i) {
      b.frame(ros::Time(30, static_cast<uint32_t>(i) * 100000000u), level_points(40 + i));
    }
  }
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  for (const drone_test::OpenCrashCase& c : drone_test::open_crash_cases(whole)) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(bag("damaged.bag"), c.bytes);
    Checks checks;
    checks.min_points = 100;  // every frame would be listed as anomalous had it been read
    const ValidationResult r = check(bag("damaged.bag"), checks);
    if (c.reason.rfind("index entry", 0) != 0) {
      // Damage in the index section: the chunks are walked, as in a recording not closed.
      ASSERT_TRUE(r.success) << r.error;
      EXPECT_EQ(r.total_frames, 12);
      EXPECT_EQ(r.anomalies.size(), 12u);
      EXPECT_FALSE(r.read.recording_closed);
      EXPECT_GT(r.read.unreadable_bytes, 0u);
      continue;
    }
    expect_failure(r, bag("damaged.bag"));
    EXPECT_EQ(r.error, kPrefix + c.reason);
    EXPECT_TRUE(r.anomalies.empty());
  }
}

TEST_F(LidarValidatorTest, UndecodableFramesFailAndKeepTheListSoFar) {
  const std::vector<uint8_t> good =
      drone_test::serialize(drone_test::make_livox_frame(1, at(9), level_points(4)));
  // The point count sits just before the 4 points of 19 bytes each.
  const size_t count_at = good.size() - 4 * 19 - 4;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty message", {}});
  cases.push_back({"cut inside the header", {good.begin(), good.begin() + 10}});
  cases.push_back({"cut inside the points", {good.begin(), good.end() - 7}});
  std::vector<uint8_t> huge = good;
  huge[count_at] = huge[count_at + 1] = huge[count_at + 2] = huge[count_at + 3] = 0xFF;
  cases.push_back({"point count of 4294967295", huge});
  std::vector<uint8_t> one_more = good;
  one_more[count_at] = 5;
  cases.push_back({"one point more than carried", one_more});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = bag("broken.bag");
    BagBuilder(path)
        .frame(at(9, 0), level_points(1))  // anomalous: fewer points than the minimum
        .raw(drone_test::livox_raw(c.bytes))
        .frame(at(9, 200000000), level_points(1));
    Checks checks;
    checks.min_points = 2;
    const ValidationResult r = check(path, checks);
    expect_failure(r, path);
    EXPECT_NE(r.error.find("Livox frame 2"), std::string::npos) << r.error;
    ASSERT_EQ(r.anomalies.size(), 1u) << "frames listed before the failure stay listed";
    EXPECT_EQ(r.anomalies[0].frame, 1);
  }
  // The unmodified bytes decode: the cases above fail for their damage alone.
  BagBuilder(bag("sound.bag")).raw(drone_test::livox_raw(good));
  const ValidationResult r = check(bag("sound.bag"));
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.avg_points, 4.0);
}

// A frame record that states more data than its chunk holds is refused before any frame is read,
// however little the overstatement.
TEST_F(LidarValidatorTest, OverstatedRecordLengthFailsTheValidation) {
  BagBuilder(bag("whole.bag"))
      .frame(at(9, 0), level_points(3))
      .frame(at(9, 100000000), level_points(3))
      .frame(at(9, 200000000), level_points(3));
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  const std::vector<size_t> lengths = drone_test::message_length_fields(whole);
  ASSERT_EQ(lengths.size(), 3u);
  const uint32_t stated = drone_test::get_u32(whole, lengths.back());
  for (const uint32_t extra : {1u, 4096u, 0x10000000u}) {
    SCOPED_TRACE(extra);
    drone_test::write_file(bag("damaged.bag"),
                           drone_test::with_last_message_overstated(whole, extra));
    const ValidationResult r = check(bag("damaged.bag"));
    expect_failure(r, bag("damaged.bag"));
    const std::string tail =
        " states " + std::to_string(stated + extra) + " data bytes, past the chunk's end";
    ASSERT_GE(r.error.size(), tail.size());
    EXPECT_EQ(r.error.substr(r.error.size() - tail.size()), tail);
    EXPECT_EQ(r.total_frames, 0);
  }
}

// An index whose chunk-info records leave a chunk out would have the frames of only the listed
// chunks checked and reported as the whole topic; the chunks are walked instead, every frame
// checked.
TEST(LidarValidator, IndexThatLeavesAChunkOutIsReadInFull) {
  drone_test::TempDir dir;
  {
    BagBuilder bag(dir.file("whole.bag"), rosbag::compression::Uncompressed, 256);
    for (uint32_t i = 0; i < 8; ++i) bag.frame(ros::Time(100, i * 100000000), {{1, 2, 3}});
  }
  const ValidationResult whole =
      LidarValidator::validate(dir.file("whole.bag"), "/livox/lidar", 100, 20, 1, -8, 60);
  ASSERT_TRUE(whole.success) << whole.error;
  EXPECT_EQ(whole.total_frames, 8);
  EXPECT_TRUE(whole.read.recording_closed);
  EXPECT_TRUE(whole.read.index_complete);
  drone_test::write_file(dir.file("gap.bag"), drone_test::without_chunk_info(
                                                  drone_test::read_file(dir.file("whole.bag")), 2));
  const ValidationResult r =
      LidarValidator::validate(dir.file("gap.bag"), "/livox/lidar", 100, 20, 1, -8, 60);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 8);
  EXPECT_EQ(r.avg_interval_ms, whole.avg_interval_ms);
  EXPECT_TRUE(r.read.recording_closed);
  EXPECT_FALSE(r.read.index_complete);
}

// Frames come in record-time order whatever the order of the chunks, as the bag library's
// time-ordered view gives them; the progress ends at 1.
TEST(LidarValidator, FramesOfOverlappingChunksAreCheckedInRecordTimeOrder) {
  drone_test::TempDir dir;
  {
    drone_test::BagBuilder b(dir.file("mixed.bag"), rosbag::compression::LZ4, 256);
    // Record times 10, 12, 14, ... then 11, 13, ...: the second half's chunks lie between the
    // first half's; header stamps follow the record time.
    for (uint32_t i = 0; i < 20; ++i) {
      const uint32_t t = i < 10 ? 10 + 2 * i : 11 + 2 * (i - 10);
      b.write(kTopic, ros::Time(t), drone_test::make_livox_frame(i, ros::Time(t, 0), {{1, 2, 3}}),
              "/drone_test");
    }
  }
  std::vector<double> progress;
  const ValidationResult r = LidarValidator::validate(
      dir.file("mixed.bag"), kTopic, 1000, 0, 1, -90, 90, [&](double f) { progress.push_back(f); });
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_frames, 20);
  EXPECT_EQ(r.anomaly_frames, 0) << "every interval is 1 s";
  EXPECT_EQ(r.min_interval_ms, 1000.0);
  EXPECT_EQ(r.max_interval_ms, 1000.0);
  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);
}

}  // namespace
