#include "livox_conversion/livox_to_pc2.h"

#include <sys/stat.h>

#include <livox_msgs/frame_reader.h>
#include <livox_ros_driver2/CustomMsg.h>
#include <ros/time.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/PointField.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag_format/bag_reader.h"
#include "bag_format/bag_writer.h"
#include "ros2_conversion.h"
#include "ros2_storage/recording.h"

namespace livox_to_pc2 {

namespace {

constexpr char kErrorPrefix[] = "Bag conversion failed: ";
// Every converted cloud is published in the lidar's mounting frame, whatever the driver wrote.
constexpr char kCloudFrameId[] = "lidar0::lidar_link";

// True when the two paths lead to one file. An existing pair is compared by device and inode,
// which sees through relative spellings, symbolic links and hard links; otherwise the
// canonical forms are compared.
bool is_same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  std::error_code ec_a;
  std::error_code ec_b;
  const std::filesystem::path ca = std::filesystem::weakly_canonical(a, ec_a);
  const std::filesystem::path cb = std::filesystem::weakly_canonical(b, ec_b);
  return !ec_a && !ec_b && !ca.empty() && ca == cb;
}

sensor_msgs::PointField point_field(const LayoutField& layout_field) {
  sensor_msgs::PointField field;
  field.name = layout_field.name;
  field.offset = layout_field.offset;
  field.datatype = layout_field.datatype;
  field.count = 1;
  return field;
}

// Turns serialised Livox frames into serialised clouds. The frame is read straight from its
// stored bytes by the shared frame reader, which checks the declared point count against them
// before anything is read, so a damaged frame is refused instead of asking for gigabytes. The
// cloud's fields before its data (header, size, layout) are serialised by the message library
// from a cloud without data; the points are then written straight into the serialised message,
// whose buffer, like the frame's, grows to the largest frame seen and is reused. The point
// records are packed by the layout.
class FrameConverter {
 public:
  explicit FrameConverter(const PointLayout& layout) : layout_(layout) {
    cloud_.header.frame_id = kCloudFrameId;
    cloud_.height = 1;
    for (const LayoutField& field : layout_.fields()) cloud_.fields.push_back(point_field(field));
    cloud_.is_bigendian = false;
    cloud_.point_step = layout_.point_step();
    cloud_.is_dense = true;
  }

  // Takes a copy of the stored bytes of one frame.
  void assign(const uint8_t* data, size_t size) { frame_.assign(data, size); }

  // The serialised cloud of the frame last loaded; valid until the next call. Throws when the
  // bytes do not hold a whole frame.
  const std::vector<uint8_t>& convert() {
    frame_.parse();
    const uint32_t count = frame_.size();
    cloud_.header.seq = frame_.header().seq;
    cloud_.header.stamp = frame_.header().stamp;
    cloud_.width = count;
    // Serialised without data, the cloud ends with the data's length word (0) and is_dense.
    const uint32_t head = ros::serialization::serializationLength(cloud_) - 1;
    const uint64_t row_bytes = static_cast<uint64_t>(layout_.point_step()) * count;
    if (row_bytes > std::numeric_limits<uint32_t>::max() - head - 1) {
      throw std::runtime_error("its " + std::to_string(count) + " points of " +
                               std::to_string(layout_.point_step()) +
                               " bytes make a cloud larger than a bag message can hold");
    }
    cloud_.row_step = static_cast<uint32_t>(row_bytes);
    const size_t data_size = static_cast<size_t>(cloud_.row_step) * cloud_.height;
    bytes_.resize(head + data_size + 1);
    ros::serialization::OStream out(bytes_.data(), head + 1);
    ros::serialization::serialize(out, cloud_);
    const uint32_t stated = static_cast<uint32_t>(data_size);
    std::memcpy(bytes_.data() + head - 4, &stated, sizeof stated);
    bytes_.back() = cloud_.is_dense ? 1 : 0;
    layout_.write_points(frame_, bytes_.data() + head);
    return bytes_;
  }

  // Points of the frame last converted.
  uint32_t points() const { return frame_.size(); }

 private:
  PointLayout layout_;
  livox_msgs::FrameReader frame_;
  sensor_msgs::PointCloud2 cloud_;  // every field but the data
  std::vector<uint8_t> bytes_;      // the serialised cloud
};

// The connection header a copied message is written under, so that it keeps its own connection
// in the output (type, MD5 sum, definition, latching, caller id) rather than sharing one with
// whatever else lands on its topic: the source connection's fields in name order, a later field
// of a name replacing an earlier one, as the bag library reads and writes them. Bags always
// record the type fields; should a connection lack one, it is stored empty.
ros::M_string header_of(const bag_format::ReaderConnection& connection) {
  ros::M_string header;
  for (const auto& [name, value] : connection.fields) header[name] = value;
  header.emplace("type", connection.datatype);
  header.emplace("md5sum", connection.md5sum);
  header.emplace("message_definition", "");
  return header;
}

// The connections of the output bag, numbered as the bag library numbers them: in the order of
// their first message. Copied messages keep the connection header of their source connection;
// source connections whose headers agree in every field on one topic share one connection (the bag
// library files messages by header and topic), and the clouds share one connection of the target
// topic, whose header holds the type fields alone. A shared connection's messages go on in time:
// a source connection whose message would step back in time on it (recordings merged one after
// the other) goes on in a connection of its own with the same header. Readers that merge the
// connections by time (Python's rosbag takes each connection's index as written) then read the
// output in time order wherever they read the input so.
class OutputConnections {
 public:
  explicit OutputConnections(bag_format::BagWriter& writer) : writer_(writer) {}

  // The connection for a message at `time` copied from `source`, stored on its topic.
  uint32_t copied(const bag_format::ReaderConnection& source, uint64_t time) {
    return route(source, time, [&] {
      const ros::M_string header = header_of(source);
      ros::M_string key = header;
      key["topic"] = source.topic;
      const auto found = by_header_.find(key);
      if (found != by_header_.end()) return found->second;
      const size_t lane = add(source.topic, header);
      by_header_.emplace(std::move(key), lane);
      return lane;
    });
  }

  // The connection for the cloud at `time` of a frame from `source`, stored on `topic`.
  uint32_t clouds(const bag_format::ReaderConnection& source, const std::string& topic,
                  uint64_t time) {
    return route(source, time, [&] {
      using Cloud = sensor_msgs::PointCloud2;
      if (!clouds_) {
        clouds_ =
            add(topic, {{"type", ros::message_traits::DataType<Cloud>::value()},
                        {"md5sum", ros::message_traits::MD5Sum<Cloud>::value()},
                        {"message_definition", ros::message_traits::Definition<Cloud>::value()}});
      }
      return *clouds_;
    });
  }

 private:
  struct Lane {
    uint32_t id;
    std::string topic;
    ros::M_string header;
    uint64_t last = 0;  // latest time written, seconds in the high 32 bits
    const bag_format::ReaderConnection* last_by = nullptr;  // the source that wrote it
  };
  struct Route {
    size_t lane;
    bool own;  // a connection of its own, which it keeps whatever its times
  };

  // The lane of `source`'s message at `time`; `shared()` gives the shared lane of a source met
  // for the first time.
  template <class Shared>
  uint32_t route(const bag_format::ReaderConnection& source, uint64_t time, Shared&& shared) {
    auto it = routes_.find(&source);
    if (it == routes_.end()) it = routes_.emplace(&source, Route{shared(), false}).first;
    Route& route = it->second;
    // A source that steps back behind its own messages keeps its connection: the input reads
    // so itself.
    if (!route.own && time < lanes_[route.lane].last && lanes_[route.lane].last_by != &source) {
      const Lane& shared_lane = lanes_[route.lane];
      route.lane = add(shared_lane.topic, shared_lane.header);
      route.own = true;
    }
    Lane& lane = lanes_[route.lane];
    if (time >= lane.last) {
      lane.last = time;
      lane.last_by = &source;
    }
    return lane.id;
  }

  size_t add(const std::string& topic, const ros::M_string& header) {
    bag_format::BagConnectionInfo connection;
    connection.id = next_id_++;
    connection.topic = topic;
    connection.fields.assign(header.begin(), header.end());  // in name order, as stored
    writer_.add_connection(connection);
    lanes_.push_back({connection.id, topic, header});
    return lanes_.size() - 1;
  }

  bag_format::BagWriter& writer_;
  std::map<ros::M_string, size_t> by_header_;  // header with "topic" -> lane
  std::optional<size_t> clouds_;
  std::vector<Lane> lanes_;
  std::unordered_map<const bag_format::ReaderConnection*, Route> routes_;
  uint32_t next_id_ = 0;
};

std::string describe(const std::string& topic, const bag_format::ReaderMessage& message) {
  std::ostringstream text;
  text << "Livox frame on " << topic << " recorded at " << ros::Time(message.sec, message.nsec);
  return text.str();
}

}  // namespace

ConversionResult LivoxToPc2Converter::convert(const std::string& input_bag,
                                              const std::string& output_bag,
                                              const std::string& source_topic,
                                              const std::string& target_topic,
                                              const std::function<void(double)>& on_progress) {
  return convert(input_bag, output_bag, source_topic, target_topic, PointLayout(), on_progress);
}

ConversionResult LivoxToPc2Converter::convert(const std::string& input_bag,
                                              const std::string& output_bag,
                                              const std::string& source_topic,
                                              const std::string& target_topic,
                                              const PointLayout& layout,
                                              const std::function<void(double)>& on_progress) {
  ConversionResult result;
  result.input_bag = input_bag;
  result.output_bag = output_bag;
  result.source_topic = source_topic;
  result.target_topic = target_topic;

  try {
    // A ROS 2 recording becomes one of its own storage; anything else is read as a ROS 1 bag,
    // whose reader names what it found instead.
    const ros2_storage::InputKind kind = ros2_storage::detect_input(input_bag);
    if (kind == ros2_storage::InputKind::mcap_file ||
        kind == ros2_storage::InputKind::sqlite_file ||
        kind == ros2_storage::InputKind::rosbag2_folder) {
      if (is_same_file(input_bag, output_bag)) {
        throw std::runtime_error("output " + output_bag + " is the same as input " + input_bag +
                                 "; refusing to overwrite the input");
      }
      convert_recording(kind, layout, on_progress, result);
      result.success = true;
      return result;
    }
    // The reader checks every record as it reads it: damage fails the conversion, naming it and
    // its byte position, and the partial output is removed.
    bag_format::BagReader input(input_bag);
    if (is_same_file(input_bag, output_bag)) {
      throw std::runtime_error("output bag " + output_bag + " is the same file as input bag " +
                               input_bag + "; refusing to overwrite the input");
    }
    // Chunks of the bag library's default size, uncompressed; the writer's temporary file takes
    // the output's name only once the bag is complete, and is removed when it is not.
    bag_format::BagWriter output(output_bag);
    OutputConnections connections(output);
    FrameConverter frames(layout);
    const std::string frame_md5 =
        ros::message_traits::MD5Sum<livox_ros_driver2::CustomMsg>::value();
    std::vector<uint8_t> whole_frame;  // a frame that the reader hands over in pieces
    const auto on_message = [&](const bag_format::ReaderMessage& message) {
      ++result.total_messages;
      const bag_format::ReaderConnection& source = *message.connection;
      const uint64_t time = (uint64_t{message.sec} << 32) | message.nsec;
      if (source.topic == source_topic && source.md5sum == frame_md5) {
        frames.assign(message.whole(whole_frame), message.size);
        const std::vector<uint8_t>* cloud = nullptr;
        try {
          cloud = &frames.convert();
        } catch (const std::exception& e) {
          throw std::runtime_error(describe(source.topic, message) +
                                   " cannot be decoded: " + e.what());
        }
        result.total_points += frames.points();
        output.write(connections.clouds(source, target_topic, time), message.sec, message.nsec,
                     cloud->data(), cloud->size());
        ++result.converted_messages;
      } else {
        const uint32_t to = connections.copied(source, time);
        if (message.data != nullptr) {
          output.write(to, message.sec, message.nsec, message.data, message.size);
        } else {
          // A message too large to be held (a recorded map) goes through in pieces.
          output.write_pieces(
              to, message.sec, message.nsec, message.size,
              [&](uint64_t from, uint8_t* out, size_t n) { message.copy(from, out, n); });
        }
        ++result.copied_messages;
      }
    };
    const bag_format::ReadSummary read = input.read(
        [](const bag_format::ReaderConnection&) { return true; }, on_message, on_progress);
    result.read = read;
    output.close();
    result.success = true;
  } catch (const std::exception& e) {
    result.error = kErrorPrefix + std::string(e.what());
  }
  return result;
}

}  // namespace livox_to_pc2
