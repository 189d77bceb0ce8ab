#include "framework/params.h"

#include <cctype>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>

namespace drone_task {

Params::Params(const ParamMap& values) : values_(values) {}

bool Params::has(const std::string& key) const { return values_.count(key) != 0; }

std::string Params::get_string(const std::string& key, const std::string& def) const {
  const auto it = values_.find(key);
  return it == values_.end() ? def : it->second;
}

int Params::get_int(const std::string& key, int def) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  try {
    return std::stoi(it->second);
  } catch (const std::exception&) {
    return def;
  }
}

double Params::get_double(const std::string& key, double def) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  try {
    return std::stod(it->second);
  } catch (const std::exception&) {
    return def;
  }
}

double Params::get_finite_double(const std::string& key, double def) const {
  const double value = get_double(key, def);
  if (!std::isfinite(value)) {
    throw std::runtime_error("参数 --" + key + " 必须是有限数值: " + values_.at(key));
  }
  return value;
}

bool Params::get_bool(const std::string& key, bool def) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return def;
  std::string v = it->second;
  for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return v == "true" || v == "1" || v == "yes" || v == "on";
}

std::string Params::get_path(const std::string& key, const std::string& def) const {
  return get_string(key, def);
}

}  // namespace drone_task
