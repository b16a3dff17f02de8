#include "config_text.hpp"

#include <charconv>
#include <cmath>

#include "unicode_text.hpp"

namespace kova {

std::string number_text(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  std::string text(buffer, end);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// A scalar's text as it may appear in a one-line message: printable, at most 60 bytes.
std::string excerpt(std::string_view text) {
  constexpr std::size_t kMaxExcerpt = 60;
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size() && out.size() < kMaxExcerpt) {
    const char32_t c = unicode::decode_utf8(text, pos);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else {
      unicode::append_utf8(out, c);
    }
  }
  if (pos < text.size()) out += "...";
  return out;
}

}  // namespace kova
