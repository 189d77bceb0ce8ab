// Writes the sample data set of the demo into one directory: a Livox flight recording with a
// few deliberate faults, two missions, the cloud of a closed void of known volume and a
// project directory with scan keyframes. Deterministic: every random draw comes from fixed seeds.
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <string>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Flight recording: 10 s at 10 Hz, frames of kPointsPerFrame points seen from the middle of a
// straight tunnel (radius 3 m, along x, closed 40 m away on either side).
constexpr int kFrames = 100;
constexpr int kPointsPerFrame = 4000;
constexpr int kDroppedFrame = 37;    // never recorded: one interval of 200 ms
constexpr int kNanFrame = 52;        // 15 points with NaN coordinates
constexpr int kHighAngleFrame = 71;  // 6 points at 75 degrees, above the 60-degree band
constexpr uint32_t kStartSec = 1700000000;

// The void: an ellipsoid with semi-axes a, b, c metres, sampled on its surface.
constexpr double kVoidA = 6.0;
constexpr double kVoidB = 4.0;
constexpr double kVoidC = 3.0;
constexpr int kVoidPoints = 30000;

ros::Time frame_time(int i) { return ros::Time(kStartSec) + ros::Duration(0.1 * i); }

// Distance from the tunnel's axis point to its wall along a unit direction.
double tunnel_range(double dx, double dy, double dz) {
  const double radial = std::sqrt(dy * dy + dz * dz);
  const double to_wall = radial > 1e-9 ? 3.0 / radial : std::numeric_limits<double>::infinity();
  const double to_end = std::abs(dx) > 1e-9 ? 40.0 / std::abs(dx) : to_wall;
  return std::min(to_wall, to_end);
}

livox_ros_driver2::CustomMsg lidar_frame(int i, std::mt19937& rng) {
  std::uniform_real_distribution<double> azimuth(0.0, 2.0 * kPi);
  std::uniform_real_distribution<double> elevation(-7.0 * kPi / 180.0, 52.0 * kPi / 180.0);
  std::normal_distribution<double> noise(0.0, 0.01);
  livox_ros_driver2::CustomMsg msg;
  msg.header.seq = static_cast<uint32_t>(i);
  msg.header.stamp = frame_time(i);
  msg.header.frame_id = "livox_frame";
  msg.timebase = msg.header.stamp.toNSec();
  msg.lidar_id = 192;
  msg.points.resize(kPointsPerFrame);
  for (int k = 0; k < kPointsPerFrame; ++k) {
    double el = elevation(rng);
    if (i == kHighAngleFrame && k < 6) el = 75.0 * kPi / 180.0;
    const double az = azimuth(rng);
    const double dx = std::cos(el) * std::cos(az);
    const double dy = std::cos(el) * std::sin(az);
    const double dz = std::sin(el);
    const double r = tunnel_range(dx, dy, dz) + noise(rng);
    auto& p = msg.points[k];
    p.offset_time = static_cast<uint32_t>(k * 25000);  // 100 ms spread over the frame
    p.x = static_cast<float>(r * dx);
    p.y = static_cast<float>(r * dy);
    p.z = static_cast<float>(r * dz);
    if (i == kNanFrame && k < 15) p.x = p.y = p.z = std::numeric_limits<float>::quiet_NaN();
    p.reflectivity = static_cast<uint8_t>(20 + (k * 7) % 200);
    p.tag = 0x10;
    p.line = static_cast<uint8_t>(k % 4);
  }
  msg.point_num = static_cast<uint32_t>(msg.points.size());
  return msg;
}

void write_flight_bag(const std::string& path) {
  std::mt19937 rng(20261207);
  std::normal_distribution<double> jitter(0.0, 0.002);
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(rosbag::compression::Uncompressed);
  for (int i = 0; i < kFrames; ++i) {
    // The IMU runs at 100 Hz: ten samples per lidar frame period.
    for (int j = 0; j < 10; ++j) {
      sensor_msgs::Imu imu;
      imu.header.seq = static_cast<uint32_t>(i * 10 + j);
      imu.header.stamp = frame_time(i) + ros::Duration(0.01 * j);
      imu.header.frame_id = "imu_link";
      imu.orientation.w = 1.0;
      imu.angular_velocity.z = 0.01 + jitter(rng);
      imu.linear_acceleration.x = jitter(rng);
      imu.linear_acceleration.z = 9.81 + jitter(rng);
      bag.write("/livox/imu", imu.header.stamp, imu);
    }
    const livox_ros_driver2::CustomMsg frame = lidar_frame(i, rng);
    if (i != kDroppedFrame) bag.write("/livox/lidar", frame.header.stamp, frame);
  }
  bag.close();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// A survey along the tunnel: take-off check, photos, lidar recording, one Jump back to itself
// (a warning, not an error), landing.
const char* kMissionWithWarning = R"json({
  "name": "tunnel survey",
  "tasks": [
    {"id": 1, "x": 0.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 15, "light": 0, "p1": 0, "p2": 0},
    {"id": 2, "x": 5.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 13, "light": 80, "p1": 0, "p2": 0},
    {"id": 3, "x": 10.0, "y": 0.2, "z": 1.6, "yaw": 0.0, "action": 2, "light": 80, "p1": 0, "p2": 0},
    {"id": 4, "x": 15.0, "y": 0.0, "z": 1.5, "yaw": 1.57, "action": 20, "light": 80, "p1": 1.57, "p2": 0},
    {"id": 5, "x": 20.0, "y": 0.0, "z": 1.5, "yaw": 1.57, "action": 18, "light": 80, "p1": 4, "p2": 1},
    {"id": 6, "x": 20.0, "y": 0.0, "z": 1.5, "yaw": 3.14, "action": 14, "light": 50, "p1": 0, "p2": 0},
    {"id": 7, "x": 0.0, "y": 0.0, "z": 1.5, "yaw": 3.14, "action": 8, "light": 0, "p1": 0, "p2": 0}
  ]
}
)json";

// The same survey edited by hand and broken: a light level of 120, the take-off check moved,
// a Detour beyond the last waypoint, a grabber setting out of range and a missing yaw.
const char* kMissionWithErrors = R"json({
  "name": "tunnel survey (edited)",
  "tasks": [
    {"id": 1, "x": 0.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 13, "light": 120, "p1": 0, "p2": 0},
    {"id": 2, "x": 5.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 15, "light": 80, "p1": 0, "p2": 0},
    {"id": 3, "x": 10.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 17, "light": 80, "p1": 9, "p2": 0},
    {"id": 4, "x": 15.0, "y": 0.0, "z": 1.5, "action": 19, "light": 80, "p1": 300, "p2": 0},
    {"id": 5, "x": 0.0, "y": 0.0, "z": 1.5, "yaw": 0.0, "action": 8, "light": 0, "p1": 0, "p2": 0}
  ]
}
)json";

void write_void_cloud(const std::string& path) {
  std::mt19937 rng(42);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.01);
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.reserve(kVoidPoints);
  while (static_cast<int>(cloud.size()) < kVoidPoints) {
    // A uniform direction on the unit sphere, stretched onto the ellipsoid.
    const double u = gauss(rng), v = gauss(rng), w = gauss(rng);
    const double n = std::sqrt(u * u + v * v + w * w);
    if (n < 1e-9) continue;
    cloud.push_back(pcl::PointXYZ(static_cast<float>(kVoidA * u / n + noise(rng)),
                                  static_cast<float>(kVoidB * v / n + noise(rng)),
                                  static_cast<float>(kVoidC * w / n + noise(rng))));
  }
  if (pcl::io::savePCDFileBinary(path, cloud) != 0)
    throw std::runtime_error("cannot write " + path);
  const double volume = 4.0 / 3.0 * kPi * kVoidA * kVoidB * kVoidC;
  char text[64];
  std::snprintf(text, sizeof text, "%.6f\n", volume);
  write_text(path + ".volume", text);
}

// Keyframes of a mapping run along the tunnel: 12 stretches of wall, 1.pcd to 12.pcd, so that
// natural order (2 before 10) matters.
void write_keyframes(const std::string& dir) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> along(0.0, 2.0);
  std::uniform_real_distribution<double> around(0.0, 2.0 * kPi);
  for (int k = 1; k <= 12; ++k) {
    pcl::PointCloud<pcl::PointXYZI> cloud;
    for (int i = 0; i < 1500; ++i) {
      const double a = around(rng);
      pcl::PointXYZI p;
      p.x = static_cast<float>(2.0 * (k - 1) + along(rng));
      p.y = static_cast<float>(3.0 * std::cos(a));
      p.z = static_cast<float>(3.0 * std::sin(a));
      p.intensity = static_cast<float>(k);
      cloud.push_back(p);
    }
    const std::string path = dir + "/" + std::to_string(k) + ".pcd";
    if (pcl::io::savePCDFileBinary(path, cloud) != 0)
      throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help") {
    std::cout << "Usage: drone_samples DIR\n"
                 "Writes the demo's sample set into DIR (created when missing):\n"
                 "  flight.bag            Livox frames on /livox/lidar (10 Hz, one dropped,\n"
                 "                        one with NaN points, one above the elevation band)\n"
                 "                        and IMU samples on /livox/imu\n"
                 "  mission_ok.json       a mission that passes with one warning\n"
                 "  mission_bad.json      a mission with errors\n"
                 "  void.pcd              surface of an ellipsoidal void (6 x 4 x 3 m semi-axes);\n"
                 "                        void.pcd.volume holds its true volume in cubic metres\n"
                 "  site/scan/N.pcd       twelve keyframes of a mapping run\n";
    return argc == 2 ? 0 : 2;
  }
  try {
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir + "/site/scan");
    write_flight_bag(dir + "/flight.bag");
    write_text(dir + "/mission_ok.json", kMissionWithWarning);
    write_text(dir + "/mission_bad.json", kMissionWithErrors);
    write_void_cloud(dir + "/void.pcd");
    write_keyframes(dir + "/site/scan");
  } catch (const std::exception& e) {
    std::cerr << "drone_samples: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
