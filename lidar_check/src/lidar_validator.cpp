#include "lidar_check/lidar_validator.h"

#include <livox_msgs/cdr_frame_reader.h>
#include <livox_msgs/frame_reader.h>
#include <livox_msgs/frame_schema.h>
#include <livox_ros_driver2/CustomMsg.h>
#include <ros/message_traits.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bag_format/bag_reader.h"
#include "elevation_band.h"
#include "ros2_storage/recording.h"

namespace lidar_validate {

namespace {

using Frame = livox_ros_driver2::CustomMsg;

const char kErrorPrefix[] = "Bag validation failed: ";
// A frame with more NaN points than this is a high-NaN frame, whatever its size.
constexpr int32_t kMaxNanPoints = 10;
// How many anomalous frames the result lists; later ones are only counted.
constexpr size_t kMaxListedAnomalies = 20;

// What the pass over the frames has seen so far; stored into the result only once it has
// finished.
struct Tally {
  double previous_time = 0.0;  // stamp of the last Livox frame, seconds; 0: none usable
  int64_t frames = 0;
  int64_t anomaly_frames = 0;
  int64_t low_point_frames = 0;
  int64_t high_nan_frames = 0;
  int64_t invalid_angle_frames = 0;
  double point_sum = 0.0;
  double interval_sum = 0.0;
  int64_t interval_count = 0;
  double min_interval = std::numeric_limits<double>::max();
  double max_interval = 0.0;
};

// The figures of one frame that the checks need, kept for every frame: the reader hands the
// frames over in file order, which in a recording whose chunks overlap in time is not the time
// order the interval check goes by.
struct FrameFigures {
  // ROS 1: seconds in the high, nanoseconds in the low 32 bits; ROS 2: the log time, ns
  uint64_t record_time;
  double stamp;  // header stamp, seconds
  int32_t points;
  int32_t nan_points;
  int32_t invalid_points;
};

// Checks the frames handed over so far, in record-time order (equal times in file order, the
// bag library's time-ordered view), and lists the first anomalies into `anomalies` as found.
Tally check_in_time_order(std::vector<FrameFigures>& figures, double interval, double tolerance,
                          int min_points, std::vector<FrameAnomaly>& anomalies) {
  const auto earlier = [](const FrameFigures& a, const FrameFigures& b) {
    return a.record_time < b.record_time;
  };
  if (!std::is_sorted(figures.begin(), figures.end(), earlier)) {
    std::stable_sort(figures.begin(), figures.end(), earlier);
  }
  Tally tally;
  for (const FrameFigures& f : figures) {
    const int64_t ordinal = ++tally.frames;
    const double time = f.stamp;
    const int32_t points = f.points;
    tally.point_sum += points;
    if (points < min_points) ++tally.low_point_frames;
    if (f.nan_points > kMaxNanPoints) ++tally.high_nan_frames;
    if (f.invalid_points > 0) ++tally.invalid_angle_frames;

    // A stamp of 0 (an unset sensor clock) gives the next frame nothing to measure against.
    double interval_ms = 0.0;
    bool interval_anomaly = false;
    if (tally.previous_time > 0.0) {
      interval_ms = 1000.0 * (time - tally.previous_time);
      tally.interval_sum += interval_ms;
      ++tally.interval_count;
      if (interval_ms < tally.min_interval) tally.min_interval = interval_ms;
      if (interval_ms > tally.max_interval) tally.max_interval = interval_ms;
      if (std::fabs(interval_ms - interval) > tolerance) {
        ++tally.anomaly_frames;
        interval_anomaly = true;
      }
    }

    const bool anomalous = interval_anomaly || points < min_points ||
                           f.nan_points > kMaxNanPoints || f.invalid_points > 0;
    if (anomalous && anomalies.size() < kMaxListedAnomalies) {
      anomalies.push_back(FrameAnomaly{ordinal, time, points, f.nan_points, f.invalid_points,
                                       interval_ms, interval_anomaly});
    }
    tally.previous_time = time;
  }
  return tally;
}

// The figures of every Livox frame on `topic` of the ROS 1 bag at `bag_path`, in file order.
bag_format::ReadOutcome read_bag(const std::string& bag_path, const std::string& topic,
                                 const ElevationBand& band, std::vector<FrameFigures>& figures,
                                 const std::function<void(double)>& on_progress) {
  // One pass: every record is checked as it is read, each chunk that holds a Livox connection
  // of the topic is decompressed once, the frames come in file order.
  bag_format::BagReader reader(bag_path);
  const std::string frame_md5 = ros::message_traits::MD5Sum<Frame>::value();

  // The one frame in memory, read from its stored bytes; the reader checks the declared point
  // count against the bytes before it reads any point.
  livox_msgs::FrameReader frame;
  std::vector<uint8_t> whole_frame;  // a frame that the reader hands over in pieces
  // Connections of the topic whose recorded type (its MD5 sum) is the Livox frame; other
  // types on the topic are not frames.
  const auto wanted = [&](const bag_format::ReaderConnection& c) {
    return c.topic == topic && c.md5sum == frame_md5;
  };
  const auto on_frame = [&](const bag_format::ReaderMessage& message) {
    frame.assign(message.whole(whole_frame), message.size);
    try {
      frame.parse();
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("Livox frame " + std::to_string(figures.size() + 1) +
                               " cannot be read: " + e.what());
    }
    FrameFigures f{(uint64_t{message.sec} << 32) | message.nsec, frame.header().stamp.toSec(),
                   static_cast<int32_t>(frame.size()), 0, 0};
    band.count(frame, frame.size(), f.nan_points, f.invalid_points);
    figures.push_back(f);
  };
  return reader.read(wanted, on_frame, on_progress);
}

// The figures of every Livox frame on `topic` of the ROS 2 recording at `path`, file after file
// and in each by log time. A channel of the topic is a Livox frame channel by the layout its
// definition states (livox_msgs::is_livox_frame_type); other types on the topic are skipped, a
// frame channel in another encoding than CDR is refused.
bag_format::ReadOutcome read_recording(const std::string& path, const std::string& topic,
                                       const ElevationBand& band,
                                       std::vector<FrameFigures>& figures,
                                       const std::function<void(double)>& on_progress) {
  const std::unique_ptr<ros2_storage::Recording> recording = ros2_storage::open_recording(path);
  const auto is_frame = [&](const ros2_storage::Channel& c) {
    return c.topic == topic && livox_msgs::is_livox_frame_type(c.type, c.schema_encoding, c.schema);
  };
  for (const ros2_storage::Channel& c : recording->channels()) {
    if (is_frame(c) && c.encoding != "cdr") {
      throw std::runtime_error("the Livox frames of topic " + topic + " are stored as \"" +
                               c.encoding + "\", which is not read; only cdr is");
    }
  }
  livox_msgs::CdrFrameReader frame;
  const auto on_frame = [&](const ros2_storage::Message& message) {
    try {
      frame.parse(message.data, static_cast<size_t>(message.size));
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("Livox frame " + std::to_string(figures.size() + 1) +
                               " cannot be read: " + e.what());
    }
    FrameFigures f{message.log_time, frame.header().seconds(), static_cast<int32_t>(frame.size()),
                   0, 0};
    band.count(frame, frame.size(), f.nan_points, f.invalid_points);
    figures.push_back(f);
  };
  return recording->read(is_frame, on_frame, on_progress);
}

}  // namespace

ValidationResult LidarValidator::validate(const std::string& bag_path, const std::string& topic,
                                          double interval, double tolerance, int min_points,
                                          double min_elevation, double max_elevation,
                                          const std::function<void(double)>& on_progress) {
  ValidationResult result;
  result.bag_file = bag_path;
  result.topic = topic;
  try {
    // A few figures of each frame are kept as the frames come and taken in record-time order
    // afterwards.
    const ElevationBand band(min_elevation, max_elevation);
    std::vector<FrameFigures> figures;
    const auto check_frames = [&] {
      return check_in_time_order(figures, interval, tolerance, min_points, result.anomalies);
    };
    // ROS 2 recordings, recognised by content, go through their storage's reader; everything
    // else is read as a ROS 1 bag, and refused as one when it is none.
    const ros2_storage::InputKind kind = ros2_storage::detect_input(bag_path);
    const bool ros2 = kind == ros2_storage::InputKind::mcap_file ||
                      kind == ros2_storage::InputKind::sqlite_file ||
                      kind == ros2_storage::InputKind::rosbag2_folder;
    bag_format::ReadOutcome read;
    try {
      read = ros2 ? read_recording(bag_path, topic, band, figures, on_progress)
                  : read_bag(bag_path, topic, band, figures, on_progress);
    } catch (const std::exception&) {
      check_frames();  // the frames before the failure stay listed
      throw;
    }
    result.read = read;
    const Tally tally = check_frames();

    result.total_frames = tally.frames;
    result.anomaly_frames = tally.anomaly_frames;
    result.low_point_frames = tally.low_point_frames;
    result.high_nan_frames = tally.high_nan_frames;
    result.invalid_angle_frames = tally.invalid_angle_frames;
    if (tally.frames > 0) result.avg_points = tally.point_sum / static_cast<double>(tally.frames);
    if (tally.interval_count > 0) {
      result.avg_interval_ms = tally.interval_sum / static_cast<double>(tally.interval_count);
      result.min_interval_ms = tally.min_interval;
      result.max_interval_ms = tally.max_interval;
    }
    result.success = true;
  } catch (const std::exception& e) {
    result.error = kErrorPrefix + std::string(e.what());
  }
  return result;
}

}  // namespace lidar_validate
