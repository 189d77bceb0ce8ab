#pragma once

#include <string>

namespace drone_task {

// Escapes a text for use inside a JSON string literal. Quotation mark, backslash, backspace,
// form feed, newline, carriage return and tab get their two-character escapes; the other
// bytes below 0x20 become \u00XX. Well-formed UTF-8 sequences and the other bytes from 0x20 to
// 0x7F (the slash included) are copied unchanged; every byte that is not part of a well-formed
// UTF-8 sequence (a path in another encoding, a cut sequence) becomes \u00XX of its value, so
// the result is always valid UTF-8 and valid JSON.
std::string escape_json(const std::string& text);

}  // namespace drone_task
