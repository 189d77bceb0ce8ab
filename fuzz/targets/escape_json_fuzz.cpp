// The JSON string escaping on any bytes: what comes out must be the inside of a JSON string in
// well-formed UTF-8, whatever went in, and must give back exactly the bytes that went in.
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/escape_json.h"
#include "fuzz_input.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes that the body `s` of a JSON string stands for, reading each \u00XX as the byte XX,
// as the escaping writes bytes that are not text; false when `s` is not such a body (a raw
// quotation mark or control byte, an unknown escape, or \u above 00FF).
bool unescape(const std::string& s, std::string* bytes) {
  static const std::string kPlain = "\"\\/bfnrt";
  static const std::string kMeant = "\"\\/\b\f\n\r\t";
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') {
      *bytes += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    if (s[i] == 'u') {
      if (s.size() - i <= 4 || s.compare(i + 1, 2, "00") != 0) return false;
      const int high = hex_value(s[i + 3]), low = hex_value(s[i + 4]);
      if (high < 0 || low < 0) return false;
      *bytes += static_cast<char>(high * 16 + low);
      i += 4;
    } else if (kPlain.find(s[i]) != std::string::npos) {
      *bytes += kMeant[kPlain.find(s[i])];
    } else {
      return false;
    }
  }
  return true;
}

// True when `s` is well-formed UTF-8: no stray continuation byte, overlong form, surrogate or
// code point above U+10FFFF.
bool valid_utf8(const std::string& s) {
  static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const size_t more = lead < 0x80 ? 0 : lead < 0xC0 ? 4 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    if (more == 4 || lead >= 0xF8 || s.size() - i <= more) return false;
    uint32_t code = more == 0 ? lead : lead & (0x3Fu >> more);
    for (size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      code = code << 6 | (c & 0x3Fu);
    }
    if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string escaped = drone_task::escape_json(text);
  std::string back;
  drone_fuzz::expect(unescape(escaped, &back), "escaped text is the body of a JSON string");
  drone_fuzz::expect(back == text, "escaped text stands for the bytes given");
  drone_fuzz::expect(valid_utf8(escaped), "escaped text is well-formed UTF-8");
  return 0;
}
