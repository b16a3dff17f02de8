// The retargeting methods.
#pragma once

#include <cstdint>
#include <string_view>

#include "kova/result.hpp"

namespace kova {

enum class RetargetingType : std::uint8_t { Vector = 0, Position = 1, DexPilot = 2 };

// Lower-cases the text (full Unicode) and compares exactly with "vector", "position",
// "dexpilot"; otherwise "Unknown retargeting type: " + the lower-cased text.
Result<RetargetingType> retargeting_type_from_str(std::string_view text);

// "vector", "position" or "dexpilot".
std::string_view to_string(RetargetingType type);

}  // namespace kova
