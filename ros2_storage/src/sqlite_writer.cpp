#include "sqlite_writer.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "safe_output/output_file.h"

namespace ros2_storage {

namespace {

// rosbag2's SQLite schema version of the newer layout.
constexpr int kSchemaVersion = 4;
// A transaction is committed once its messages pass this many bytes.
constexpr uint64_t kTransactionBytes = 32 * 1024 * 1024;

constexpr char kTopicsOnly[] =
    "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,type TEXT NOT NULL,"
    "serialization_format TEXT NOT NULL,offered_qos_profiles TEXT NOT NULL);";
constexpr char kWithDefinitions[] =
    "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY,ros_distro TEXT NOT NULL);"
    "CREATE TABLE metadata(id INTEGER PRIMARY KEY,metadata_version INTEGER NOT NULL,"
    "metadata TEXT NOT NULL);"
    "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,type TEXT NOT NULL,"
    "serialization_format TEXT NOT NULL,offered_qos_profiles TEXT NOT NULL,"
    "type_description_hash TEXT NOT NULL);"
    "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY,topic_type TEXT NOT NULL,"
    "encoding TEXT NOT NULL,encoded_message_definition TEXT NOT NULL,"
    "type_description_hash TEXT NOT NULL);";
constexpr char kMessages[] =
    "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT NULL,"
    "timestamp INTEGER NOT NULL, data BLOB NOT NULL);";

struct Statement {
  sqlite3_stmt* handle = nullptr;
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { reset(); }
  void reset() {
    sqlite3_finalize(handle);
    handle = nullptr;
  }
};

}  // namespace

struct SqliteWriter::Impl {
  safe_output::OutputFile file;
  std::string name;
  std::string file_name;
  WriterOptions options;
  std::string failure;
  bool closed = false;
  sqlite3* db = nullptr;
  Statement insert;
  uint64_t transaction_bytes = 0;
  bool in_transaction = false;

  std::vector<std::pair<Channel, uint64_t>> channels;  // with their message counts
  uint64_t messages = 0;
  uint64_t start = 0;
  uint64_t end = 0;

  explicit Impl(const std::string& path) : file(path), name(path) {}
  ~Impl() {
    insert.reset();
    if (db != nullptr) sqlite3_close_v2(db);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  [[noreturn]] void fail(const std::string& reason) {
    failure = "cannot write output " + name + " (" + reason + ")";
    throw std::runtime_error(failure);
  }
  void check() const {
    if (!failure.empty()) throw std::runtime_error(failure);
    if (closed) throw std::runtime_error("output " + name + " is already closed");
  }
  void check_rc(int rc, const char* step) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
      fail(std::string(step) + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    }
  }
  void exec(const std::string& sql) {
    check_rc(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), sql.c_str());
  }
  void prepare(Statement& statement, const char* sql) {
    check_rc(sqlite3_prepare_v2(db, sql, -1, &statement.handle, nullptr), sql);
  }
  void bind_text(sqlite3_stmt* statement, int column, const std::string& text) {
    check_rc(sqlite3_bind_text(statement, column, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT),
             "bind");
  }
  void run(sqlite3_stmt* statement) {
    check_rc(sqlite3_step(statement), "insert");
    sqlite3_reset(statement);
  }
};

SqliteWriter::SqliteWriter(const std::string& path, std::string file_name,
                           const WriterOptions& options)
    : impl_(std::make_unique<Impl>(path)) {
  Impl& w = *impl_;
  w.file_name = std::move(file_name);
  w.options = options;
  information_.storage_identifier = "sqlite3";
  const std::string error = w.file.open();
  if (!error.empty()) w.fail(error);
  // The temporary file is locked by its writer for its whole life, so SQLite takes no locks of
  // its own ("unix-none"); no journal beside it either, which a signal would leave behind: the
  // file only takes its name once complete, so a failure never leaves a half-written database.
  const int rc = sqlite3_open_v2(w.file.temp_path().c_str(), &w.db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "unix-none");
  if (rc != SQLITE_OK) w.fail(std::string("sqlite: ") + sqlite3_errstr(rc));
  w.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
  w.exec(options.sqlite_layout == SqliteLayout::with_definitions ? kWithDefinitions : kTopicsOnly);
  w.exec(kMessages);
  w.prepare(w.insert, "INSERT INTO messages (topic_id, timestamp, data) VALUES (?, ?, ?);");
}

SqliteWriter::~SqliteWriter() = default;

uint32_t SqliteWriter::add_channel(const Channel& channel) {
  Impl& w = *impl_;
  w.check();
  const bool definitions = w.options.sqlite_layout == SqliteLayout::with_definitions;
  Statement statement;
  w.prepare(statement, definitions
                           ? "INSERT INTO topics (id, name, type, serialization_format, "
                             "offered_qos_profiles, type_description_hash) VALUES (?,?,?,?,?,?);"
                           : "INSERT INTO topics (id, name, type, serialization_format, "
                             "offered_qos_profiles) VALUES (?,?,?,?,?);");
  const auto id = static_cast<uint32_t>(w.channels.size());
  w.check_rc(sqlite3_bind_int64(statement.handle, 1, id + 1), "bind");
  w.bind_text(statement.handle, 2, channel.topic);
  w.bind_text(statement.handle, 3, channel.type);
  w.bind_text(statement.handle, 4, channel.encoding);
  w.bind_text(statement.handle, 5, channel.qos);
  if (definitions) w.bind_text(statement.handle, 6, channel.type_description_hash);
  w.run(statement.handle);
  // One definition a type, as the recorder stores them.
  const bool known_type = std::any_of(w.channels.begin(), w.channels.end(),
                                      [&](const auto& c) { return c.first.type == channel.type; });
  if (definitions && !known_type) {
    Statement definition;
    w.prepare(definition,
              "INSERT INTO message_definitions (topic_type, encoding, "
              "encoded_message_definition, type_description_hash) VALUES (?,?,?,?);");
    w.bind_text(definition.handle, 1, channel.type);
    w.bind_text(definition.handle, 2, channel.schema_encoding);
    w.bind_text(definition.handle, 3, channel.schema);
    w.bind_text(definition.handle, 4, channel.type_description_hash);
    w.run(definition.handle);
  }
  w.channels.emplace_back(channel, 0);
  return id;
}

void SqliteWriter::write(uint32_t channel, uint64_t log_time, uint64_t /*publish_time*/,
                         uint32_t /*sequence*/, const uint8_t* data, uint64_t size) {
  Impl& w = *impl_;
  w.check();
  if (channel >= w.channels.size()) w.fail("no channel " + std::to_string(channel));
  if (size > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
    w.fail("a message of " + std::to_string(size) + " bytes is larger than SQLite stores");
  }
  if (log_time > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    w.fail("a message time of " + std::to_string(log_time) + " ns is beyond SQLite's integers");
  }
  if (!w.in_transaction) {
    w.exec("BEGIN;");
    w.in_transaction = true;
  }
  sqlite3_stmt* insert = w.insert.handle;
  w.check_rc(sqlite3_bind_int64(insert, 1, channel + 1), "bind");
  w.check_rc(sqlite3_bind_int64(insert, 2, static_cast<int64_t>(log_time)), "bind");
  w.check_rc(sqlite3_bind_blob(insert, 3, size == 0 ? "" : static_cast<const void*>(data),
                               static_cast<int>(size), SQLITE_STATIC),
             "bind");
  w.run(insert);
  w.start = w.messages == 0 ? log_time : std::min(w.start, log_time);
  w.end = w.messages == 0 ? log_time : std::max(w.end, log_time);
  ++w.messages;
  ++w.channels[channel].second;
  w.transaction_bytes += size;
  if (w.transaction_bytes > kTransactionBytes) {
    w.exec("COMMIT;");
    w.in_transaction = false;
    w.transaction_bytes = 0;
  }
}

void SqliteWriter::close() {
  Impl& w = *impl_;
  w.check();
  if (w.in_transaction) w.exec("COMMIT;");
  w.in_transaction = false;
  w.exec("CREATE INDEX timestamp_idx ON messages (timestamp ASC);");
  information_.topics.clear();
  for (const auto& [channel, count] : w.channels) information_.topics.push_back({channel, count});
  information_.files = {{w.file_name, w.start, w.end, w.messages}};
  if (w.options.sqlite_layout == SqliteLayout::with_definitions) {
    Statement schema;
    w.prepare(schema, "INSERT INTO schema (schema_version, ros_distro) VALUES (?, ?);");
    w.check_rc(sqlite3_bind_int(schema.handle, 1, kSchemaVersion), "bind");
    w.bind_text(schema.handle, 2,
                w.options.ros_distro.empty() ? ros_distro_of(w.options.source_metadata)
                                             : w.options.ros_distro);
    w.run(schema.handle);
    Statement metadata;
    w.prepare(metadata, "INSERT INTO metadata (metadata_version, metadata) VALUES (?, ?);");
    const std::string yaml = bag_information_yaml(information_, w.options.source_metadata);
    w.check_rc(
        sqlite3_bind_int(metadata.handle, 1, bag_information_version(w.options.source_metadata)),
        "bind");
    w.bind_text(metadata.handle, 2, yaml);
    w.run(metadata.handle);
  }
  w.insert.reset();
  const int rc = sqlite3_close(w.db);
  w.db = nullptr;
  if (rc != SQLITE_OK) w.fail(std::string("sqlite: ") + sqlite3_errstr(rc));
  const std::string error = w.file.commit();
  if (!error.empty()) w.fail(error);
  w.closed = true;
}

}  // namespace ros2_storage
