#include "ros2_storage/recording.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "file_reader.h"
#include "files_recording.h"
#include "mcap_reader.h"
#include "rosbag2_folder.h"
#include "sqlite_reader.h"

namespace ros2_storage {

namespace {

constexpr char kRos1Magic[] = "#ROSBAG V";
constexpr unsigned char kMcapMagic[] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
// With its terminating zero, as SQLite stores it.
constexpr char kSqliteMagic[] = "SQLite format 3";

class FilesRecording : public Recording {
 public:
  FilesRecording(Storage storage, std::vector<std::unique_ptr<StorageFile>> files,
                 StoredInfo stored, const std::vector<Channel>& described);

  Storage storage() const override { return storage_; }
  const std::vector<Channel>& channels() const override { return channels_; }
  const Inventory* stated_inventory() const override;
  const Inventory* found_inventory() const override;
  ReadOutcome read(const std::function<bool(const Channel&)>& wanted,
                   const std::function<void(const Message&)>& on_message,
                   const std::function<void(double)>& on_progress) override;
  const ReadOutcome& outcome() const override { return outcome_; }
  const StoredInfo& stored() const override { return stored_; }

 private:
  Storage storage_;
  std::vector<std::unique_ptr<StorageFile>> files_;
  // For each file, the place in channels_ of each of its channels.
  std::vector<std::vector<size_t>> places_;
  std::vector<Channel> channels_;
  // Sums the counts `of` each file gives; false when a file gives none.
  bool sum(const std::function<const Inventory*(const StorageFile&)>& of, Inventory& out) const;

  // Summed from the files' on the first call (a SQLite file counts its rows then).
  mutable Inventory inventory_;
  mutable int stated_ = -1;  // -1: not summed yet; else whether every file states its counts
  mutable Inventory found_;
  mutable int found_known_ = -1;  // as stated_, for found_
  ReadOutcome outcome_;
  StoredInfo stored_;
  uint64_t bytes_ = 0;
};

FilesRecording::FilesRecording(Storage storage, std::vector<std::unique_ptr<StorageFile>> files,
                               StoredInfo stored, const std::vector<Channel>& described)
    : storage_(storage), files_(std::move(files)), stored_(std::move(stored)) {
  if (!files_.empty()) {
    const StoredInfo& first = files_.front()->stored();
    stored_.profile = first.profile;
    stored_.library = first.library;
    stored_.metadata = first.metadata;
  }
  for (const auto& file : files_) {
    bytes_ += file->size();
    const ReadOutcome& read = file->outcome();
    outcome_.recording_closed = outcome_.recording_closed && read.recording_closed;
    outcome_.index_complete = outcome_.index_complete && read.index_complete;
    outcome_.unreadable_bytes += read.unreadable_bytes;
    std::vector<size_t>& places = places_.emplace_back();
    for (const Channel& channel : file->channels()) {
      const auto same = std::find_if(channels_.begin(), channels_.end(), [&](const Channel& c) {
        return std::tie(c.topic, c.type, c.encoding) ==
               std::tie(channel.topic, channel.type, channel.encoding);
      });
      places.push_back(static_cast<size_t>(same - channels_.begin()));
      if (same == channels_.end()) channels_.push_back(channel);
    }
  }
  for (Channel& channel : channels_) {
    const auto same = std::find_if(described.begin(), described.end(), [&](const Channel& c) {
      return c.topic == channel.topic && c.type == channel.type;
    });
    if (same == described.end()) continue;
    if (channel.qos.empty()) channel.qos = same->qos;
    if (channel.type_description_hash.empty()) {
      channel.type_description_hash = same->type_description_hash;
    }
  }
}

bool FilesRecording::sum(const std::function<const Inventory*(const StorageFile&)>& of,
                         Inventory& out) const {
  out = Inventory();
  out.messages.assign(channels_.size(), 0);
  bool any_message = false;
  for (size_t f = 0; f < files_.size(); ++f) {
    const Inventory* counts = of(*files_[f]);
    if (counts == nullptr) return false;
    uint64_t in_file = 0;
    for (size_t i = 0; i < places_[f].size(); ++i) {
      out.messages[places_[f][i]] += counts->messages[i];
      in_file += counts->messages[i];
    }
    if (in_file == 0) continue;
    out.start = any_message ? std::min(out.start, counts->start) : counts->start;
    out.end = any_message ? std::max(out.end, counts->end) : counts->end;
    any_message = true;
  }
  return true;
}

const Inventory* FilesRecording::stated_inventory() const {
  if (stated_ < 0) {
    stated_ = sum([](const StorageFile& f) { return f.stated_inventory(); }, inventory_) ? 1 : 0;
  }
  return stated_ == 1 ? &inventory_ : nullptr;
}

const Inventory* FilesRecording::found_inventory() const {
  if (found_known_ < 0) {
    found_known_ = sum([](const StorageFile& f) { return f.found_inventory(); }, found_) ? 1 : 0;
  }
  return found_known_ == 1 ? &found_ : nullptr;
}

ReadOutcome FilesRecording::read(const std::function<bool(const Channel&)>& wanted,
                                 const std::function<void(const Message&)>& on_message,
                                 const std::function<void(double)>& on_progress) {
  std::vector<bool> take(channels_.size());
  for (size_t i = 0; i < channels_.size(); ++i) take[i] = wanted(channels_[i]);
  uint64_t before = 0;
  std::vector<const Channel*> target;
  std::function<void(uint64_t)> on_bytes;
  if (on_progress && bytes_ > 0) {
    on_bytes = [&](uint64_t done) {
      on_progress(std::min(1.0, static_cast<double>(before + done) / static_cast<double>(bytes_)));
    };
  }
  for (size_t f = 0; f < files_.size(); ++f) {
    target.assign(places_[f].size(), nullptr);
    for (size_t i = 0; i < target.size(); ++i) {
      if (take[places_[f][i]]) target[i] = &channels_[places_[f][i]];
    }
    files_[f]->read(target, on_message, on_bytes);
    before += files_[f]->size();
  }
  if (on_progress) on_progress(1.0);
  return outcome_;
}

// The first bytes of a regular file, as many as it holds up to `n`; empty when unreadable.
std::string first_bytes(const std::string& path, size_t n) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(n, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

InputKind file_kind(const std::string& bytes) {
  if (bytes.compare(0, sizeof kRos1Magic - 1, kRos1Magic) == 0) return InputKind::ros1_bag;
  if (bytes.size() >= sizeof kMcapMagic &&
      std::memcmp(bytes.data(), kMcapMagic, sizeof kMcapMagic) == 0) {
    return InputKind::mcap_file;
  }
  if (bytes.size() >= sizeof kSqliteMagic &&
      std::memcmp(bytes.data(), kSqliteMagic, sizeof kSqliteMagic) == 0) {
    return InputKind::sqlite_file;
  }
  return InputKind::unknown;
}

}  // namespace

std::unique_ptr<Recording> files_recording(Storage storage,
                                           std::vector<std::unique_ptr<StorageFile>> files,
                                           StoredInfo stored,
                                           const std::vector<Channel>& described) {
  return std::make_unique<FilesRecording>(storage, std::move(files), std::move(stored), described);
}

InputKind detect_input(const std::string& path, std::string* found) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (found != nullptr) *found = std::string("nothing (") + std::strerror(errno) + ")";
    return InputKind::unknown;
  }
  if (S_ISDIR(info.st_mode)) {
    if (is_rosbag2_folder(path)) return InputKind::rosbag2_folder;
    if (found != nullptr) *found = "a folder without metadata.yaml or storage files";
    return InputKind::unknown;
  }
  if (!S_ISREG(info.st_mode)) {
    if (found != nullptr) *found = file_type(info.st_mode);
    return InputKind::unknown;
  }
  const InputKind kind = file_kind(first_bytes(path, sizeof kSqliteMagic));
  if (kind == InputKind::unknown && found != nullptr) {
    *found = "a file of " + std::to_string(info.st_size) +
             " bytes that is neither a ROS 1 bag, an MCAP file nor a SQLite file";
  }
  return kind;
}

InputKind storage_file_kind(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return InputKind::unknown;
  // A ROS 1 bag beside others is no storage file of a rosbag2 folder.
  const InputKind kind = file_kind(first_bytes(path, sizeof kSqliteMagic));
  return kind == InputKind::ros1_bag ? InputKind::unknown : kind;
}

std::unique_ptr<Recording> open_recording(const std::string& path) {
  std::string found;
  const InputKind kind = detect_input(path, &found);
  StoredInfo stored;
  stored.files = {path};
  std::vector<std::unique_ptr<StorageFile>> files;
  switch (kind) {
    case InputKind::mcap_file:
      files.push_back(open_mcap_file(path));
      return files_recording(Storage::mcap, std::move(files), std::move(stored));
    case InputKind::sqlite_file:
      files.push_back(open_sqlite_file(path));
      return files_recording(Storage::sqlite, std::move(files), std::move(stored));
    case InputKind::rosbag2_folder:
      return open_rosbag2_folder(path);
    case InputKind::ros1_bag:
      throw std::runtime_error(path + " is a ROS 1 bag, not a ROS 2 recording");
    case InputKind::unknown:
      break;
  }
  throw std::runtime_error(path + " is no ROS 2 recording: it holds " + found);
}

}  // namespace ros2_storage
