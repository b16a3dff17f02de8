// Which human finger each robot fingertip link stands for, from the words of its name.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kova/hand_landmarks.hpp"
#include "kova/result.hpp"

namespace kova {

struct FingertipMatch {
  std::vector<Finger> fingers;  // one per link, in the links' order
  // True when the names did not decide (a link naming no finger or several, or two links naming
  // the same finger) and the links were taken as thumb, index, middle, ring, little instead.
  bool by_list_order = false;
};

// A name's words are its runs of letters, split also where the case changes ("ThumbTip",
// "thumb_tip", "THUMBtip" all hold "thumb") and before a trailing "tip" ("rh_fftip" holds "rh",
// "ff" and "tip"). Finger words: thumb/th, index/ff/first/fore/
// forefinger, middle/mf, ring/rf, little/pinky/pinkie/lf. Fails only when the list order is
// needed for more than five links.
Result<FingertipMatch> match_fingertips(std::span<const std::string> link_names);

// The one finger a name's words name, or none when they name no finger or several.
std::optional<Finger> finger_named_by(std::string_view name);

// The words of a name, lower-cased, as match_fingertips sees them.
std::vector<std::string> name_words(std::string_view name);

}  // namespace kova
