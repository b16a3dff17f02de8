#include "utf8.hpp"

#include <cstddef>

namespace kova::utf8 {

bool is_valid(std::string_view text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const auto continuation = [&](std::size_t k) { return k < n && (at(k) & 0xC0u) == 0x80u; };
  while (i < n) {
    const unsigned b0 = at(i);
    if (b0 < 0x80) {
      ++i;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (!continuation(i + 1)) return false;
      i += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (!continuation(i + 1) || !continuation(i + 2)) return false;
      const unsigned b1 = at(i + 1);
      if (b0 == 0xE0 && b1 < 0xA0) return false;   // overlong
      if (b0 == 0xED && b1 >= 0xA0) return false;  // surrogate
      i += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return false;
      const unsigned b1 = at(i + 1);
      if (b0 == 0xF0 && b1 < 0x90) return false;   // overlong
      if (b0 == 0xF4 && b1 >= 0x90) return false;  // above U+10FFFF
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace kova::utf8
