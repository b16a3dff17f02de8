// The shortest decimal text that reads back to the same double, written without an exponent:
// 1.0 -> "1", 0.5 -> "0.5", 1e-7 -> "0.0000001", NaN -> "NaN", infinities -> "inf" / "-inf".
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace kova_py {

inline std::string shortest_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Scientific form with the fewest significant digits that round-trip: [-]d[.ddd]e[+-]xx.
  char buffer[64];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (error != std::errc()) return "NaN";  // cannot happen: the buffer holds any double
  const std::string text(buffer, end);
  const std::size_t e = text.find('e');
  std::string digits;
  std::string sign;
  for (std::size_t i = 0; i < e; ++i) {
    if (text[i] == '-')
      sign = "-";
    else if (text[i] != '.')
      digits += text[i];
  }
  const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
  // The decimal point sits after `point` digits of `digits`.
  const long point = exponent + 1;
  const long count = static_cast<long>(digits.size());
  std::string result = sign;
  if (point <= 0) {
    result += "0.";
    result.append(static_cast<std::size_t>(-point), '0');
    result += digits;
  } else if (point >= count) {
    result += digits;
    result.append(static_cast<std::size_t>(point - count), '0');
  } else {
    result += digits.substr(0, static_cast<std::size_t>(point));
    result += '.';
    result += digits.substr(static_cast<std::size_t>(point));
  }
  return result;
}

}  // namespace kova_py
