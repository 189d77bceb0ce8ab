#include "testing/rosbag2_db.h"

#include <sqlite3.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace drone_test {
namespace {

class Db {
 public:
  explicit Db(const std::string& path) {
    std::remove(path.c_str());
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("open " + path);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
  }

  // Runs `sql` once for each row, its ? bound to the texts, integers and blobs `bind` sets.
  template <class Bind>
  void each(const std::string& sql, size_t rows, const Bind& bind) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) fail(sql);
    for (size_t i = 0; i < rows; ++i) {
      bind(stmt, i);
      const int rc = sqlite3_step(stmt);
      sqlite3_reset(stmt);
      if (rc != SQLITE_DONE) {
        sqlite3_finalize(stmt);
        fail(sql);
      }
    }
    sqlite3_finalize(stmt);
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("SQLite refused " + what + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
};

void text(sqlite3_stmt* stmt, int column, const std::string& s) {
  sqlite3_bind_text(stmt, column, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

}  // namespace

void write_rosbag2_db3(const std::string& path, const std::vector<Db3Topic>& topics,
                       const std::vector<Db3Message>& messages) {
  bool definitions = false;
  for (const Db3Topic& t : topics) definitions = definitions || !t.definition.empty();
  Db db(path);
  db.exec(
      "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
      "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL" +
      std::string(definitions ? ", type_description_hash TEXT NOT NULL)" : ")"));
  db.exec(
      "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, timestamp "
      "INTEGER NOT NULL, data BLOB NOT NULL)");
  db.exec("CREATE INDEX timestamp_idx ON messages (timestamp ASC)");
  const std::string insert_topic = definitions ? "INSERT INTO topics VALUES(?, ?, ?, ?, '', '')"
                                               : "INSERT INTO topics VALUES(?, ?, ?, ?, '')";
  db.each(insert_topic, topics.size(), [&](sqlite3_stmt* stmt, size_t i) {
    sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(i + 1));
    text(stmt, 2, topics[i].name);
    text(stmt, 3, topics[i].type);
    text(stmt, 4, topics[i].serialization_format);
  });
  if (definitions) {
    db.exec(
        "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY, topic_type TEXT NOT NULL, "
        "encoding TEXT NOT NULL, encoded_message_definition TEXT NOT NULL, "
        "type_description_hash TEXT NOT NULL)");
    db.each("INSERT INTO message_definitions VALUES(?, ?, 'ros2msg', ?, '')", topics.size(),
            [&](sqlite3_stmt* stmt, size_t i) {
              sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(i + 1));
              text(stmt, 2, topics[i].type);
              text(stmt, 3, topics[i].definition);
            });
  }
  db.exec("BEGIN");
  db.each("INSERT INTO messages VALUES(?, ?, ?, ?)", messages.size(),
          [&](sqlite3_stmt* stmt, size_t i) {
            const Db3Message& m = messages[i];
            sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(i + 1));
            sqlite3_bind_int64(stmt, 2, m.topic);
            sqlite3_bind_int64(stmt, 3, m.timestamp);
            sqlite3_bind_blob(stmt, 4, m.data.data(), static_cast<int>(m.data.size()),
                              SQLITE_TRANSIENT);
          });
  db.exec("COMMIT");
}

}  // namespace drone_test
