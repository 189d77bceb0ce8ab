#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bag_format/read_outcome.h"

namespace lidar_validate {

// One anomalous Livox frame, as listed in a validation result.
struct FrameAnomaly {
  int64_t frame = 0;              // 1-based ordinal among the Livox frames read on the topic
  double time = 0.0;              // header stamp in seconds (seconds + nanoseconds * 1e-9)
  int32_t points = 0;             // length of the frame's points array
  int32_t nan = 0;                // points with a NaN x, y or z
  int32_t invalid_angle = 0;      // non-NaN points whose elevation lies outside the band
  double interval_ms = 0.0;       // milliseconds since the previous frame; 0 when none measured
  bool interval_anomaly = false;  // true when the interval was measured and out of tolerance
};

// What one pass over a topic found. On failure every counter, average and extreme is 0, while
// bag_file, topic and the anomalies listed before the failure are kept.
struct ValidationResult {
  std::string bag_file;          // the bag path as given
  std::string topic;             // the topic as given
  int64_t total_frames = 0;      // Livox frames read on the topic; 0 for an empty topic
  int64_t anomaly_frames = 0;    // frames whose interval to the previous one is out of tolerance
  int64_t low_point_frames = 0;  // frames with fewer points than min_points
  int64_t high_nan_frames = 0;   // frames with more than 10 NaN points
  int64_t invalid_angle_frames = 0;     // frames with at least one point outside the elevation band
  double avg_points = 0.0;              // mean points per frame; 0 when no frame was read
  double avg_interval_ms = 0.0;         // mean measured interval, ms; 0 when none was measured
  double min_interval_ms = 0.0;         // smallest measured interval, ms (may be negative); 0: none
  double max_interval_ms = 0.0;         // largest measured interval, ms; never below 0
  std::vector<FrameAnomaly> anomalies;  // the first 20 anomalous frames in bag order; empty: none
  // How the recording was read: through its index, or from its chunks.
  bag_format::ReadOutcome read;
  bool success = false;  // true only when the whole topic was read
  std::string error;     // empty on success; else "Bag validation failed: " + the cause
};

// Checks the Livox frames (livox_ros_driver2/CustomMsg) of one topic of a ROS 1 bag or a ROS 2
// recording. Holds no state.
class LidarValidator {
 public:
  // Reads every frame on `topic` of the bag at `bag_path`, one frame in memory at a time (and 32
  // bytes of figures per frame), and
  // checks it: fewer than `min_points` points, more than 10 NaN points, any point whose
  // elevation in degrees lies outside [min_elevation, max_elevation], and an interval to the
  // previous frame (by header stamp), in milliseconds, that differs from `interval` by more
  // than `tolerance` milliseconds. Frames are taken in record-time order. Messages of other
  // types on the topic are skipped; a topic missing from the bag gives a successful result with
  // no frames. A recording that was not closed, or whose index leaves chunks out, is read by
  // walking its chunks (bag_format::BagReader). Never throws an exception of the standard
  // hierarchy: I/O and format errors and frames that cannot be read end the pass with success
  // false. Never prints or reports; on_progress, when given, gets the share of the bag read.
  //
  // A ROS 2 recording (an MCAP file, a rosbag2 SQLite file or a rosbag2 folder, recognised by
  // content: ros2_storage::detect_input) is read through ros2_storage::open_recording, with the
  // same checks and result: its frames are the messages of the topic's channels whose stored
  // definition has the Livox frame's layout (livox_msgs::is_livox_frame_type), decoded from CDR
  // (livox_msgs::CdrFrameReader); the stamp is the frame header's (sec + nanosec * 1e-9), the
  // order that of the log time. A frame channel in another encoding than CDR, a frame in
  // another encapsulation (XCDR2) or cut short, and every fault of the files end the pass with
  // success false.
  static ValidationResult validate(const std::string& bag_path, const std::string& topic,
                                   double interval, double tolerance, int min_points,
                                   double min_elevation, double max_elevation,
                                   const std::function<void(double)>& on_progress = {});
};

}  // namespace lidar_validate
