#include "livox_msgs/frame_schema.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace livox_msgs {
namespace {

struct Field {
  std::string type;  // as written, "/msg/" taken out: "std_msgs/Header", "uint8[3]"
  std::string name;
};
using Fields = std::vector<Field>;

// A ros2msg definition text: the message's own fields, then each dependency after a line of '='
// and a line "MSG: <package>/<Type>".
struct Definition {
  Fields main;
  std::vector<std::pair<std::string, Fields>> dependencies;

  // The fields of the type written `type` in a field (without array suffix): by its full name,
  // or by its last part when written without a package; nullptr when the text does not hold it.
  const Fields* find(const std::string& type) const {
    const bool bare = type.find('/') == std::string::npos;
    for (const auto& d : dependencies) {
      const std::string& name = d.first;
      if (name == type) return &d.second;
      if (bare && name.size() > type.size() && name[name.size() - type.size() - 1] == '/' &&
          name.compare(name.size() - type.size(), type.size(), type) == 0) {
        return &d.second;
      }
    }
    return nullptr;
  }
};

// "pkg/msg/Type" and "pkg/Type" name the same type.
std::string without_msg(std::string type) {
  const size_t at = type.find("/msg/");
  if (at != std::string::npos) type.erase(at, 4);
  return type;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

Definition parse(const std::string& text) {
  Definition d;
  Fields* section = &d.main;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    const std::vector<std::string> w = words(line);
    if (w.empty()) continue;
    if (w[0].find_first_not_of('=') == std::string::npos) continue;  // a separator line
    if (w[0] == "MSG:") {
      d.dependencies.emplace_back(w.size() > 1 ? without_msg(w[1]) : std::string(), Fields{});
      section = &d.dependencies.back().second;
      continue;
    }
    // A constant ("int32 X=1", "string S = a") is no field of the serialised message; a bound
    // ("uint8[<=3]", "string<=8") is part of the type.
    if (w.size() < 2 || line.find('=', line.find(w[0]) + w[0].size()) != std::string::npos) {
      continue;
    }
    section->push_back({without_msg(w[0]), w[1]});
  }
  return d;
}

bool same(const Fields& fields, const std::vector<Field>& expected) {
  if (fields.size() != expected.size()) return false;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].type != expected[i].type || fields[i].name != expected[i].name) return false;
  }
  return true;
}

// A field of a message type whose layout `matches` checks, or, where the definition leaves the
// type out, one of ROS's own named `builtin`.
template <class Matches>
bool nested(const Definition& d, const std::string& type, const char* builtin,
            const Matches& matches) {
  const Fields* fields = d.find(type);
  if (fields != nullptr) return matches(*fields);
  return builtin != nullptr && type == builtin;
}

bool is_time(const Fields& f) { return same(f, {{"int32", "sec"}, {"uint32", "nanosec"}}); }

bool is_header(const Definition& d, const Fields& f) {
  return f.size() == 2 && f[0].name == "stamp" &&
         nested(d, f[0].type, "builtin_interfaces/Time", is_time) && f[1].type == "string" &&
         f[1].name == "frame_id";
}

bool is_point(const Fields& f) {
  return same(f, {{"uint32", "offset_time"},
                  {"float32", "x"},
                  {"float32", "y"},
                  {"float32", "z"},
                  {"uint8", "reflectivity"},
                  {"uint8", "tag"},
                  {"uint8", "line"}});
}

// The element type of a sequence field ("CustomPoint[]", bounded "CustomPoint[<=N]"), or empty.
std::string sequence_of(const std::string& type) {
  if (type.size() > 2 && type.compare(type.size() - 2, 2, "[]") == 0) {
    return type.substr(0, type.size() - 2);
  }
  const size_t bounded = type.find("[<=");
  if (bounded != std::string::npos && type.back() == ']') return type.substr(0, bounded);
  return "";
}

bool is_frame(const std::string& text) {
  const Definition d = parse(text);
  const Fields& f = d.main;
  if (f.size() != 6) return false;
  const std::vector<std::pair<const char*, const char*>> plain = {
      {"uint64", "timebase"}, {"uint32", "point_num"}, {"uint8", "lidar_id"}, {"uint8[3]", "rsvd"}};
  for (size_t i = 0; i < plain.size(); ++i) {
    if (f[i + 1].type != plain[i].first || f[i + 1].name != plain[i].second) return false;
  }
  if (f[0].name != "header" || f[5].name != "points") return false;
  const bool header =
      nested(d, f[0].type, "std_msgs/Header", [&](const Fields& h) { return is_header(d, h); });
  const std::string point = sequence_of(f[5].type);
  return header && !point.empty() && nested(d, point, nullptr, is_point);
}

}  // namespace

bool is_livox_frame_type(const std::string& type, const std::string& schema_encoding,
                         const std::string& schema) {
  if (schema_encoding == "ros2msg" && !schema.empty()) return is_frame(schema);
  return type == "livox_ros_driver2/msg/CustomMsg" || type == "livox_ros_driver/msg/CustomMsg";
}

}  // namespace livox_msgs
