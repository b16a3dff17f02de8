// Resolution of YAML scalars to typed values (YAML 1.2 core schema).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kova::yaml {

// An integer in the range [-2^63, 2^64 - 1]: value = negative ? -magnitude : magnitude.
struct Integer {
  bool negative = false;
  std::uint64_t magnitude = 0;

  // The value when it fits in a signed 64-bit integer.
  std::optional<std::int64_t> to_i64() const;
  // The nearest double.
  double to_double() const;
  bool operator==(const Integer&) const = default;
};

enum class ScalarKind : std::uint8_t { Null, Bool, Int, Float, String };

struct ResolvedScalar {
  ScalarKind kind = ScalarKind::String;
  bool boolean = false;
  Integer integer;
  double number = 0.0;
};

// Plain (unquoted, untagged) scalar under the core schema:
//   null  ~ null Null NULL and the empty scalar
//   bool  true True TRUE false False FALSE
//   int   [-+]?[0-9]+, 0o[0-7]+, 0x[0-9a-fA-F]+, 0b[01]+
//   float [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?, [-+]?\.(inf|Inf|INF),
//         \.(nan|NaN|NAN)
// Anything else is a string. A decimal integer outside the integer range is read as the nearest
// double; a prefixed one too large for 64 bits stays a string.
ResolvedScalar resolve_plain_scalar(std::string_view text);

// Readers for the single kinds, used for explicitly tagged scalars (!!int, !!float, ...).
std::optional<bool> parse_bool(std::string_view text);
bool is_null(std::string_view text);
std::optional<Integer> parse_integer(std::string_view text);
std::optional<double> parse_float(std::string_view text);

}  // namespace kova::yaml
