// The least-squares solver's step subproblem: a convex quadratic over a box.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "box_qp.hpp"
#include "kova/least_squares.hpp"

namespace {

// Random well-conditioned problems whose unconstrained minimum lies far outside a small box, so
// that the active-set method fixes several variables one after the other (and releases some):
// the result must satisfy the optimality conditions of the bounded problem. Dense matrices in
// the natural order, and matrices with a hand's sparsity (two fingers of four joints sharing a
// wrist joint) in the order elimination_order gives, which puts the wrist last.
TEST(BoxQp, MeetsTheBoundedOptimalityConditionsWhenManyBoundsAreHit) {
  constexpr std::size_t n = 9;
  const std::vector<std::vector<std::uint32_t>> fingers{{8, 0, 1, 2, 3}, {4, 5, 6, 7, 8}};
  const std::vector<std::size_t> hand_order = kova::elimination_order(n, fingers);
  ASSERT_EQ(hand_order.size(), n);
  EXPECT_EQ(hand_order.back(), 8u);
  EXPECT_TRUE(std::is_permutation(hand_order.begin(), hand_order.end(),
                                  std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}.begin()));
  // Entries beyond the variables are ignored, and without couplings the order is the natural one.
  const std::vector<std::vector<std::uint32_t>> stray{{0, 7, 2}, {}, {9}};
  EXPECT_EQ(kova::elimination_order(3, stray), (std::vector<std::size_t>{1, 0, 2}));
  EXPECT_EQ(kova::elimination_order(3, {}), (std::vector<std::size_t>{0, 1, 2}));
  for (const bool sparse : {false, true}) {
    kova::BoxQpWorkspace work(n);
    if (sparse) work.order = hand_order;
    std::size_t problems_with_three_bounds = 0;
    for (int seed = 0; seed < 40; ++seed) {
      std::vector<double> m(n * n), a(n * n, 0.0), g(n), lower(n), upper(n), p(n);
      for (std::size_t k = 0; k < n * n; ++k)
        m[k] = std::sin(0.37 * static_cast<double>(seed * 97 + static_cast<int>(k)) + 0.1);
      const auto coupled = [&](std::size_t i, std::size_t j) {
        if (!sparse) return true;
        return std::any_of(fingers.begin(), fingers.end(), [&](const auto& finger) {
          return std::count(finger.begin(), finger.end(), i) +
                     std::count(finger.begin(), finger.end(), j) ==
                 2;
        });
      };
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          if (!coupled(i, j)) continue;
          for (std::size_t k = 0; k < n; ++k) a[i + j * n] += m[i + k * n] * m[j + k * n];
        }
        a[i + i * n] += 0.5 + (sparse ? 4.0 : 0.0);  // the masked sum needs more to stay definite
        g[i] = 3.0 * std::cos(1.3 * static_cast<double>(seed * 31 + static_cast<int>(i)));
        lower[i] = -0.2 - 0.05 * static_cast<double>(i % 3);
        upper[i] = 0.3;
      }
      std::vector<signed char> bound(n);
      ASSERT_TRUE(kova::solve_box_qp(n, a.data(), g.data(), lower.data(), upper.data(), p.data(),
                                     bound.data(), work));
      std::size_t on_bounds = 0;
      for (std::size_t i = 0; i < n; ++i) {
        double slope = g[i];
        for (std::size_t j = 0; j < n; ++j) slope += a[i + j * n] * p[j];
        ASSERT_GE(p[i], lower[i]);
        ASSERT_LE(p[i], upper[i]);
        if (bound[i] < 0) {
          EXPECT_EQ(p[i], lower[i]);
          EXPECT_GE(slope, -1e-9) << "seed " << seed << " variable " << i;
        } else if (bound[i] > 0) {
          EXPECT_EQ(p[i], upper[i]);
          EXPECT_LE(slope, 1e-9) << "seed " << seed << " variable " << i;
        } else {
          EXPECT_NEAR(slope, 0.0, 1e-9) << "seed " << seed << " variable " << i;
        }
        on_bounds += bound[i] != 0 ? 1 : 0;
      }
      problems_with_three_bounds += on_bounds >= 3 ? 1 : 0;
    }
    EXPECT_GE(problems_with_three_bounds, 10u) << "sparse " << sparse;  // the active set is used
  }
}

}  // namespace
