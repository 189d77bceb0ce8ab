#pragma once

// Helpers for fuzz entries whose library takes paths, not bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "testing/temp_dir.h"

namespace drone_fuzz {

// One fuzz input written to the file `name` in a fresh temporary directory; the directory and
// everything the entry wrote beside the input go when this goes.
class InputFile {
 public:
  InputFile(const uint8_t* data, size_t size, const std::string& name);

  // The input's path.
  const std::string& path() const { return path_; }
  // A path beside the input for what the entry writes (outputs, further inputs).
  std::string beside(const std::string& name) const { return dir_.file(name); }
  // The temporary directory holding the input.
  const std::string& dir() const { return dir_.path(); }

 private:
  drone_test::TempDir dir_;
  std::string path_;
};

// Ends the process with a report on standard error when an entry's result breaks its contract,
// so that libFuzzer and the replay tests count it as a finding.
void expect(bool holds, const char* what);

}  // namespace drone_fuzz
