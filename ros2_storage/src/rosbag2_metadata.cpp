#include "rosbag2_metadata.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace ros2_storage {

namespace {

// The keys bag_information_yaml computes from the output; every other key of the source is
// written back as it was.
constexpr std::array<const char*, 13> kComputedKeys = {"version",
                                                       "storage_identifier",
                                                       "relative_file_paths",
                                                       "duration",
                                                       "starting_time",
                                                       "message_count",
                                                       "topics_with_message_count",
                                                       "compression_format",
                                                       "compression_mode",
                                                       "files",
                                                       "custom_data",
                                                       "ros_distro",
                                                       "rosbag2_bagfile_information"};

// rosbag2's newest layout of the document: files, custom_data, ros_distro and the topics' type
// description hashes all present.
constexpr int kDefaultVersion = 9;

YAML::Node source_information(const std::string& source_metadata) {
  if (source_metadata.empty()) return YAML::Node();
  try {
    const YAML::Node root = YAML::Load(source_metadata);
    if (root.IsMap() && root["rosbag2_bagfile_information"]) {
      return root["rosbag2_bagfile_information"];
    }
  } catch (const YAML::Exception& e) {
    throw std::runtime_error(std::string("the source metadata.yaml does not read: ") + e.what());
  }
  return YAML::Node();
}

bool is_computed(const std::string& key) {
  return std::any_of(kComputedKeys.begin(), kComputedKeys.end(),
                     [&](const char* computed) { return key == computed; });
}

void emit_nanoseconds(YAML::Emitter& out, const char* key, const char* unit, uint64_t value) {
  out << YAML::Key << key << YAML::Value << YAML::BeginMap << YAML::Key << unit << YAML::Value
      << value << YAML::EndMap;
}

}  // namespace

int bag_information_version(const std::string& source_metadata) {
  const YAML::Node information = source_information(source_metadata);
  if (information.IsMap() && information["version"] && information["version"].IsScalar()) {
    return information["version"].as<int>(kDefaultVersion);
  }
  return kDefaultVersion;
}

std::string ros_distro_of(const std::string& source_metadata) {
  const YAML::Node information = source_information(source_metadata);
  if (information.IsMap() && information["ros_distro"] && information["ros_distro"].IsScalar()) {
    return information["ros_distro"].Scalar();
  }
  return "";
}

std::string bag_information_yaml(const BagInformation& information,
                                 const std::string& source_metadata) {
  const YAML::Node source = source_information(source_metadata);
  const bool has_source = source.IsMap();
  const int version = bag_information_version(source_metadata);

  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t messages = 0;
  for (const BagFileInformation& file : information.files) {
    if (file.messages == 0) continue;
    start = messages == 0 ? file.start : std::min(start, file.start);
    end = messages == 0 ? file.end : std::max(end, file.end);
    messages += file.messages;
  }

  YAML::Emitter out;
  out << YAML::BeginMap << YAML::Key << "rosbag2_bagfile_information" << YAML::Value
      << YAML::BeginMap;
  out << YAML::Key << "version" << YAML::Value << version;
  out << YAML::Key << "storage_identifier" << YAML::Value << information.storage_identifier;
  out << YAML::Key << "duration" << YAML::Value << YAML::BeginMap << YAML::Key << "nanoseconds"
      << YAML::Value << end - start << YAML::EndMap;
  emit_nanoseconds(out, "starting_time", "nanoseconds_since_epoch", start);
  out << YAML::Key << "message_count" << YAML::Value << messages;
  out << YAML::Key << "topics_with_message_count" << YAML::Value << YAML::BeginSeq;
  for (const BagTopicInformation& topic : information.topics) {
    const Channel& channel = topic.channel;
    out << YAML::BeginMap << YAML::Key << "topic_metadata" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "name" << YAML::Value << channel.topic;
    out << YAML::Key << "type" << YAML::Value << channel.type;
    out << YAML::Key << "serialization_format" << YAML::Value << channel.encoding;
    // A YAML document of its own, kept as the text it was recorded as.
    out << YAML::Key << "offered_qos_profiles" << YAML::Value << YAML::DoubleQuoted << channel.qos;
    out << YAML::Key << "type_description_hash" << YAML::Value << YAML::DoubleQuoted
        << channel.type_description_hash;
    out << YAML::EndMap << YAML::Key << "message_count" << YAML::Value << topic.messages
        << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "compression_format" << YAML::Value << YAML::DoubleQuoted << "";
  out << YAML::Key << "compression_mode" << YAML::Value << YAML::DoubleQuoted << "";
  out << YAML::Key << "relative_file_paths" << YAML::Value << YAML::BeginSeq;
  for (const BagFileInformation& file : information.files) out << file.path;
  out << YAML::EndSeq;
  out << YAML::Key << "files" << YAML::Value << YAML::BeginSeq;
  for (const BagFileInformation& file : information.files) {
    out << YAML::BeginMap << YAML::Key << "path" << YAML::Value << file.path;
    emit_nanoseconds(out, "starting_time", "nanoseconds_since_epoch", file.start);
    emit_nanoseconds(out, "duration", "nanoseconds", file.end - file.start);
    out << YAML::Key << "message_count" << YAML::Value << file.messages << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "custom_data" << YAML::Value;
  if (has_source && source["custom_data"] && source["custom_data"].IsMap()) {
    out << source["custom_data"];
  } else {
    out << YAML::BeginMap << YAML::EndMap;
  }
  out << YAML::Key << "ros_distro" << YAML::Value << ros_distro_of(source_metadata);
  if (has_source) {
    for (const auto& entry : source) {
      const std::string key = entry.first.as<std::string>("");
      if (!key.empty() && !is_computed(key)) out << YAML::Key << key << YAML::Value << entry.second;
    }
  }
  out << YAML::EndMap << YAML::EndMap;
  if (!out.good())
    throw std::runtime_error("metadata.yaml cannot be written: " + out.GetLastError());
  return std::string(out.c_str()) + "\n";
}

}  // namespace ros2_storage
