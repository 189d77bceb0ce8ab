#include "livox_conversion/livox_to_pc2.h"

#include <sys/stat.h>

#include <livox_msgs/frame_reader.h>
#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/PointField.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "bag_check/bag_structure.h"
#include "safe_output/output_file.h"

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

// Turns serialised Livox frames into clouds. The frame is read straight from its stored bytes by
// the shared frame reader, which checks the declared point count against them before anything
// is read, so a damaged frame is refused instead of asking for gigabytes. The frame buffer and
// the cloud are reused: each grows to the largest frame seen and is sized once per frame.
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

  // The cloud of the frame last loaded; valid until the next call. Throws when the bytes do not
  // hold a whole frame.
  const sensor_msgs::PointCloud2& convert() {
    frame_.parse();
    const uint32_t count = frame_.size();
    cloud_.header.seq = frame_.header().seq;
    cloud_.header.stamp = frame_.header().stamp;
    cloud_.width = count;
    cloud_.row_step = kCloudPointStep * count;
    cloud_.data.resize(static_cast<size_t>(cloud_.row_step) * cloud_.height);
    uint8_t* data = cloud_.data.data();
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* q = data + static_cast<size_t>(i) * kCloudPointStep;
      frame_.copy_xyz(i, q);  // x, y, z bit for bit
      const float intensity = static_cast<float>(frame_.reflectivity(i));
      std::memcpy(q + 12, &intensity, sizeof intensity);
    }
    return cloud_;
  }

 private:
  livox_msgs::FrameReader frame_;
  sensor_msgs::PointCloud2 cloud_;
};

// The connection header a copied message is written under, so that it keeps its own connection
// in the output (type, MD5 sum, definition, latching, caller id) rather than sharing one with
// whatever else lands on its topic. Bags always record the type fields; should a connection
// lack one, it is filled in from the message instance.
boost::shared_ptr<ros::M_string> connection_header_of(const rosbag::MessageInstance& message) {
  boost::shared_ptr<ros::M_string> header = message.getConnectionHeader();
  if (header && header->count("type") && header->count("md5sum") &&
      header->count("message_definition")) {
    return header;
  }
  auto completed =
      header ? boost::make_shared<ros::M_string>(*header) : boost::make_shared<ros::M_string>();
  completed->emplace("type", message.getDataType());
  completed->emplace("md5sum", message.getMD5Sum());
  completed->emplace("message_definition", message.getMessageDefinition());
  return completed;
}

std::string describe(const rosbag::MessageInstance& message) {
  std::ostringstream text;
  text << "Livox frame on " << message.getTopic() << " recorded at " << message.getTime();
  return text.str();
}

std::string write_failure(const std::string& output_bag, const std::string& reason) {
  return "cannot write output bag " + output_bag + " (" + reason + ")";
}

// Closes a bag on the failure path, where the first error is the one worth reporting. A bag
// whose close failed (a full disk) would retry the failing writes from its destructor, where an
// exception ends the process; it is set aside, still reachable, for the life of the process
// instead (the bag library's move leaves a bag that cannot be closed, hence the pointer). Its
// file, the temporary one, is removed all the same.
void close_quietly(std::unique_ptr<rosbag::Bag>& bag) {
  try {
    bag->close();
  } catch (const std::exception&) {
    static auto* const abandoned = new std::vector<std::unique_ptr<rosbag::Bag>>;
    abandoned->push_back(std::move(bag));
  }
}

}  // namespace

ConversionResult LivoxToPc2Converter::convert(const std::string& input_bag,
                                              const std::string& output_bag,
                                              const std::string& source_topic,
                                              const std::string& target_topic) {
  ConversionResult result;
  result.input_bag = input_bag;
  result.output_bag = output_bag;
  result.source_topic = source_topic;
  result.target_topic = target_topic;

  rosbag::Bag input;
  // The bag library writes the output under a temporary name, which takes the output's name only
  // once the bag is complete; declared before the bag, so the bag is closed before the
  // temporary file of a failed run is removed.
  safe_output::OutputFile output_file(output_bag);
  auto output = std::make_unique<rosbag::Bag>();
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
    std::string not_written = output_file.open();
    if (!not_written.empty()) throw std::runtime_error(write_failure(output_bag, not_written));
    output->open(output_file.temp_path(), rosbag::bagmode::Write);
    {
      rosbag::View view(input);
      FrameConverter frames;
      for (const rosbag::MessageInstance& message : view) {
        ++result.total_messages;
        const std::string& topic = message.getTopic();
        const ros::Time& time = message.getTime();
        if (topic == source_topic && message.isType<livox_ros_driver2::CustomMsg>()) {
          frames.load(message);
          const sensor_msgs::PointCloud2* cloud = nullptr;
          try {
            cloud = &frames.convert();
          } catch (const std::exception& e) {
            throw std::runtime_error(describe(message) + " cannot be decoded: " + e.what());
          }
          result.total_points += cloud->width;
          output->write(target_topic, time, *cloud);
          ++result.converted_messages;
        } else {
          output->write(topic, time, message, connection_header_of(message));
          ++result.copied_messages;
        }
      }
    }
    input.close();
    output->close();
    not_written = output_file.commit();
    if (!not_written.empty()) throw std::runtime_error(write_failure(output_bag, not_written));
    result.success = true;
  } catch (const std::exception& e) {
    try {
      input.close();
    } catch (const std::exception&) {
    }
    close_quietly(output);
    result.error = kErrorPrefix + std::string(e.what());
  }
  return result;
}

}  // namespace livox_to_pc2
