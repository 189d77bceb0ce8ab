#pragma once

// The conversion of a ROS 2 recording (an MCAP file, a rosbag2 SQLite file or a rosbag2
// folder) into one of the same storage, for LivoxToPc2Converter.

#include <functional>
#include <string>

#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"
#include "ros2_storage/recording.h"

namespace livox_to_pc2 {

// Reads every message of the recording at `result.input_bag` (of kind `kind`) and writes
// `result.output_bag` in the same storage and shape: a Livox frame on `result.source_topic`
// (judged by its channel's definition) becomes a sensor_msgs/msg/PointCloud2 in CDR on
// `result.target_topic`, packed by `layout`; every other message is copied byte for byte on its
// own channel, with its schema, QoS text and metadata. Every message keeps its log time,
// publish time and sequence. Counters go into `result` as the pass goes. Throws
// std::runtime_error on any failure, the output then left as it was: an output path that
// names another storage (".mcap", ".db3", ".bag", or a file for a folder), damage in the
// input, an output that cannot be written.
void convert_recording(ros2_storage::InputKind kind, const PointLayout& layout,
                       const std::function<void(double)>& on_progress, ConversionResult& result);

}  // namespace livox_to_pc2
