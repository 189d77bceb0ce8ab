#include "framework/escape_json.h"

#include <string>

namespace drone_task {

namespace {

// Bytes of the well-formed UTF-8 sequence starting at text[i] (a byte from 0x80 up), or 0 when
// none starts there: a stray continuation byte, a truncated sequence, an overlong form, a
// surrogate or a code point above U+10FFFF.
size_t utf8_sequence_length(const std::string& text, size_t i) {
  const auto at = [&text](size_t k) {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
  };
  const unsigned lead = at(i);
  size_t length = 0;
  unsigned low = 0x80;  // the range of the second byte, narrowed for some leads
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string escape_json(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const size_t length = utf8_sequence_length(text, i);
      if (length > 0) {
        out.append(text, i, length);
        i += length;
      } else {
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
        ++i;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace drone_task
