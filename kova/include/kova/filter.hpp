// First-order low-pass filter on the output joint vector.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace kova {

class LPFilter {
 public:
  explicit LPFilter(double alpha) : alpha_(alpha) {}

  // The first sample passes through and becomes the state; later samples blend into it:
  // y = (x - y) * alpha + y. A non-finite entry is not blended (see filter.cpp).
  std::vector<double> next(std::span<const double> x);
  // Forgets the history: the next sample passes through as if it were the first.
  void clear() {
    y_.reset();
    is_init_ = false;
  }

  double alpha() const { return alpha_; }
  bool is_init() const { return is_init_; }
  const std::optional<std::vector<double>>& y() const { return y_; }

 private:
  double alpha_;
  std::optional<std::vector<double>> y_;
  bool is_init_ = false;
};

}  // namespace kova
