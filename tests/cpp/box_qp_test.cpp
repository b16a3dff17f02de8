// The least-squares solver's step subproblem: a convex quadratic over a box.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "box_qp.hpp"

namespace {

// Random well-conditioned problems whose unconstrained minimum lies far outside a small box, so
// that the active-set method fixes several variables one after the other (and releases some):
// the result must satisfy the optimality conditions of the bounded problem.
TEST(BoxQp, MeetsTheBoundedOptimalityConditionsWhenManyBoundsAreHit) {
  constexpr std::size_t n = 9;
  kova::BoxQpWorkspace work(n);
  std::size_t problems_with_three_bounds = 0;
  for (int seed = 0; seed < 40; ++seed) {
    std::vector<double> m(n * n), a(n * n, 0.0), g(n), lower(n), upper(n), p(n);
    for (std::size_t k = 0; k < n * n; ++k)
      m[k] = std::sin(0.37 * static_cast<double>(seed * 97 + static_cast<int>(k)) + 0.1);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < n; ++k) a[i + j * n] += m[i + k * n] * m[j + k * n];
      }
      a[i + i * n] += 0.5;
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
  EXPECT_GE(problems_with_three_bounds, 10u);  // the problems do exercise the active set
}

}  // namespace
