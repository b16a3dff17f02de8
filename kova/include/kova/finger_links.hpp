// Which robot links make up each finger, as the `kova.fingers` section of a configuration records
// it (`kova init` writes it). Viewers and reports read it to give a finger the same colour on the
// robot and on the human hand.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kova/hand_landmarks.hpp"
#include "kova/result.hpp"

namespace kova {

struct FingerLinks {
  Finger finger = Finger::Thumb;
  std::vector<std::string> links;  // as listed: from the finger's first moving link to its tip
  std::string tip;                 // the tip link; empty when the section names none
};

// The fingers the `kova.fingers` section of a configuration document lists, thumb first; empty
// when there is no such section. Fails like check_config_text on a document that does not pass
// it.
Result<std::vector<FingerLinks>> config_fingers(std::string_view document);

}  // namespace kova
