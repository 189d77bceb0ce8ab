#pragma once

#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace drone_task {

// Builds one compact JSON document in the order it is written, the way every task's result
// document is built. Commas and colons are placed by the writer; keys and string values are
// escaped by escape_json(); integers are written in full; doubles in fixed notation with the
// number of decimals given at construction. Numbers never take digit grouping or a decimal comma
// from the process's global locale. NaN and infinities are written as the stream prints them
// ("nan", "inf"); the caller keeps them out where the document must parse. The caller balances
// every begin_* with its end_* and writes a key before each value inside an object; the writer
// does not check either. Never throws on its own account (only std::bad_alloc).
class JsonWriter {
 public:
  // `decimals`: digits after the decimal point of every double written.
  explicit JsonWriter(int decimals = 2);

  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();

  // The key of the next value inside an object.
  JsonWriter& key(const std::string& name);

  JsonWriter& value(const std::string& text);
  JsonWriter& value(const char* text);
  JsonWriter& value(bool flag);
  JsonWriter& value(double number);
  template <class T,
            std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value, int> = 0>
  JsonWriter& value(T number) {
    // Through the widest type of the same sign, so that char-sized integers print as numbers.
    if constexpr (std::is_signed<T>::value) {
      return signed_integer(static_cast<long long>(number));
    } else {
      return unsigned_integer(static_cast<unsigned long long>(number));
    }
  }

  // key(name) followed by value(v).
  template <class T>
  JsonWriter& field(const std::string& name, const T& v) {
    key(name);
    return value(v);
  }

  // A complete JSON value that the caller has already written (a document, "{}"), inserted
  // verbatim: never parsed, checked or escaped.
  JsonWriter& raw(const std::string& json);

  // An array of strings as one value.
  JsonWriter& value(const std::vector<std::string>& texts);

  // The document written so far.
  std::string str() const { return out_.str(); }

 private:
  // Writes the comma that separates this element from the previous one in its container.
  void separate();
  JsonWriter& signed_integer(long long number);
  JsonWriter& unsigned_integer(unsigned long long number);

  std::ostringstream out_;
  // One entry per open container: true until its first element is written.
  std::vector<bool> first_;
  // True between a key and its value, where no comma goes.
  bool after_key_ = false;
};

// The failure document of every task: {"success":false,"error":"<escaped error>"}, which the
// reporter marks as failed.
std::string failure_document(const std::string& error);

// The metadata of the entry's error report: {"error":"<escaped error>"}.
std::string error_metadata(const std::string& error);

}  // namespace drone_task
