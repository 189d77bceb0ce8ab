#pragma once

#include <string>

namespace drone_task {

// Escapes a text for use inside a JSON string literal. Quotation mark, backslash, backspace,
// form feed, newline, carriage return and tab get their two-character escapes; the other
// bytes below 0x20 become \u00XX. Bytes from 0x20 up (the slash, 0x7F and UTF-8 sequences
// included) are copied unchanged, so valid UTF-8 in gives valid JSON out.
std::string escape_json(const std::string& text);

}  // namespace drone_task
