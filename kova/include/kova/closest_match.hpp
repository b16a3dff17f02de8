// "Did you mean ...?": the valid name closest to a misspelt one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kova {

// Edit distance with adjacent transpositions (optimal string alignment), over bytes.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The candidate closest to `name`, compared without regard to ASCII case first and then with
// it; none when even the closest needs more than max(2, |name| / 3) edits. Ties go to the
// earlier candidate.
std::optional<std::string> closest_match(std::string_view name,
                                         std::span<const std::string> candidates);

// The first `max_count` names separated by ", ", then " and N more" for the rest.
std::string join_names(std::span<const std::string> names, std::size_t max_count = 64);

}  // namespace kova
