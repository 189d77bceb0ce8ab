#include "ros2_storage/recording_writer.h"

#include <stdexcept>
#include <utility>

#include "mcap_writer.h"
#include "rosbag2_metadata.h"
#include "safe_output/output_file.h"
#include "safe_output/output_folder.h"
#include "sqlite_writer.h"

namespace ros2_storage {

namespace {

std::string base_name(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// A rosbag2 folder: its one storage file, written by the storage's writer inside the temporary
// folder, then metadata.yaml describing it; the folder takes its name once both are complete.
template <class FileWriter>
class FolderWriter : public RecordingWriter {
 public:
  FolderWriter(const std::string& path, const WriterOptions& options, const char* extension)
      : path_(path), folder_(path), options_(options) {
    const std::string error = folder_.open();
    if (!error.empty()) {
      throw std::runtime_error("cannot write output " + path + " (" + error + ")");
    }
    const std::string file_name = base_name(path) + "_0" + extension;
    const std::string file_path = folder_.add_file(file_name);
    metadata_path_ = folder_.add_file("metadata.yaml");
    if constexpr (std::is_same_v<FileWriter, McapWriter>) {
      file_ = std::make_unique<McapWriter>(output_file_sink(file_path), path, file_name, options);
    } else {
      file_ = std::make_unique<SqliteWriter>(file_path, file_name, options);
    }
  }

  uint32_t add_channel(const Channel& channel) override { return file_->add_channel(channel); }
  void write(uint32_t channel, uint64_t log_time, uint64_t publish_time, uint32_t sequence,
             const uint8_t* data, uint64_t size) override {
    file_->write(channel, log_time, publish_time, sequence, data, size);
  }
  void close() override {
    file_->close();
    const std::string yaml = bag_information_yaml(file_->information(), options_.source_metadata);
    safe_output::OutputFile metadata(metadata_path_);
    std::string error = metadata.open();
    if (error.empty()) error = metadata.write(yaml.data(), yaml.size());
    if (error.empty()) error = metadata.commit();
    if (error.empty()) error = folder_.commit();
    if (!error.empty())
      throw std::runtime_error("cannot write output " + path_ + " (" + error + ")");
  }

 private:
  std::string path_;
  safe_output::OutputFolder folder_;
  WriterOptions options_;
  std::string metadata_path_;
  std::unique_ptr<FileWriter> file_;
};

}  // namespace

std::unique_ptr<RecordingWriter> create_writer(const std::string& path,
                                               const WriterOptions& options) {
  if (options.storage == Storage::mcap) {
    if (options.folder) return std::make_unique<FolderWriter<McapWriter>>(path, options, ".mcap");
    return std::make_unique<McapWriter>(output_file_sink(path), path, base_name(path), options);
  }
  if (options.folder) return std::make_unique<FolderWriter<SqliteWriter>>(path, options, ".db3");
  return std::make_unique<SqliteWriter>(path, base_name(path), options);
}

}  // namespace ros2_storage
