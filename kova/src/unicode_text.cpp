#include "unicode_text.hpp"

#include <algorithm>
#include <vector>

#include "unicode_lowercase_table.hpp"

namespace kova::unicode {
namespace {

namespace tables = unicode_tables;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

bool is_continuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF) {
  return byte >= low && byte <= high;
}

bool in_ranges(const tables::CodePointRange* ranges, std::size_t count, char32_t cp) {
  const auto* end = ranges + count;
  const auto* it = std::upper_bound(
      ranges, end, cp,
      [](char32_t value, const tables::CodePointRange& r) { return value < r.first; });
  return it != ranges && cp <= (it - 1)->last;
}

// Lower case of one code point into `out`, ignoring context.
void append_lower(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
    return;
  }
  const auto* multi_end = tables::kMultiLowercase + tables::kMultiLowercaseCount;
  const auto* multi =
      std::find_if(tables::kMultiLowercase, multi_end,
                   [cp](const tables::MultiLowercase& m) { return m.code_point == cp; });
  if (multi != multi_end) {
    for (std::uint32_t i = 0; i < multi->length; ++i) append_utf8(out, multi->lower[i]);
    return;
  }
  const auto* runs_end = tables::kLowercaseRuns + tables::kLowercaseRunCount;
  const auto* run = std::upper_bound(
      tables::kLowercaseRuns, runs_end, cp,
      [](char32_t value, const tables::LowercaseRun& r) { return value < r.first; });
  if (run != tables::kLowercaseRuns) {
    --run;
    if (cp <= run->last && (cp - run->first) % run->stride == 0) {
      cp = static_cast<char32_t>(static_cast<std::int64_t>(cp) + run->delta);
    }
  }
  append_utf8(out, cp);
}

// Skips case-ignorable code points and tells whether the next one is cased.
template <class It>
bool case_ignorable_then_cased(It first, It last) {
  for (; first != last; ++first) {
    if (!is_case_ignorable(*first)) return is_cased(*first);
  }
  return false;
}

}  // namespace

bool is_cased(char32_t code_point) {
  return in_ranges(tables::kCased, tables::kCasedCount, code_point);
}

bool is_case_ignorable(char32_t code_point) {
  return in_ranges(tables::kCaseIgnorable, tables::kCaseIgnorableCount, code_point);
}

char32_t decode_utf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 1; k < length; ++k, ++i) {
    const bool ok = i < text.size() &&
                    (k == 1 ? is_continuation(byte(i), low, high) : is_continuation(byte(i)));
    if (!ok) {
      pos = i;
      return kReplacementCharacter;
    }
    cp = (cp << 6) | (byte(i) & 0x3Fu);
  }
  pos = i;
  return cp;
}

// Checked byte by byte rather than through decode_utf8: the library validates whole files of up to
// 256 MiB with it. Accepts exactly the sequences decode_utf8 decodes without substitution.
bool is_valid_utf8(std::string_view text) {
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

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string to_utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) append_utf8(out, decode_utf8(text, pos));
  return out;
}

std::string to_lowercase(std::string_view text) {
  std::vector<char32_t> code_points;
  code_points.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) code_points.push_back(decode_utf8(text, pos));

  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    const char32_t cp = code_points[i];
    if (cp != kCapitalSigma) {
      append_lower(out, cp);
      continue;
    }
    // Final sigma: a cased letter before (case-ignorables skipped) and none after.
    const bool word_final =
        case_ignorable_then_cased(
            code_points.rbegin() + static_cast<std::ptrdiff_t>(code_points.size() - i),
            code_points.rend()) &&
        !case_ignorable_then_cased(code_points.begin() + static_cast<std::ptrdiff_t>(i + 1),
                                   code_points.end());
    append_utf8(out, word_final ? kFinalSigma : kSmallSigma);
  }
  return out;
}

}  // namespace kova::unicode
