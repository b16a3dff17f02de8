#include "box_qp.hpp"

#include <algorithm>
#include <cmath>

namespace kova {
namespace {

// Cholesky factor L (row-major, m x m in rows of stride n) of the free block of A; false unless
// positive definite. Column by column, each earlier column k subtracted where L(j, k) is not
// zero: the Gauss-Newton matrices of a hand are block-sparse (the fingers' joints do not
// interact), so most of these products are skipped. Each entry gets the same terms in the same
// order as the inner-product form, the zeros left out.
bool factor_free_block(std::size_t n, const double* a, const std::size_t* free_list, std::size_t m,
                       double* l) {
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t column = free_list[j] * n;
    for (std::size_t i = j; i < m; ++i) l[i * n + j] = a[free_list[i] + column];
    for (std::size_t k = 0; k < j; ++k) {
      const double ljk = l[j * n + k];
      if (ljk == 0.0) continue;
      for (std::size_t i = j; i < m; ++i) l[i * n + j] -= l[i * n + k] * ljk;
    }
    const double d = l[j * n + j];
    if (!(d > 0.0)) return false;
    const double pivot = std::sqrt(d);
    l[j * n + j] = pivot;
    const double inverse = 1.0 / pivot;
    for (std::size_t i = j + 1; i < m; ++i) l[i * n + j] *= inverse;
  }
  return true;
}

// The factor of the free block without its variable at position r, from the factor with it, in
// O(m^2) instead of a new factorisation: row r goes, the rows below move up and lose column r,
// and that column is folded back into the trailing block by a rank-one update. `scratch` holds
// at least m values.
void drop_free_position(std::size_t n, std::size_t m, std::size_t r, double* l, double* scratch) {
  for (std::size_t i = r + 1; i < m; ++i) {
    const double* from = l + i * n;
    double* to = l + (i - 1) * n;
    for (std::size_t k = 0; k < r; ++k) to[k] = from[k];
    scratch[i - r - 1] = from[r];
    for (std::size_t k = r + 1; k <= i; ++k) to[k - 1] = from[k];
  }
  const std::size_t trailing = m - 1 - r;
  for (std::size_t t = 0; t < trailing; ++t) {
    double* lt = l + (r + t) * n;
    const double diagonal = lt[r + t];
    const double updated = std::hypot(diagonal, scratch[t]);
    const double c = updated / diagonal;
    const double s = scratch[t] / diagonal;
    lt[r + t] = updated;
    for (std::size_t u = t + 1; u < trailing; ++u) {
      double& entry = l[(r + u) * n + r + t];
      entry = (entry + s * scratch[u]) / c;
      scratch[u] = c * scratch[u] - s * entry;
    }
  }
}

// Solves L L' z = b in place (L as factor_free_block stores it). Both substitutions update the
// remaining entries column by column, independent multiply-adds instead of one dependent chain
// per row (the second reads rows of L, which are contiguous), and the divisions by the diagonal
// come first, independent of each other, so the dependent steps are multiplications. `inverse`
// holds at least m values.
void solve_factored(const double* l, std::size_t n, std::size_t m, double* b, double* inverse) {
  for (std::size_t k = 0; k < m; ++k) inverse[k] = 1.0 / l[k * n + k];
  for (std::size_t k = 0; k < m; ++k) {
    const double bk = b[k] * inverse[k];
    b[k] = bk;
    if (bk == 0.0) continue;
    for (std::size_t i = k + 1; i < m; ++i) b[i] -= l[i * n + k] * bk;
  }
  for (std::size_t k = m; k-- > 0;) {
    const double* lk = l + k * n;
    const double bk = b[k] * inverse[k];
    b[k] = bk;
    if (bk == 0.0) continue;
    for (std::size_t i = 0; i < k; ++i) b[i] -= lk[i] * bk;
  }
}

}  // namespace

BoxQpWorkspace::BoxQpWorkspace(std::size_t n)
    : factor(n * n), rhs(n), inverse_diagonal(n), free_list(n), fixed_list(n), order(n) {
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
}

bool solve_box_qp(std::size_t n, const double* a, const double* g, const double* lower,
                  const double* upper, double* p, signed char* bound, BoxQpWorkspace& work) {
  double g_max = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = 0.0;
    g_max = std::max(g_max, std::abs(g[i]));
    // A variable on a bound that the gradient pushes against starts fixed there; one without
    // room to move (lower == upper == 0) stays fixed.
    bound[i] = 0;
    if (upper[i] <= lower[i] || (lower[i] >= 0.0 && g[i] > 0.0)) {
      bound[i] = -1;
    } else if (upper[i] <= 0.0 && g[i] < 0.0) {
      bound[i] = 1;
    }
  }
  // Multipliers below this are round-off: releasing such a variable would only cycle.
  const double release_threshold = 1e-13 * g_max;

  const std::size_t max_rounds = 3 * n + 10;
  bool factored = false;  // work.factor holds the factor of the current free block
  for (std::size_t round = 0; round < max_rounds; ++round) {
    std::size_t m = 0;
    std::size_t fixed = 0;
    for (const std::size_t i : work.order) {
      if (bound[i] == 0) {
        work.free_list[m++] = i;
      } else {
        work.fixed_list[fixed++] = i;
      }
    }
    if (m > 0) {
      // Minimum over the free variables with the fixed ones held on their bounds.
      for (std::size_t r = 0; r < m; ++r) {
        const std::size_t i = work.free_list[r];
        double v = -g[i];
        for (std::size_t f = 0; f < fixed; ++f) {
          const std::size_t j = work.fixed_list[f];
          v -= a[i + j * n] * p[j];
        }
        work.rhs[r] = v;
      }
      if (!factored && !factor_free_block(n, a, work.free_list.data(), m, work.factor.data())) {
        std::fill(p, p + n, 0.0);
        std::fill(bound, bound + n, static_cast<signed char>(0));
        return false;
      }
      factored = true;
      solve_factored(work.factor.data(), n, m, work.rhs.data(), work.inverse_diagonal.data());

      // Walk towards it until the first bound on the way.
      double alpha = 1.0;
      std::size_t blocking = m;
      signed char side = 0;
      for (std::size_t r = 0; r < m; ++r) {
        const std::size_t i = work.free_list[r];
        const double target = work.rhs[r];
        if (target < lower[i]) {
          const double t = (lower[i] - p[i]) / (target - p[i]);
          if (t < alpha) {
            alpha = t;
            blocking = r;
            side = -1;
          }
        } else if (target > upper[i]) {
          const double t = (upper[i] - p[i]) / (target - p[i]);
          if (t < alpha) {
            alpha = t;
            blocking = r;
            side = 1;
          }
        }
      }
      for (std::size_t r = 0; r < m; ++r) {
        const std::size_t i = work.free_list[r];
        p[i] = blocking == m ? work.rhs[r] : p[i] + alpha * (work.rhs[r] - p[i]);
        p[i] = std::clamp(p[i], lower[i], upper[i]);
      }
      if (blocking != m) {
        const std::size_t i = work.free_list[blocking];
        bound[i] = side;
        p[i] = side < 0 ? lower[i] : upper[i];
        // The next round's right-hand side is formed anew, so rhs is free as scratch here.
        drop_free_position(n, m, blocking, work.factor.data(), work.rhs.data());
        continue;
      }
    }

    // Subspace minimum reached: release the fixed variable whose multiplier has the wrong sign
    // by the largest amount, or stop when there is none.
    std::size_t release = n;
    double worst = release_threshold;
    for (std::size_t i = 0; i < n; ++i) {
      if (bound[i] == 0 || upper[i] <= lower[i]) continue;
      double slope = g[i];
      for (std::size_t j = 0; j < n; ++j) slope += a[i + j * n] * p[j];
      const double inward = bound[i] < 0 ? -slope : slope;
      if (inward > worst) {
        worst = inward;
        release = i;
      }
    }
    if (release == n) return true;
    bound[release] = 0;
    factored = false;  // a variable joins the free block: factorise it anew
  }
  return true;
}

}  // namespace kova
