// JSON string literals, written one way for every caller (varn info --json,
// json cells of varn cat, the monitor's JSON export).
#pragma once

#include <string>
#include <string_view>

namespace varn {

enum class JsonComma {
    kKeep,    // the comma written as it is
    kEscape,  // the comma written as \u002c, so that the literal can sit in a
              // comma-separated field and a comma appears only between members
};

// Appends `text` as a JSON string literal: quote and backslash escaped,
// \b \f \n \r \t in their short forms, the other bytes below 0x20 as \u00XX.
// Well-formed UTF-8 sequences (and DEL) are copied as they are; a byte that
// is not part of one is written as \u00XX, so the output is always valid
// UTF-8 (such a byte reads back as the code point U+00XX).
void append_json_string(std::string_view text, std::string& out, JsonComma comma = JsonComma::kKeep);

}  // namespace varn
