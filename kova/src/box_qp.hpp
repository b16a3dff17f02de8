// The step subproblem of the least-squares solver: a strictly convex quadratic over a box.
#pragma once

#include <cstddef>
#include <vector>

namespace kova {

// Work arrays for problems of up to n variables, allocated once.
struct BoxQpWorkspace {
  explicit BoxQpWorkspace(std::size_t n);

  std::vector<double> factor;            // Cholesky factor of the free block, row-major, stride n
  std::vector<double> rhs;               // free block: right-hand side, then its solution
  std::vector<double> inverse_diagonal;  // scratch of the substitutions
  std::vector<std::size_t> free_list;    // positions of the free variables, in `order`
  std::vector<std::size_t> fixed_list;   // positions of the others, in `order`
  // The order in which the free block is factorised: a permutation of 0..n-1, the identity
  // unless set. Any order gives the same minimum up to round-off; a good one keeps the factor of
  // a sparse matrix sparse.
  std::vector<std::size_t> order;
};

// Minimises g'p + p'Ap/2 subject to lower <= p <= upper, where lower <= 0 <= upper and A is
// symmetric (both triangles stored, column-major, n x n) and positive definite: a primal
// active-set method from p = 0, each subspace step by a Cholesky factorisation of the free block.
// `bound` receives -1 / +1 for a variable that ends on its lower / upper bound (p is then exactly
// that bound), 0 for a free one. Each step lowers the model, so p is a feasible descent step
// even when the iteration cap stops the method early. Returns false when a free block is not
// numerically positive definite (p = 0 then). No allocation.
bool solve_box_qp(std::size_t n, const double* a, const double* g, const double* lower,
                  const double* upper, double* p, signed char* bound, BoxQpWorkspace& work);

}  // namespace kova
