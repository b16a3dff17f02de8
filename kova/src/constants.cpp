#include "kova/constants.hpp"

#include <string>

#include "unicode_text.hpp"

namespace kova {

Result<RetargetingType> retargeting_type_from_str(std::string_view text) {
  std::string lower = unicode::to_lowercase(text);
  if (lower == "vector") return RetargetingType::Vector;
  if (lower == "position") return RetargetingType::Position;
  if (lower == "dexpilot") return RetargetingType::DexPilot;
  return fail("Unknown retargeting type: " + lower);
}

std::string_view to_string(RetargetingType type) {
  switch (type) {
    case RetargetingType::Vector:
      return "vector";
    case RetargetingType::Position:
      return "position";
    case RetargetingType::DexPilot:
      return "dexpilot";
  }
  return "vector";
}

}  // namespace kova
