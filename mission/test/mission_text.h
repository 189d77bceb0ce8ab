#pragma once

// Mission texts for the tests: waypoints described member by member as raw JSON, so a test can
// put any value (or no value) into any member.
#include <string>
#include <utility>
#include <vector>

namespace mission_test {

class Waypoint {
 public:
  // A waypoint that passes every rule: all nine members, numbers, light 50, action `action`.
  explicit Waypoint(int id, int action = 1)
      : members_{{"id", std::to_string(id)},
                 {"x", "1.5"},
                 {"y", "-2.25"},
                 {"z", "10"},
                 {"yaw", "0.5"},
                 {"action", std::to_string(action)},
                 {"light", "50"},
                 {"p1", "0"},
                 {"p2", "0"}} {}

  // Sets member `name` to the raw JSON text `raw`, adding it at the end when it is new.
  Waypoint& set(const std::string& name, const std::string& raw) {
    for (auto& m : members_) {
      if (m.first == name) {
        m.second = raw;
        return *this;
      }
    }
    members_.emplace_back(name, raw);
    return *this;
  }

  Waypoint& drop(const std::string& name) {
    for (auto it = members_.begin(); it != members_.end(); ++it) {
      if (it->first == name) {
        members_.erase(it);
        break;
      }
    }
    return *this;
  }

  std::string json() const {
    std::string out = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (i > 0) out += ',';
      out += '"' + members_[i].first + "\":" + members_[i].second;
    }
    return out + "}";
  }

 private:
  std::vector<std::pair<std::string, std::string>> members_;
};

// {"tasks":[<raw>,<raw>,...]} from raw JSON texts of the waypoints.
inline std::string mission_of_raw(const std::vector<std::string>& raw_waypoints) {
  std::string out = "{\"name\":\"test\",\"tasks\":[";
  for (std::size_t i = 0; i < raw_waypoints.size(); ++i) {
    if (i > 0) out += ',';
    out += raw_waypoints[i];
  }
  return out + "]}";
}

inline std::string mission_of(const std::vector<Waypoint>& waypoints) {
  std::vector<std::string> raw;
  raw.reserve(waypoints.size());
  for (const Waypoint& w : waypoints) raw.push_back(w.json());
  return mission_of_raw(raw);
}

}  // namespace mission_test
