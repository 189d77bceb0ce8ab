#include "livox_conversion/livox_to_pc2.h"

#include <sys/stat.h>

#include <livox_msgs/frame_reader.h>
#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/PointField.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag_check/bag_structure.h"
#include "bag_check/bag_writer.h"

namespace livox_to_pc2 {

namespace {

constexpr char kErrorPrefix[] = "Bag conversion failed: ";
// Every converted cloud is published in the lidar's mounting frame, whatever the driver wrote.
constexpr char kCloudFrameId[] = "lidar0::lidar_link";
// Cloud point record: x, y, z, intensity, each a float32.
constexpr uint32_t kCloudPointStep = 16;

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

sensor_msgs::PointField float_field(const char* name, uint32_t offset) {
  sensor_msgs::PointField field;
  field.name = name;
  field.offset = offset;
  field.datatype = sensor_msgs::PointField::FLOAT32;
  field.count = 1;
  return field;
}

// Turns serialised Livox frames into serialised clouds. The frame is read straight from its
// stored bytes by the shared frame reader, which checks the declared point count against them
// before anything is read, so a damaged frame is refused instead of asking for gigabytes. The
// cloud's fields before its data (header, size, layout) are serialised by the message library
// from a cloud without data; the points are then written straight into the serialised message,
// whose buffer, like the frame's, grows to the largest frame seen and is reused.
class FrameConverter {
 public:
  FrameConverter() {
    cloud_.header.frame_id = kCloudFrameId;
    cloud_.height = 1;
    cloud_.fields = {float_field("x", 0), float_field("y", 4), float_field("z", 8),
                     float_field("intensity", 12)};
    cloud_.is_bigendian = false;
    cloud_.point_step = kCloudPointStep;
    cloud_.is_dense = true;
  }

  // Reads the stored bytes of one frame; the bag library's read errors pass.
  void load(const rosbag::MessageInstance& message) { frame_.load(message); }

  // The serialised cloud of the frame last loaded; valid until the next call. Throws when the
  // bytes do not hold a whole frame.
  const std::vector<uint8_t>& convert() {
    frame_.parse();
    const uint32_t count = frame_.size();
    cloud_.header.seq = frame_.header().seq;
    cloud_.header.stamp = frame_.header().stamp;
    cloud_.width = count;
    cloud_.row_step = kCloudPointStep * count;
    // Serialised without data, the cloud ends with the data's length word (0) and is_dense.
    const uint32_t head = ros::serialization::serializationLength(cloud_) - 1;
    const size_t data_size = static_cast<size_t>(cloud_.row_step) * cloud_.height;
    bytes_.resize(head + data_size + 1);
    ros::serialization::OStream out(bytes_.data(), head + 1);
    ros::serialization::serialize(out, cloud_);
    const uint32_t stated = static_cast<uint32_t>(data_size);
    std::memcpy(bytes_.data() + head - 4, &stated, sizeof stated);
    bytes_.back() = cloud_.is_dense ? 1 : 0;
    uint8_t* data = bytes_.data() + head;
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* q = data + static_cast<size_t>(i) * kCloudPointStep;
      frame_.copy_xyz(i, q);  // x, y, z bit for bit
      const float intensity = static_cast<float>(frame_.reflectivity(i));
      std::memcpy(q + 12, &intensity, sizeof intensity);
    }
    return bytes_;
  }

  // Points of the frame last converted.
  uint32_t points() const { return frame_.size(); }

 private:
  livox_msgs::FrameReader frame_;
  sensor_msgs::PointCloud2 cloud_;  // every field but the data
  std::vector<uint8_t> bytes_;      // the serialised cloud
};

// The connections of the output bag, numbered as the bag library numbers them: in the order of
// their first message. Copied messages keep the connection header of their source connection;
// source connections whose headers agree in every field on one topic become one connection (the
// bag library files messages by header and topic). All clouds share one connection of the target
// topic, whose header holds the type fields alone.
class OutputConnections {
 public:
  explicit OutputConnections(bag_check::BagWriter& writer) : writer_(writer) {}

  // The connection for messages copied from a source connection with `header` on `topic`.
  uint32_t copied(const std::string& topic, const ros::M_string& header) {
    ros::M_string key = header;
    key["topic"] = topic;
    const auto found = by_header_.find(key);
    if (found != by_header_.end()) return found->second;
    const uint32_t id = add(topic, header);
    by_header_.emplace(std::move(key), id);
    return id;
  }

  // The connection of the clouds on `topic`.
  uint32_t clouds(const std::string& topic) {
    if (!clouds_) {
      using Cloud = sensor_msgs::PointCloud2;
      clouds_ =
          add(topic, {{"type", ros::message_traits::DataType<Cloud>::value()},
                      {"md5sum", ros::message_traits::MD5Sum<Cloud>::value()},
                      {"message_definition", ros::message_traits::Definition<Cloud>::value()}});
    }
    return *clouds_;
  }

 private:
  uint32_t add(const std::string& topic, const ros::M_string& header) {
    bag_check::BagConnectionInfo connection;
    connection.id = next_id_++;
    connection.topic = topic;
    connection.fields.assign(header.begin(), header.end());  // in name order, as stored
    writer_.add_connection(connection);
    return connection.id;
  }

  bag_check::BagWriter& writer_;
  std::map<ros::M_string, uint32_t> by_header_;
  std::optional<uint32_t> clouds_;
  uint32_t next_id_ = 0;
};

// The connection header a copied message is written under, so that it keeps its own connection
// in the output (type, MD5 sum, definition, latching, caller id) rather than sharing one with
// whatever else lands on its topic. Bags always record the type fields; should a connection
// lack one, it is filled in from the message instance.
ros::M_string connection_header_of(const rosbag::MessageInstance& message) {
  const boost::shared_ptr<ros::M_string> stored = message.getConnectionHeader();
  ros::M_string header = stored ? *stored : ros::M_string();
  header.emplace("type", message.getDataType());
  header.emplace("md5sum", message.getMD5Sum());
  header.emplace("message_definition", message.getMessageDefinition());
  return header;
}

std::string describe(const rosbag::MessageInstance& message) {
  std::ostringstream text;
  text << "Livox frame on " << message.getTopic() << " recorded at " << message.getTime();
  return text.str();
}

}  // namespace

ConversionResult LivoxToPc2Converter::convert(const std::string& input_bag,
                                              const std::string& output_bag,
                                              const std::string& source_topic,
                                              const std::string& target_topic,
                                              const std::function<void(double)>& on_progress) {
  ConversionResult result;
  result.input_bag = input_bag;
  result.output_bag = output_bag;
  result.source_topic = source_topic;
  result.target_topic = target_topic;

  rosbag::Bag input;
  try {
    // Damage that would make the bag library read out of bounds while opening the input or
    // reading any of its messages (frames and copied messages alike) fails the conversion as an
    // input that cannot be read, before any output exists.
    const std::string fault = bag_check::check_structure(input_bag, bag_check::Scope::kMessages);
    if (!fault.empty()) throw std::runtime_error(fault);
    input.open(input_bag, rosbag::bagmode::Read);
    if (is_same_file(input_bag, output_bag)) {
      throw std::runtime_error("output bag " + output_bag + " is the same file as input bag " +
                               input_bag + "; refusing to overwrite the input");
    }
    // Chunks of the bag library's default size, uncompressed; the writer's temporary file takes
    // the output's name only once the bag is complete, and is removed when it is not.
    bag_check::BagWriter output(output_bag);
    OutputConnections connections(output);
    {
      rosbag::View view(input);
      const double total = static_cast<double>(view.size());
      FrameConverter frames;
      std::vector<uint8_t> copy;
      // Output connection of each source connection, by the source's header record.
      std::unordered_map<const ros::M_string*, uint32_t> copied_to;
      for (const rosbag::MessageInstance& message : view) {
        ++result.total_messages;
        const std::string& topic = message.getTopic();
        const ros::Time& time = message.getTime();
        if (topic == source_topic && message.isType<livox_ros_driver2::CustomMsg>()) {
          frames.load(message);
          const std::vector<uint8_t>* cloud = nullptr;
          try {
            cloud = &frames.convert();
          } catch (const std::exception& e) {
            throw std::runtime_error(describe(message) + " cannot be decoded: " + e.what());
          }
          result.total_points += frames.points();
          output.write(connections.clouds(target_topic), time.sec, time.nsec, cloud->data(),
                       cloud->size());
          ++result.converted_messages;
        } else {
          const ros::M_string* source = message.getConnectionHeader().get();
          auto it = copied_to.find(source);
          if (it == copied_to.end()) {
            it = copied_to.emplace(source, connections.copied(topic, connection_header_of(message)))
                     .first;
          }
          const uint32_t size = message.size();
          copy.resize(size);
          ros::serialization::OStream stream(copy.data(), size);
          message.write(stream);
          output.write(it->second, time.sec, time.nsec, copy.data(), copy.size());
          ++result.copied_messages;
        }
        if (on_progress) on_progress(static_cast<double>(result.total_messages) / total);
      }
    }
    input.close();
    output.close();
    result.success = true;
  } catch (const std::exception& e) {
    try {
      input.close();
    } catch (const std::exception&) {
    }
    result.error = kErrorPrefix + std::string(e.what());
  }
  return result;
}

}  // namespace livox_to_pc2
