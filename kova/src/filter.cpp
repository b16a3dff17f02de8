#include "kova/filter.hpp"

#include <cmath>

#include "kova/result.hpp"

namespace kova {

// A tracker that loses the hand can yield a frame with NaN or infinite joints. Blending such an
// entry would poison the state for good ((x - y) * alpha + y never leaves NaN), so a non-finite
// entry is skipped and its output is the state's last good value; a state entry that is itself
// not finite (a non-finite first sample) takes the next finite value as it comes. Finite samples
// blend exactly as usual.
std::vector<double> LPFilter::next(std::span<const double> x) {
  if (!is_init_) {
    y_.emplace(x.begin(), x.end());
    is_init_ = true;
    return std::vector<double>(x.begin(), x.end());
  }
  std::vector<double>& y = *y_;
  if (x.size() < y.size()) throw_index_out_of_range(x.size(), x.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    if (!std::isfinite(y[i])) {
      y[i] = x[i];
      continue;
    }
    y[i] = (x[i] - y[i]) * alpha_ + y[i];
  }
  return y;
}

}  // namespace kova
