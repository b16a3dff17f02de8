// A scripted Optimizer for sequencer tests: records what it is given, returns what it is told.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kova/optimizer.hpp"
#include "kova/result.hpp"

namespace kova_test {

struct FakeOptimizerLog {
  std::vector<std::vector<double>> refs;
  std::vector<std::vector<double>> fixed;
  std::vector<std::vector<double>> warm_starts;
};

// dof joints j0..j{dof-1}; a mimic joint, when configured, follows one position:
// q[mimic] = q[source] * multiplier + offset.
class FakeOptimizer final : public kova::Optimizer {
 public:
  FakeOptimizer(std::size_t dof, std::vector<std::size_t> idx_pin2target,
                std::vector<std::size_t> idx_pin2fixed, FakeOptimizerLog* log)
      : dof_(dof),
        idx_pin2target_(std::move(idx_pin2target)),
        idx_pin2fixed_(std::move(idx_pin2fixed)),
        log_(log) {}

  // Solutions returned by successive retarget calls (the last one repeats).
  void script(std::vector<std::vector<double>> solutions) { solutions_ = std::move(solutions); }
  void set_mimic(std::size_t mimic, std::size_t source, double multiplier, double offset) {
    mimic_ = mimic;
    source_ = source;
    multiplier_ = multiplier;
    offset_ = offset;
    has_mimic_ = true;
  }

  std::vector<double> retarget(std::span<const double> ref_value,
                               std::span<const double> fixed_qpos,
                               std::span<const double> last_qpos) override {
    if (ref_value.size() < 3) kova::throw_index_out_of_range(ref_value.size(), ref_value.size());
    log_->refs.emplace_back(ref_value.begin(), ref_value.end());
    log_->fixed.emplace_back(fixed_qpos.begin(), fixed_qpos.end());
    log_->warm_starts.emplace_back(last_qpos.begin(), last_qpos.end());
    const std::size_t call = log_->refs.size() - 1;
    return solutions_.at(call < solutions_.size() ? call : solutions_.size() - 1);
  }
  std::size_t opt_dof() const override { return idx_pin2target_.size(); }
  std::span<const std::size_t> idx_pin2target() const override { return idx_pin2target_; }
  std::span<const std::size_t> idx_pin2fixed() const override { return idx_pin2fixed_; }
  void set_joint_limit(std::span<const std::pair<double, double>>) override {}
  void set_adaptor(kova::MimicJointKinematicAdaptor) override {}
  void apply_adaptor_forward(std::span<double> qpos) const override {
    if (has_mimic_) qpos[mimic_] = qpos[source_] * multiplier_ + offset_;
  }
  std::vector<std::string> dof_joint_names() const override {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < dof_; ++i) names.push_back("j" + std::to_string(i));
    return names;
  }
  std::vector<std::string> link_names() const override { return {}; }
  kova::Result<std::vector<kova::LinkPosition>> link_positions(
      std::span<const double>, std::span<const std::string>) override {
    return kova::fail("not used");
  }

 private:
  std::size_t dof_;
  std::vector<std::size_t> idx_pin2target_;
  std::vector<std::size_t> idx_pin2fixed_;
  FakeOptimizerLog* log_;
  std::vector<std::vector<double>> solutions_{{}};
  bool has_mimic_ = false;
  std::size_t mimic_ = 0;
  std::size_t source_ = 0;
  double multiplier_ = 1.0;
  double offset_ = 0.0;
};

}  // namespace kova_test
