#include "framework/json_writer.h"

#include <iomanip>
#include <locale>

#include "framework/escape_json.h"

namespace drone_task {

JsonWriter::JsonWriter(int decimals) {
  out_.imbue(std::locale::classic());
  out_ << std::fixed << std::setprecision(decimals);
}

void JsonWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) out_ << ',';
  first_.back() = false;
}

JsonWriter& JsonWriter::begin_object() {
  separate();
  out_ << '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_ << '}';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  separate();
  out_ << '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_ << ']';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(const std::string& name) {
  separate();
  out_ << '"' << escape_json(name) << "\":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(const std::string& text) {
  separate();
  out_ << '"' << escape_json(text) << '"';
  return *this;
}

JsonWriter& JsonWriter::value(const char* text) { return value(std::string(text)); }

JsonWriter& JsonWriter::value(bool flag) {
  separate();
  out_ << (flag ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  separate();
  out_ << number;
  return *this;
}

JsonWriter& JsonWriter::raw(const std::string& json) {
  separate();
  out_ << json;
  return *this;
}

JsonWriter& JsonWriter::value(const std::vector<std::string>& texts) {
  begin_array();
  for (const std::string& text : texts) value(text);
  return end_array();
}

JsonWriter& JsonWriter::signed_integer(long long number) {
  separate();
  out_ << number;
  return *this;
}

JsonWriter& JsonWriter::unsigned_integer(unsigned long long number) {
  separate();
  out_ << number;
  return *this;
}

std::string failure_document(const std::string& error) {
  JsonWriter doc;
  doc.begin_object().field("success", false).field("error", error).end_object();
  return doc.str();
}

std::string error_metadata(const std::string& error) {
  JsonWriter doc;
  doc.begin_object().field("error", error).end_object();
  return doc.str();
}

}  // namespace drone_task
