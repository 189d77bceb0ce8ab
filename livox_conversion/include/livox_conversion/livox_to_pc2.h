#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "livox_conversion/point_layout.h"

#include "bag_format/read_outcome.h"

namespace livox_to_pc2 {

// What one conversion did. Returned by value; the caller owns it.
struct ConversionResult {
  // True only when the whole input bag was read and both bags were closed.
  bool success = false;
  // Empty on success; otherwise "Bag conversion failed: " followed by the reason.
  std::string error;
  // The input bag path exactly as passed in.
  std::string input_bag;
  // The output bag path exactly as passed in.
  std::string output_bag;
  // The topic whose Livox frames are converted, as passed in.
  std::string source_topic;
  // The topic that receives the converted clouds, as passed in.
  std::string target_topic;
  // Messages read from the input bag, all topics; 0 when the bag could not be read.
  int64_t total_messages = 0;
  // Livox frames written as PointCloud2 clouds.
  int64_t converted_messages = 0;
  // Messages written unchanged with their own connection.
  int64_t copied_messages = 0;
  // Points in all converted clouds; an empty frame adds 0.
  int64_t total_points = 0;
  // How the input was read: through its index, or from its chunks (a recording that was not
  // closed, an index that leaves chunks out), whose messages the output then holds in a
  // complete, indexed bag.
  bag_format::ReadOutcome read;
};

// Rewrites a ROS 1 bag, turning Livox lidar frames into standard point clouds.
class LivoxToPc2Converter {
 public:
  // Reads every message of `input_bag` in record-time order, in one pass over its chunks, and
  // writes `output_bag` (replacing any file there once complete) chunk by chunk, as the bag
  // library writes a bag: uncompressed chunks of 768 KiB, each with its index, then the
  // connection and chunk-info records:
  // - a message on `source_topic` whose connection carries the MD5 sum of
  //   livox_ros_driver2/CustomMsg becomes a sensor_msgs/PointCloud2 on `target_topic` (fields
  //   x, y, z, intensity as float32, 16 bytes per point, frame "lidar0::lidar_link", header seq
  //   and stamp of the frame), all clouds on one connection of that topic;
  // - every other message is copied byte for byte onto its own topic under its own source
  //   connection (type, MD5 sum, definition, latching and caller id kept), without being decoded.
  // Every message keeps its record time. Topics are compared byte for byte. A recording that
  // was not closed, or whose index leaves chunks out, is read from its chunks and written as a
  // complete bag (see recording_closed, index_complete and unreadable_bytes).
  //
  // Never writes over the input: when `output_bag` names the same file as `input_bag` (however
  // spelt: relative, through a symbolic or hard link) the call fails before anything is opened
  // for writing. Streams one message at a time; memory does not grow with the bag.
  //
  // Never throws a std::exception: every failure (missing or damaged input, an output that
  // cannot be created, a Livox frame that cannot be decoded) ends in success false with the
  // reason in `error` and the counters reached so far. The output is written under a temporary
  // name beside `output_bag` and renamed over it only when complete, so a failure leaves an
  // earlier file there as it was and no partial bag; a symbolic link at `output_bag` is replaced,
  // never written through, and an `output_bag` that exists and is not a regular file (a device,
  // a FIFO, a directory) is refused.
  //
  // `on_progress`, when given, is called as the input is read with the share of it done so far
  // (0 to 1), from the calling thread.
  static ConversionResult convert(const std::string& input_bag, const std::string& output_bag,
                                  const std::string& source_topic, const std::string& target_topic,
                                  const std::function<void(double)>& on_progress = {});

  // The same conversion with the point fields of `layout` in each cloud, in its order, packed
  // without padding: point_step is the layout's, row_step point_step x N. The default layout
  // (x, y, z, intensity) gives exactly the output above. A frame whose cloud would not fit in
  // a bag message (over 4 GiB) fails the conversion.
  static ConversionResult convert(const std::string& input_bag, const std::string& output_bag,
                                  const std::string& source_topic, const std::string& target_topic,
                                  const PointLayout& layout,
                                  const std::function<void(double)>& on_progress = {});
};

}  // namespace livox_to_pc2
