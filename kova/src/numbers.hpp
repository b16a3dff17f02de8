// Number reading for robot description attributes.
//
// Single numbers are parsed strictly and exactly as written: an optional sign, then decimal digits
// with an optional fraction and exponent, or one of the words inf, infinity, nan in any letter
// case. Blanks, hexadecimal and trailing text are refused, so the caller's default applies.
// Number lists split on Unicode white space; a token that does not parse still counts, as 0.0.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace kova::numbers {

// The value of `text`, or nullopt when `text` is not exactly one number. Out-of-range magnitudes
// round to infinity or zero, as decimal-to-double conversion does.
std::optional<double> parse_strict_double(std::string_view text);

// Splits UTF-8 text on runs of Unicode white space (the White_Space property); empty tokens are
// never produced.
std::vector<std::string_view> split_unicode_whitespace(std::string_view text);

// Reads a three-number list: the first three tokens, each parsed strictly (0.0 when it does not
// parse), or (0, 0, 0) when the text holds fewer than three tokens. Reads at most three tokens.
std::array<double, 3> parse_vector3(std::string_view text);

}  // namespace kova::numbers
