#include "ros2_conversion.h"

#include <livox_msgs/cdr_frame_reader.h>
#include <livox_msgs/frame_schema.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "cloud_cdr.h"
#include "ros2_storage/recording_writer.h"

namespace livox_to_pc2 {

namespace {

// Every converted cloud is published in the lidar's mounting frame, as in ROS 1 bags.
constexpr char kCloudFrameId[] = "lidar0::lidar_link";

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The storage an output path's ending names, in words; empty when it names none.
std::string storage_named_by(const std::string& path) {
  if (ends_with(path, ".mcap")) return "an MCAP file";
  if (ends_with(path, ".db3")) return "a SQLite file";
  if (ends_with(path, ".bag")) return "a ROS 1 bag";
  return "";
}

// Refuses an output whose name asks for another storage than the input's: the converter
// writes the storage it reads.
void check_same_storage(ros2_storage::InputKind kind, const std::string& input,
                        const std::string& output) {
  const std::string named = storage_named_by(output);
  std::string kept;
  if (kind == ros2_storage::InputKind::mcap_file && !named.empty() && named != "an MCAP file") {
    kept = "an MCAP file";
  } else if (kind == ros2_storage::InputKind::sqlite_file && !named.empty() &&
             named != "a SQLite file") {
    kept = "a SQLite file";
  } else if (kind == ros2_storage::InputKind::rosbag2_folder && !named.empty()) {
    kept = "a rosbag2 folder";
  }
  if (kept.empty()) return;
  throw std::runtime_error("output " + output + " names " + named + ", but input " + input +
                           " is " + kept +
                           "; the output is written in the input's storage, conversion between "
                           "storages is not supported");
}

// The cloud channel of `source`'s frames: its QoS text and metadata, without the type hashes
// that describe the frame type.
ros2_storage::Channel cloud_channel(const ros2_storage::Channel& source, const std::string& topic) {
  ros2_storage::Channel cloud;
  cloud.topic = topic;
  cloud.type = kPointCloud2Type;
  cloud.encoding = "cdr";
  cloud.schema_encoding = "ros2msg";
  cloud.schema = pointcloud2_definition();
  cloud.qos = source.qos;
  for (const auto& entry : source.metadata) {
    if (entry.first.find("hash") == std::string::npos) cloud.metadata.push_back(entry);
  }
  return cloud;
}

std::string describe(const std::string& topic, uint64_t log_time) {
  return "Livox frame on " + topic + " recorded at " + std::to_string(log_time / 1000000000) + "." +
         std::to_string(1000000000 + log_time % 1000000000).substr(1);
}

}  // namespace

void convert_recording(ros2_storage::InputKind kind, const PointLayout& layout,
                       const std::function<void(double)>& on_progress, ConversionResult& result) {
  check_same_storage(kind, result.input_bag, result.output_bag);
  const std::unique_ptr<ros2_storage::Recording> input =
      ros2_storage::open_recording(result.input_bag);
  const std::vector<ros2_storage::Channel>& channels = input->channels();
  const ros2_storage::StoredInfo& stored = input->stored();

  ros2_storage::WriterOptions options;
  options.storage = input->storage();
  options.folder = kind == ros2_storage::InputKind::rosbag2_folder;
  options.source_metadata = stored.metadata_yaml;
  options.ros_distro = stored.ros_distro;
  options.sqlite_layout = stored.schema_version == 0 && stored.ros_distro.empty()
                              ? ros2_storage::SqliteLayout::topics_and_messages
                              : ros2_storage::SqliteLayout::with_definitions;
  // Metadata records are copied, but for rosbag2's own, which the writer writes anew to
  // describe the output.
  for (const ros2_storage::MetadataRecord& record : stored.metadata) {
    if (record.name != "rosbag2") options.metadata.push_back(record);
  }
  const std::unique_ptr<ros2_storage::RecordingWriter> output =
      ros2_storage::create_writer(result.output_bag, options);

  std::vector<uint32_t> copied_to;
  std::vector<bool> frames;  // by input channel: its messages on the source topic are frames
  for (const ros2_storage::Channel& channel : channels) {
    copied_to.push_back(output->add_channel(channel));
    frames.push_back(
        channel.topic == result.source_topic &&
        livox_msgs::is_livox_frame_type(channel.type, channel.schema_encoding, channel.schema));
  }
  std::optional<uint32_t> clouds;
  livox_msgs::CdrFrameReader frame;
  CdrCloudWriter cloud(layout, kCloudFrameId);

  const auto on_message = [&](const ros2_storage::Message& message) {
    ++result.total_messages;
    const auto index = static_cast<size_t>(message.channel - channels.data());
    if (!frames[index]) {
      output->write(copied_to[index], message.log_time, message.publish_time, message.sequence,
                    message.data, message.size);
      ++result.copied_messages;
      return;
    }
    // Read where the message lies, valid for this call; no copy of a little-endian frame.
    uint8_t* points = nullptr;
    try {
      frame.parse(message.data, message.size);
      points = cloud.begin(frame.header().sec, frame.header().nanosec, frame.size());
    } catch (const std::exception& e) {
      throw std::runtime_error(describe(message.channel->topic, message.log_time) +
                               " cannot be decoded: " + e.what());
    }
    layout.write_points(frame, points);
    if (!clouds) clouds = output->add_channel(cloud_channel(*message.channel, result.target_topic));
    output->write(*clouds, message.log_time, message.publish_time, message.sequence,
                  cloud.bytes().data(), cloud.bytes().size());
    result.total_points += frame.size();
    ++result.converted_messages;
  };
  result.read =
      input->read([](const ros2_storage::Channel&) { return true; }, on_message, on_progress);
  output->close();
}

}  // namespace livox_to_pc2
