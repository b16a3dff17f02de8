#include "kova/closest_match.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace kova {
namespace {

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Three rows of the dynamic programme: two back for transpositions.
  const std::size_t m = b.size();
  std::vector<std::size_t> before(m + 1), previous(m + 1), current(m + 1);
  for (std::size_t j = 0; j <= m; ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[m];
}

std::optional<std::string> closest_match(std::string_view name,
                                         std::span<const std::string> candidates) {
  const std::string lower_name = ascii_lower(name);
  const std::size_t limit = std::max<std::size_t>(2, name.size() / 3);
  std::optional<std::string> best;
  std::size_t best_folded = 0;
  std::size_t best_exact = 0;
  for (const std::string& candidate : candidates) {
    // The lengths alone already need too many edits.
    const std::size_t longer = std::max(name.size(), candidate.size());
    const std::size_t shorter = std::min(name.size(), candidate.size());
    if (longer - shorter > limit) continue;
    const std::size_t folded = edit_distance(lower_name, ascii_lower(candidate));
    if (folded > limit) continue;
    const std::size_t exact = edit_distance(name, candidate);
    if (!best || folded < best_folded || (folded == best_folded && exact < best_exact)) {
      best = candidate;
      best_folded = folded;
      best_exact = exact;
    }
  }
  return best;
}

std::string join_names(std::span<const std::string> names, std::size_t max_count) {
  std::string text;
  const std::size_t shown = std::min(names.size(), max_count);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (shown < names.size()) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

}  // namespace kova
