#include "rosbag2_folder.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "files_recording.h"
#include "mcap_reader.h"
#include "sqlite_reader.h"

namespace ros2_storage {

namespace {

namespace fs = std::filesystem;

constexpr char kMetadataFile[] = "metadata.yaml";
// Recorders write a few KiB per topic; a larger metadata.yaml is no recorder's.
constexpr uintmax_t kMaxMetadataBytes = 16u << 20;

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The text of a scalar node, or the YAML of any other (older recorders stored the QoS profiles
// as a list rather than as text holding one).
std::string text_of(const YAML::Node& node) {
  if (!node || node.IsNull()) return "";
  if (node.IsScalar()) return node.Scalar();
  YAML::Emitter out;
  out << node;
  return out.c_str();
}

struct Metadata {
  std::string text;
  std::string storage;  // storage_identifier
  std::vector<std::string> files;
  std::vector<Channel> topics;
};

Metadata read_metadata(const std::string& folder) {
  const std::string path = folder + "/" + kMetadataFile;
  const auto fail = [&](const std::string& why) {
    throw std::runtime_error(path + " is no rosbag2 metadata: " + why);
  };
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  if (error) fail(error.message());
  if (size > kMaxMetadataBytes) {
    fail("it holds " + std::to_string(size) + " bytes, more than the " +
         std::to_string(kMaxMetadataBytes) + " a recorder writes");
  }
  Metadata metadata;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) fail("it cannot be read");
  metadata.text = text.str();
  try {
    const YAML::Node root = YAML::Load(metadata.text);
    const YAML::Node info = root["rosbag2_bagfile_information"];
    if (!info.IsMap()) fail("it has no rosbag2_bagfile_information");
    metadata.storage = info["storage_identifier"].as<std::string>("");
    const YAML::Node files = info["relative_file_paths"];
    if (!files.IsSequence() || files.size() == 0) fail("it lists no relative_file_paths");
    for (const YAML::Node& file : files) metadata.files.push_back(file.as<std::string>());
    const std::string compression = info["compression_format"].as<std::string>("");
    const std::string mode = info["compression_mode"].as<std::string>("");
    if (!compression.empty() && !mode.empty() && mode != "NONE" && mode != "none") {
      throw std::runtime_error(path + " says the recording is compressed with " + compression +
                               " (" + mode + " mode), which is not read");
    }
    for (const YAML::Node& entry : info["topics_with_message_count"]) {
      const YAML::Node topic = entry["topic_metadata"];
      if (!topic.IsMap()) continue;
      Channel channel;
      channel.topic = topic["name"].as<std::string>("");
      channel.type = topic["type"].as<std::string>("");
      channel.encoding = topic["serialization_format"].as<std::string>("");
      channel.qos = text_of(topic["offered_qos_profiles"]);
      channel.type_description_hash = topic["type_description_hash"].as<std::string>("");
      metadata.topics.push_back(std::move(channel));
    }
  } catch (const YAML::Exception& e) {
    fail(e.what());
  }
  return metadata;
}

// The storage files of a folder without metadata.yaml, by the index in their names.
std::vector<std::string> storage_files(const std::string& folder, InputKind& kind) {
  std::vector<std::string> names;
  kind = InputKind::unknown;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const InputKind found = storage_file_kind(entry.path().string());
    if (found == InputKind::unknown) continue;
    if (kind != InputKind::unknown && found != kind) {
      throw std::runtime_error(folder + " holds both MCAP and SQLite files and no " +
                               kMetadataFile);
    }
    kind = found;
    names.push_back(entry.path().filename().string());
  }
  if (error) throw std::runtime_error("cannot list " + folder + ": " + error.message());
  std::sort(names.begin(), names.end(), natural_less);
  return names;
}

}  // namespace

bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      // Runs of digits compare by value: without leading zeros, by length, then digit by digit.
      size_t i_end = i;
      size_t j_end = j;
      while (i_end < a.size() && is_digit(a[i_end])) ++i_end;
      while (j_end < b.size() && is_digit(b[j_end])) ++j_end;
      size_t i_start = i;
      size_t j_start = j;
      while (i_start + 1 < i_end && a[i_start] == '0') ++i_start;
      while (j_start + 1 < j_end && b[j_start] == '0') ++j_start;
      if (i_end - i_start != j_end - j_start) return i_end - i_start < j_end - j_start;
      const int order = a.compare(i_start, i_end - i_start, b, j_start, j_end - j_start);
      if (order != 0) return order < 0;
      i = i_end;
      j = j_end;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

bool is_rosbag2_folder(const std::string& path) {
  std::error_code error;
  if (fs::is_regular_file(path + "/" + kMetadataFile, error)) return true;
  const fs::directory_iterator entries(path, error);
  return std::any_of(fs::begin(entries), fs::end(entries), [](const fs::directory_entry& entry) {
    return storage_file_kind(entry.path().string()) != InputKind::unknown;
  });
}

std::unique_ptr<Recording> open_rosbag2_folder(const std::string& path) {
  StoredInfo stored;
  std::vector<Channel> described;
  std::vector<std::string> names;
  InputKind kind = InputKind::unknown;
  std::error_code error;
  const std::string listed_in = path + "/" + kMetadataFile;
  if (fs::exists(listed_in, error)) {
    Metadata metadata = read_metadata(path);
    if (metadata.storage == "mcap") {
      kind = InputKind::mcap_file;
    } else if (metadata.storage == "sqlite3") {
      kind = InputKind::sqlite_file;
    } else {
      throw std::runtime_error(listed_in + " names the storage " + metadata.storage +
                               ", which is not read");
    }
    for (const std::string& file : metadata.files) {
      const fs::path relative(file);
      const bool outside =
          relative.is_absolute() || std::any_of(relative.begin(), relative.end(),
                                                [](const fs::path& part) { return part == ".."; });
      if (outside) {
        throw std::runtime_error(listed_in + " lists " + file + ", which lies outside the folder");
      }
      // Early recorders listed the files with the folder's own name before them.
      std::string name = file;
      if (!fs::exists(path + "/" + name, error) &&
          fs::exists(path + "/" + relative.filename().string(), error)) {
        name = relative.filename().string();
      }
      if (!fs::exists(path + "/" + name, error)) {
        throw std::runtime_error(listed_in + " lists " + file + ", which is not in the folder");
      }
      names.push_back(name);
    }
    stored.metadata_yaml = std::move(metadata.text);
    described = std::move(metadata.topics);
  } else {
    names = storage_files(path, kind);
    if (names.empty()) {
      throw std::runtime_error(path + " holds neither " + std::string(kMetadataFile) +
                               " nor MCAP or SQLite files");
    }
  }
  std::vector<std::unique_ptr<StorageFile>> files;
  for (const std::string& name : names) {
    const std::string file = path + "/" + name;
    if (storage_file_kind(file) != kind) {
      throw std::runtime_error(file + " holds no " +
                               (kind == InputKind::mcap_file ? "MCAP" : "SQLite") +
                               " file, which metadata.yaml names as the storage");
    }
    files.push_back(kind == InputKind::mcap_file ? open_mcap_file(file) : open_sqlite_file(file));
    stored.files.push_back(file);
  }
  return files_recording(kind == InputKind::mcap_file ? Storage::mcap : Storage::sqlite,
                         std::move(files), std::move(stored), described);
}

}  // namespace ros2_storage
