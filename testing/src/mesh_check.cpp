#include "testing/mesh_check.h"

#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>

#include "testing/process.h"

namespace drone_test {

namespace {

// The text after "key": in the one JSON line of the checker, up to the next ',' or '}' (a list
// up to its ']').
std::string field(const std::string& line, const std::string& key) {
  const std::string mark = "\"" + key + "\": ";
  const size_t at = line.find(mark);
  if (at == std::string::npos) return {};
  const size_t start = at + mark.size();
  const size_t end =
      line[start] == '[' ? line.find(']', start) + 1 : line.find_first_of(",}", start);
  return line.substr(start, end - start);
}

}  // namespace

MeshCheck check_mesh(const std::string& path) {
  const char* src = std::getenv("DRONE_SOURCE_DIR");
  if (src == nullptr) throw std::runtime_error("DRONE_SOURCE_DIR is not set (run through ctest)");
  const ProcessResult run =
      run_process({"/usr/bin/python3", std::string(src) + "/testing/scripts/mesh_check.py", path},
                  {}, {"PYTHONPATH", "PYTHONHOME"});
  MeshCheck out;
  if (run.exit_code != 0 || run.out.empty()) {
    out.error = "exit " + std::to_string(run.exit_code) + ": " + run.err;
    return out;
  }
  const std::string& line = run.out;
  out.read = true;
  out.vertices = std::stol(field(line, "vertices"));
  out.triangles = std::stol(field(line, "triangles"));
  out.degenerate = std::stol(field(line, "degenerate"));
  out.boundary = std::stol(field(line, "boundary_edges"));
  out.nonmanifold = std::stol(field(line, "nonmanifold_edges"));
  out.misoriented = std::stol(field(line, "misoriented_edges"));
  out.volume = std::stod(field(line, "volume"));
  const std::string pieces = field(line, "pieces");
  const std::regex number(R"([-+0-9.eE]+)");
  for (std::sregex_iterator it(pieces.begin(), pieces.end(), number), end; it != end; ++it) {
    out.pieces.push_back(std::stod(it->str()));
  }
  const std::string layers = field(line, "layers");
  const std::regex quoted("\"([^\"]*)\"");
  for (std::sregex_iterator it(layers.begin(), layers.end(), quoted), end; it != end; ++it) {
    out.layers.push_back((*it)[1].str());
  }
  return out;
}

}  // namespace drone_test
