// The canonical order of the degrees of freedom (dof_order.cpp).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kova/urdf.hpp"

namespace kova {

// Positions into `candidates` in canonical DOF order: a stable sort by rank, the dummy free
// joints ranked first, then the names of the recognised hand's list, everything else last.
std::vector<std::size_t> dof_rank_order(std::span<const JointSpec* const> candidates);

}  // namespace kova
