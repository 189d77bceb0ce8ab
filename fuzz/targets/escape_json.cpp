// The JSON string escaping on any bytes: what comes out must be the inside of a JSON string,
// whatever went in.
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/escape_json.h"
#include "fuzz_input.h"

namespace {

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when `s` between two quotation marks is a JSON string: no raw quotation mark or control
// byte, and every backslash starts one of the escapes JSON knows.
bool json_string_body(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') continue;
    if (++i == s.size()) return false;
    const char e = s[i];
    if (e == 'u') {
      if (s.size() - i <= 4) return false;
      for (size_t k = 1; k <= 4; ++k) {
        if (!is_hex(s[i + k])) return false;
      }
      i += 4;
    } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  drone_fuzz::expect(json_string_body(drone_task::escape_json(text)), "escaped text is JSON");
  return 0;
}
