// Test access to an optimiser's per-frame objective: prepare a frame exactly as retarget does,
// then evaluate the objective (with or without gradient) at any point, without solving.
#pragma once

#include <span>
#include <vector>

namespace kova {

struct ObjectiveProbe {
  template <class Opt>
  static void prepare(Opt& optimizer, std::span<const double> ref_value,
                      std::span<const double> fixed_qpos, std::span<const double> last_qpos) {
    optimizer.prepare(ref_value, fixed_qpos, last_qpos);
  }

  template <class Opt>
  static double value(Opt& optimizer, std::span<const double> x) {
    return optimizer.evaluate(x.data(), nullptr);
  }

  // The gradient buffer is filled with garbage first: the objective must overwrite it.
  template <class Opt>
  static double value_and_gradient(Opt& optimizer, std::span<const double> x,
                                   std::vector<double>& gradient) {
    gradient.assign(x.size(), 12345.0);
    return optimizer.evaluate(x.data(), gradient.data());
  }

  // As the least-squares solver asks: value, gradient and the two n x n Gauss-Newton matrices
  // (reweighted, then exact; lower triangles), both buffers filled with garbage first.
  template <class Opt>
  static double value_gradient_gauss_newton(Opt& optimizer, std::span<const double> x,
                                            std::vector<double>& gradient,
                                            std::vector<double>& gauss_newton) {
    gradient.assign(x.size(), 12345.0);
    gauss_newton.assign(2 * x.size() * x.size(), 12345.0);
    return optimizer.evaluate(x.data(), gradient.data(), gauss_newton.data());
  }
};

}  // namespace kova
