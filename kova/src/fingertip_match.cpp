#include "kova/fingertip_match.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace kova {
namespace {

struct FingerWords {
  Finger finger;
  std::array<std::string_view, 5> words;  // unused slots are empty
};

constexpr std::array<FingerWords, 5> kFingerWords{{
    {Finger::Thumb, {"thumb", "th"}},
    {Finger::Index, {"index", "ff", "first", "fore", "forefinger"}},
    {Finger::Middle, {"middle", "mf"}},
    {Finger::Ring, {"ring", "rf"}},
    {Finger::Little, {"little", "pinky", "pinkie", "lf"}},
}};

bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}

}  // namespace

std::vector<std::string> name_words(std::string_view name) {
  std::vector<std::string> words;
  std::size_t i = 0;
  const std::size_t n = name.size();
  const auto lower_run_end = [&](std::size_t from) {
    while (from < n && is_lower(name[from])) ++from;
    return from;
  };
  while (i < n) {
    std::size_t end = i;
    if (is_upper(name[i]) && i + 1 < n && is_lower(name[i + 1])) {
      end = lower_run_end(i + 1);  // "Tip"
    } else if (is_lower(name[i])) {
      end = lower_run_end(i);  // "tip"
    } else if (is_upper(name[i])) {
      end = i;
      while (end < n && is_upper(name[end])) ++end;
      // The last capital of "THUMBTip" begins the next word.
      if (end < n && is_lower(name[end])) --end;
    } else {
      ++i;
      continue;
    }
    std::string word(name.substr(i, end - i));
    for (char& c : word) {
      if (is_upper(c)) c = static_cast<char>(c - 'A' + 'a');
    }
    // "fftip", "thtip": a finger abbreviation run together with the tip.
    constexpr std::string_view kTip = "tip";
    if (word.size() > kTip.size() && word.ends_with(kTip)) {
      words.push_back(word.substr(0, word.size() - kTip.size()));
      word = std::string(kTip);
    }
    words.push_back(std::move(word));
    i = end;
  }
  return words;
}

std::optional<Finger> finger_named_by(std::string_view name) {
  const std::vector<std::string> words = name_words(name);
  std::optional<Finger> found;
  for (const FingerWords& entry : kFingerWords) {
    const bool named = std::any_of(words.begin(), words.end(), [&](const std::string& word) {
      return std::find(entry.words.begin(), entry.words.end(), word) != entry.words.end();
    });
    if (!named) continue;
    if (found) return std::nullopt;
    found = entry.finger;
  }
  return found;
}

Result<FingertipMatch> match_fingertips(std::span<const std::string> link_names) {
  FingertipMatch match;
  for (const std::string& name : link_names) {
    const std::optional<Finger> finger = finger_named_by(name);
    if (!finger ||
        std::find(match.fingers.begin(), match.fingers.end(), *finger) != match.fingers.end()) {
      match.by_list_order = true;
      break;
    }
    match.fingers.push_back(*finger);
  }
  if (!match.by_list_order) return match;

  if (link_names.size() > kFingers.size()) {
    return fail("fingertips cannot be matched to fingers by list order: " +
                std::to_string(link_names.size()) + " links, at most 5 fingers");
  }
  match.fingers.assign(kFingers.begin(), kFingers.begin() + link_names.size());
  return match;
}

}  // namespace kova
