#include "yaml_scalar.hpp"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace kova::yaml {
namespace {

constexpr std::uint64_t kMinI64Magnitude = std::uint64_t{1} << 63;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_octal_digit(char c) {
  return c >= '0' && c <= '7';
}
bool is_binary_digit(char c) {
  return c == '0' || c == '1';
}

bool all_of(std::string_view text, bool (*pred)(char)) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!pred(c)) return false;
  }
  return true;
}

// nullopt when the digits do not fit in 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view digits, int base) {
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// Decimal float syntax of the core schema, without the special forms.
bool is_decimal_float(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    std::size_t count = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++count;
    return count;
  };
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  const std::size_t int_digits = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    // "1." and ".5" are floats, "." is not.
    if (digits() == 0 && int_digits == 0) return false;
  } else if (int_digits == 0) {
    return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

std::optional<double> parse_decimal_double(std::string_view text) {
  if (!is_decimal_float(text)) return std::nullopt;
  std::string_view body = text;
  if (body.front() == '+') body.remove_prefix(1);
  double value = 0.0;
  const auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Overflow or underflow: from_chars leaves no value, strtod gives the nearest double.
    // The "C" locale keeps the decimal point a '.' whatever the process locale.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return strtod_l(std::string(body).c_str(), nullptr, c_locale);
  }
  if (error != std::errc() || end != body.data() + body.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::int64_t> Integer::to_i64() const {
  if (!negative) {
    if (magnitude >= kMinI64Magnitude) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude == kMinI64Magnitude) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

double Integer::to_double() const {
  const double value = static_cast<double>(magnitude);
  return negative ? -value : value;
}

bool is_null(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> parse_bool(std::string_view text) {
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  return std::nullopt;
}

std::optional<Integer> parse_integer(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'o' || text[1] == 'b')) {
    const std::string_view digits = text.substr(2);
    const char prefix = text[1];
    const bool well_formed = (prefix == 'x' && all_of(digits, is_hex_digit)) ||
                             (prefix == 'o' && all_of(digits, is_octal_digit)) ||
                             (prefix == 'b' && all_of(digits, is_binary_digit));
    if (!well_formed) return std::nullopt;
    const auto value = parse_unsigned(digits, prefix == 'x' ? 16 : prefix == 'o' ? 8 : 2);
    if (!value) return std::nullopt;
    return Integer{false, *value};
  }
  bool negative = false;
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (!all_of(digits, is_digit)) return std::nullopt;
  const auto magnitude = parse_unsigned(digits, 10);
  if (!magnitude) return std::nullopt;
  if (negative && *magnitude > kMinI64Magnitude) return std::nullopt;
  return Integer{negative && *magnitude != 0, *magnitude};  // -0 is the integer 0
}

std::optional<double> parse_float(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    const double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return parse_decimal_double(text);
}

ResolvedScalar resolve_plain_scalar(std::string_view text) {
  ResolvedScalar out;
  if (is_null(text)) {
    out.kind = ScalarKind::Null;
  } else if (const auto b = parse_bool(text)) {
    out.kind = ScalarKind::Bool;
    out.boolean = *b;
  } else if (const auto i = parse_integer(text)) {
    out.kind = ScalarKind::Int;
    out.integer = *i;
  } else if (const auto f = parse_float(text)) {
    // Also takes decimal integers beyond the integer range, as the nearest double.
    out.kind = ScalarKind::Float;
    out.number = *f;
  } else {
    out.kind = ScalarKind::String;
  }
  return out;
}

}  // namespace kova::yaml
