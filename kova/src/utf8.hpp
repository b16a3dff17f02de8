// UTF-8 well-formedness, as required of text files read by the library.
#pragma once

#include <string_view>

namespace kova::utf8 {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
bool is_valid(std::string_view text);

}  // namespace kova::utf8
