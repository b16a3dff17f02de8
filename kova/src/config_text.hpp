// Values as they appear in configuration messages.
#pragma once

#include <string>
#include <string_view>

namespace kova {

// Shortest text that reads back as `value`, with a decimal point for whole numbers ("1.0").
std::string number_text(double value);

// Text from a document as it may appear in a one-line message: control characters replaced,
// at most 60 bytes, then "...".
std::string excerpt(std::string_view text);

}  // namespace kova
