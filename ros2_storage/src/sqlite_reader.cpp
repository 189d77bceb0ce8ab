#include "sqlite_reader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ros2_storage {

namespace {

// Progress is reported after this many messages.
constexpr uint64_t kProgressRows = 1024;

std::string num(uint64_t value) { return std::to_string(value); }

// The path as an SQLite URI that opens it read-only and immutable: SQLite then takes no lock
// and creates no -shm file, so a recording on a read-only medium reads as well.
std::string immutable_uri(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || c == '/' || c == '.' || c == '_' || c == '-') {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 15];
    }
  }
  return uri + "?mode=ro&immutable=1";
}

// Bytes of the regular file at `path`; 0 when there is none.
uint64_t size_of(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<uint64_t>(info.st_size);
}

class SqliteFile : public StorageFile {
 public:
  explicit SqliteFile(std::string path) : path_(std::move(path)) {}
  ~SqliteFile() override { sqlite3_close_v2(db_); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  void open();

  const std::vector<Channel>& channels() const override { return channels_; }
  const Inventory* stated_inventory() const override;
  const ReadOutcome& outcome() const override { return outcome_; }
  const StoredInfo& stored() const override { return stored_; }
  uint64_t size() const override { return size_; }
  void read(const std::vector<const Channel*>& target,
            const std::function<void(const Message&)>& on_message,
            const std::function<void(uint64_t)>& on_bytes) override;

 private:
  // One prepared statement, finalised however the scope ends.
  class Statement {
   public:
    Statement(const SqliteFile& file, const std::string& sql) : file_(file) {
      if (sqlite3_prepare_v2(file.db_, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
        const std::string error = sqlite3_errmsg(file.db_);
        sqlite3_finalize(statement_);
        file.fail(error);
      }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // True for a row, false at the end; a fault throws, saying what was being done and how
    // many rows came before it.
    bool step(const char* doing = "reading", uint64_t before = 0) {
      const int result = sqlite3_step(statement_);
      if (result == SQLITE_ROW) return true;
      if (result == SQLITE_DONE) return false;
      file_.fail(std::string(doing) + " failed after " + num(before) + " rows (" +
                 sqlite3_errmsg(file_.db_) + ")");
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) const {
      const auto* bytes = sqlite3_column_text(statement_, column);
      return bytes == nullptr
                 ? std::string()
                 : std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
    }
    const uint8_t* blob(int column, uint64_t& size) const {
      const void* bytes = sqlite3_column_blob(statement_, column);
      size = static_cast<uint64_t>(sqlite3_column_bytes(statement_, column));
      return static_cast<const uint8_t*>(bytes);
    }

   private:
    const SqliteFile& file_;
    sqlite3_stmt* statement_ = nullptr;
  };

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(path_ + ": " + what);
  }
  // The column names of `table`; empty when there is no such table.
  std::set<std::string> columns(const std::string& table) const;

  std::string path_;
  sqlite3* db_ = nullptr;
  uint64_t size_ = 0;
  std::vector<Channel> channels_;
  std::unordered_map<int64_t, uint32_t> places_;  // topic id -> place in channels_
  mutable Inventory inventory_;
  mutable bool counted_ = false;
  ReadOutcome outcome_;
  StoredInfo stored_;
};

std::set<std::string> SqliteFile::columns(const std::string& table) const {
  Statement info(*this, "PRAGMA table_info(" + table + ")");
  std::set<std::string> names;
  while (info.step()) names.insert(info.text(1));
  return names;
}

void SqliteFile::open() {
  size_ = size_of(path_);
  const int opened = sqlite3_open_v2(immutable_uri(path_).c_str(), &db_,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  if (opened != SQLITE_OK) {
    fail(db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(opened));
  }
  // A journal beside the file holds what the recorder wrote last and never moved into it.
  const uint64_t journal = size_of(path_ + "-wal") + size_of(path_ + "-journal");
  if (journal > 0) {
    outcome_.recording_closed = false;
    outcome_.index_complete = false;
    outcome_.unreadable_bytes = journal;
  }
  const std::set<std::string> topics = columns("topics");
  const std::set<std::string> messages = columns("messages");
  if (topics.empty() || messages.empty()) {
    fail(std::string("holds no ") + (topics.empty() ? "topics" : "messages") +
         " table: it is no rosbag2 SQLite file");
  }
  for (const char* needed : {"id", "name", "type", "serialization_format"}) {
    if (topics.count(needed) == 0) fail("the topics table has no column " + std::string(needed));
  }
  for (const char* needed : {"id", "topic_id", "timestamp", "data"}) {
    if (messages.count(needed) == 0) {
      fail("the messages table has no column " + std::string(needed));
    }
  }
  std::unordered_map<std::string, std::pair<std::string, std::string>> definitions;
  const std::set<std::string> defined = columns("message_definitions");
  if (defined.count("topic_type") != 0 && defined.count("encoding") != 0 &&
      defined.count("encoded_message_definition") != 0) {
    Statement rows(*this,
                   "SELECT topic_type, encoding, encoded_message_definition "
                   "FROM message_definitions ORDER BY id");
    while (rows.step())
      definitions.emplace(rows.text(0), std::make_pair(rows.text(1), rows.text(2)));
  }
  const std::set<std::string> schema = columns("schema");
  if (schema.count("schema_version") != 0 && schema.count("ros_distro") != 0) {
    Statement rows(*this, "SELECT schema_version, ros_distro FROM schema");
    if (rows.step()) {
      stored_.schema_version = rows.integer(0);
      stored_.ros_distro = rows.text(1);
    }
  }
  const auto optional = [&](const char* column) {
    return topics.count(column) != 0 ? std::string(column) : std::string("''");
  };
  Statement rows(*this, "SELECT id, name, type, serialization_format, " +
                            optional("offered_qos_profiles") + ", " +
                            optional("type_description_hash") + " FROM topics ORDER BY id");
  while (rows.step()) {
    Channel channel;
    channel.topic = rows.text(1);
    channel.type = rows.text(2);
    channel.encoding = rows.text(3);
    channel.qos = rows.text(4);
    channel.type_description_hash = rows.text(5);
    const auto definition = definitions.find(channel.type);
    if (definition != definitions.end()) {
      channel.schema_encoding = definition->second.first;
      channel.schema = definition->second.second;
    }
    if (!places_.emplace(rows.integer(0), static_cast<uint32_t>(channels_.size())).second) {
      fail("the topics table holds topic id " + std::to_string(rows.integer(0)) + " twice");
    }
    channels_.push_back(std::move(channel));
  }
}

const Inventory* SqliteFile::stated_inventory() const {
  if (counted_) return &inventory_;
  Statement rows(*this,
                 "SELECT topic_id, count(*), min(timestamp), max(timestamp) "
                 "FROM messages GROUP BY topic_id");
  inventory_.messages.assign(channels_.size(), 0);
  bool any = false;
  while (rows.step("counting the messages")) {
    const auto found = places_.find(rows.integer(0));
    if (found == places_.end()) continue;  // read() takes no message of an undefined topic
    const uint32_t place = found->second;
    inventory_.messages[place] = static_cast<uint64_t>(rows.integer(1));
    const auto first = static_cast<uint64_t>(std::max<int64_t>(rows.integer(2), 0));
    const auto last = static_cast<uint64_t>(std::max<int64_t>(rows.integer(3), 0));
    inventory_.start = any ? std::min(inventory_.start, first) : first;
    inventory_.end = any ? std::max(inventory_.end, last) : last;
    any = true;
  }
  counted_ = true;
  return &inventory_;
}

void SqliteFile::read(const std::vector<const Channel*>& target,
                      const std::function<void(const Message&)>& on_message,
                      const std::function<void(uint64_t)>& on_bytes) {
  std::string wanted;
  for (const auto& [id, place] : places_) {
    if (target[place] != nullptr) wanted += (wanted.empty() ? "" : ",") + std::to_string(id);
  }
  if (wanted.empty()) {
    if (on_bytes) on_bytes(size_);
    return;
  }
  // Progress goes by log time, whose first and last the timestamp index gives at once.
  int64_t first = 0;
  int64_t last = 0;
  if (on_bytes) {
    Statement range(*this, "SELECT min(timestamp), max(timestamp) FROM messages");
    if (range.step("reading the time range")) {
      first = range.integer(0);
      last = range.integer(1);
    }
  }
  Statement rows(*this, "SELECT topic_id, timestamp, data, id FROM messages WHERE topic_id IN (" +
                            wanted + ") ORDER BY timestamp, id");
  uint64_t done = 0;
  while (rows.step("reading the messages", done)) {
    Message message;
    message.channel = target[places_.at(rows.integer(0))];
    const int64_t timestamp = rows.integer(1);
    if (timestamp < 0) {
      fail("message " + std::to_string(rows.integer(3)) + " has the timestamp " +
           std::to_string(timestamp) + ", before 1970");
    }
    message.log_time = message.publish_time = static_cast<uint64_t>(timestamp);
    message.data = rows.blob(2, message.size);
    on_message(message);
    ++done;
    if (on_bytes && done % kProgressRows == 0 && last > first) {
      const double share =
          static_cast<double>(timestamp - first) / static_cast<double>(last - first);
      on_bytes(static_cast<uint64_t>(static_cast<double>(size_) * std::min(1.0, share)));
    }
  }
  if (on_bytes) on_bytes(size_);
}

}  // namespace

std::unique_ptr<StorageFile> open_sqlite_file(const std::string& path) {
  auto file = std::make_unique<SqliteFile>(path);
  file->open();
  return file;
}

}  // namespace ros2_storage
