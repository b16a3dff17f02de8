// UTF-8 helpers: validation, lossy display and full Unicode lower-casing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kova::unicode {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// True when `text` is well-formed UTF-8 (no surrogates, overlongs or values beyond U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Decodes one code point at `pos` and advances `pos`. A malformed sequence yields U+FFFD and
// advances past its maximal valid prefix (at least one byte), the usual substitution practice.
char32_t decode_utf8(std::string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t code_point);

// Copy of `text` with every malformed sequence replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view text);

// Full Unicode lower case: multi-code-point mappings (U+0130 -> "i\u0307") and the final-sigma
// rule included. Malformed input is read lossily.
std::string to_lowercase(std::string_view text);

bool is_cased(char32_t code_point);
bool is_case_ignorable(char32_t code_point);

}  // namespace kova::unicode
