#include "numbers.hpp"

#include <charconv>
#include <cstddef>
#include <limits>
#include <string>
#include <system_error>

namespace kova::numbers {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

char to_lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (to_lower_ascii(text[i]) != lower_word[i]) return false;
  }
  return true;
}

// Decimal grammar: digits [ '.' [digits] ] | '.' digits, then optionally [eE] [sign] digits.
// On success, `magnitude` receives the decimal exponent just above the first significant digit
// and `all_zero` whether there is none; both serve only to tell overflow from underflow when the
// conversion reports a value out of range.
bool is_decimal(std::string_view text, long long& magnitude, bool& all_zero) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  long long integer_digits = 0;
  long long leading_fraction_zeros = 0;
  bool seen_nonzero = false;
  long long significant_integer_digits = 0;
  while (i < n && is_digit(text[i])) {
    if (text[i] != '0') seen_nonzero = true;
    if (seen_nonzero) ++significant_integer_digits;
    ++integer_digits;
    ++i;
  }
  const bool nonzero_in_integer = seen_nonzero;
  long long fraction_digits = 0;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(text[i])) {
      if (!seen_nonzero) {
        if (text[i] == '0') {
          ++leading_fraction_zeros;
        } else {
          seen_nonzero = true;
        }
      }
      ++fraction_digits;
      ++i;
    }
  }
  if (integer_digits + fraction_digits == 0) return false;
  long long exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      negative = text[i] == '-';
      ++i;
    }
    if (i >= n || !is_digit(text[i])) return false;
    constexpr long long kCap = 1'000'000'000'000LL;  // far beyond any double exponent
    while (i < n && is_digit(text[i])) {
      if (exponent < kCap) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (negative) exponent = -exponent;
  }
  if (i != n) return false;
  all_zero = !seen_nonzero;
  magnitude = nonzero_in_integer ? exponent + significant_integer_digits
                                 : exponent - leading_fraction_zeros;
  return true;
}

// Byte length of the Unicode white-space character starting at text[i], or 0.
std::size_t whitespace_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
  };
  const unsigned b0 = byte(i);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (b0 == 0xC2) {
    const unsigned b1 = byte(i + 1);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  }
  if (b0 == 0xE1) {
    return (byte(i + 1) == 0x9A && byte(i + 2) == 0x80) ? 3 : 0;  // U+1680
  }
  if (b0 == 0xE2) {
    const unsigned b1 = byte(i + 1);
    const unsigned b2 = byte(i + 2);
    if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) {
      return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    }
    if (b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
    return 0;
  }
  if (b0 == 0xE3) {
    return (byte(i + 1) == 0x80 && byte(i + 2) == 0x80) ? 3 : 0;  // U+3000
  }
  return 0;
}

// Calls `take(token)` for each token in order until it returns false.
template <class Take>
void for_each_token(std::string_view text, Take&& take) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t skip = whitespace_length(text, i);
    if (skip != 0) {
      i += skip;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && whitespace_length(text, i) == 0) ++i;
    if (!take(text.substr(start, i - start))) return;
  }
}

}  // namespace

std::optional<double> parse_strict_double(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    const double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (equals_ignoring_case(body, "nan")) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  long long magnitude = 0;
  bool all_zero = true;
  if (!is_decimal(body, magnitude, all_zero)) return std::nullopt;
  double value = 0.0;
  const auto [end, error] =
      std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    value = (!all_zero && magnitude > 0) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::vector<std::string_view> split_unicode_whitespace(std::string_view text) {
  std::vector<std::string_view> tokens;
  for_each_token(text, [&](std::string_view token) {
    tokens.push_back(token);
    return true;
  });
  return tokens;
}

std::array<double, 3> parse_vector3(std::string_view text) {
  std::array<double, 3> values{0.0, 0.0, 0.0};
  std::size_t count = 0;
  for_each_token(text, [&](std::string_view token) {
    values[count] = parse_strict_double(token).value_or(0.0);
    ++count;
    return count < 3;
  });
  if (count < 3) return {0.0, 0.0, 0.0};
  return values;
}

}  // namespace kova::numbers
