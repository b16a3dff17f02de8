// Ceres Solver on the optimisers' objectives, against kova's least-squares solver, on the frames
// of lm_compare (solver_problems.hpp). Built only with -DKOVA_BENCH_CERES=ON (Debian's
// libceres-dev); kova does not depend on Ceres.
//
//   ceres_compare [FRAMES]       (CERES_LOOSE=1: Ceres's default tolerances instead of tight ones)
//
// One ceres::Problem per configuration, built once and reused for every frame: the residual
// blocks read the frame's targets and weights from buffers rewritten per frame, an evaluation
// callback runs the forward kinematics (and Jacobians) once per evaluation point, the bounds are
// the optimiser's (limits plus margin). Residuals: position, one block per axis under
// Huber(delta) scaled by 1/(delta N); vector and DexPilot, one 3-D block per vector under
// Huber(delta) on its length scaled by w/(delta V); the regulariser one block sqrt(2 nd)(x - prev).
// Ceres's cost (1/2 sum rho) is then exactly the optimiser's objective, which the program checks.
#include <ceres/ceres.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "../kova/src/objective_probe.hpp"
#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"
#include "solver_problems.hpp"

namespace {

using namespace kova_bench;

// Forward kinematics and folded Jacobians of the distinct links, once per evaluation point.
class Kinematics : public ceres::EvaluationCallback {
 public:
  Kinematics(kova::RobotWrapper robot, const kova::OptimizerData& data,
             std::vector<std::size_t> links, const double* x)
      : robot_(std::move(robot)),
        data_(data),
        links_(std::move(links)),
        x_(x),
        q_(robot_.dof(), 0.0),
        full_(kova::Jacobian::Zero(3, static_cast<Eigen::Index>(robot_.dof()))),
        positions_(links_.size()),
        jacobians_(links_.size(),
                   kova::Jacobian::Zero(3, static_cast<Eigen::Index>(data.opt_dof))) {}

  void PrepareForEvaluation(bool evaluate_jacobians, bool new_evaluation_point) override {
    if (new_evaluation_point) {
      std::fill(q_.begin(), q_.end(), 0.0);
      for (std::size_t i = 0; i < data_.opt_dof; ++i) q_[data_.idx_pin2target[i]] = x_[i];
      if (data_.adaptor) data_.adaptor->forward_qpos(q_);
      robot_.compute_forward_kinematics(q_);
      for (std::size_t k = 0; k < links_.size(); ++k) {
        positions_[k] = robot_.link_position(links_[k]);
      }
      have_jacobians_ = false;
    }
    if (evaluate_jacobians && !have_jacobians_) {
      for (std::size_t k = 0; k < links_.size(); ++k) {
        robot_.compute_single_link_position_jacobian_cached(links_[k], full_);
        if (data_.adaptor) {
          data_.adaptor->backward_jacobian(full_, jacobians_[k]);
        } else {
          for (std::size_t i = 0; i < data_.opt_dof; ++i) {
            jacobians_[k].col(static_cast<Eigen::Index>(i)) =
                full_.col(static_cast<Eigen::Index>(data_.idx_pin2target[i]));
          }
        }
      }
      have_jacobians_ = true;
    }
  }

  const Eigen::Vector3d& position(std::size_t k) const { return positions_[k]; }
  const kova::Jacobian& jacobian(std::size_t k) const { return jacobians_[k]; }

 private:
  kova::RobotWrapper robot_;
  const kova::OptimizerData& data_;
  std::vector<std::size_t> links_;
  const double* x_;
  std::vector<double> q_;
  kova::Jacobian full_;
  std::vector<Eigen::Vector3d> positions_;
  std::vector<kova::Jacobian> jacobians_;
  bool have_jacobians_ = false;
};

// One axis of one target link's position.
class AxisResidual : public ceres::CostFunction {
 public:
  AxisResidual(const Kinematics& kin, std::size_t link, int axis, const double* target, int n)
      : kin_(kin), link_(link), axis_(axis), target_(target) {
    set_num_residuals(1);
    mutable_parameter_block_sizes()->push_back(n);
  }
  bool Evaluate(double const* const*, double* residuals, double** jacobians) const override {
    residuals[0] = kin_.position(link_)[axis_] - *target_;
    if (jacobians != nullptr && jacobians[0] != nullptr) {
      const kova::Jacobian& j = kin_.jacobian(link_);
      for (Eigen::Index c = 0; c < j.cols(); ++c) jacobians[0][c] = j(axis_, c);
    }
    return true;
  }

 private:
  const Kinematics& kin_;
  std::size_t link_;
  int axis_;
  const double* target_;
};

// task - origin - target.
class VectorResidual : public ceres::CostFunction {
 public:
  VectorResidual(const Kinematics& kin, std::size_t task, std::size_t origin, const double* target,
                 int n)
      : kin_(kin), task_(task), origin_(origin), target_(target) {
    set_num_residuals(3);
    mutable_parameter_block_sizes()->push_back(n);
  }
  bool Evaluate(double const* const*, double* residuals, double** jacobians) const override {
    const Eigen::Vector3d v = kin_.position(task_) - kin_.position(origin_);
    for (int a = 0; a < 3; ++a) residuals[a] = v[a] - target_[a];
    if (jacobians != nullptr && jacobians[0] != nullptr) {
      const kova::Jacobian& jt = kin_.jacobian(task_);
      const kova::Jacobian& jo = kin_.jacobian(origin_);
      const Eigen::Index n = jt.cols();
      for (int a = 0; a < 3; ++a) {
        for (Eigen::Index c = 0; c < n; ++c) jacobians[0][a * n + c] = jt(a, c) - jo(a, c);
      }
    }
    return true;
  }

 private:
  const Kinematics& kin_;
  std::size_t task_, origin_;
  const double* target_;
};

// sqrt(2 nd) (x - prev).
class RegulariserResidual : public ceres::CostFunction {
 public:
  RegulariserResidual(double normal_delta, const double* prev, int n)
      : scale_(std::sqrt(2.0 * normal_delta)), prev_(prev), n_(n) {
    set_num_residuals(n);
    mutable_parameter_block_sizes()->push_back(n);
  }
  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override {
    for (int i = 0; i < n_; ++i) residuals[i] = scale_ * (parameters[0][i] - prev_[i]);
    if (jacobians != nullptr && jacobians[0] != nullptr) {
      std::fill(jacobians[0], jacobians[0] + n_ * n_, 0.0);
      for (int i = 0; i < n_; ++i) jacobians[0][i * n_ + i] = scale_;
    }
    return true;
  }

 private:
  double scale_;
  const double* prev_;
  int n_;
};

// Huber(delta) times a weight read per frame.
class WeightedHuber : public ceres::LossFunction {
 public:
  WeightedHuber(double delta, const double* weight) : huber_(delta), weight_(weight) {}
  void Evaluate(double s, double rho[3]) const override {
    huber_.Evaluate(s, rho);
    for (int i = 0; i < 3; ++i) rho[i] *= *weight_;
  }

 private:
  ceres::HuberLoss huber_;
  const double* weight_;
};

void prepare(kova::OptimizerBase& opt, const std::vector<double>& ref,
             const std::vector<double>& warm) {
  if (auto* p = dynamic_cast<kova::PositionOptimizer*>(&opt)) {
    kova::ObjectiveProbe::prepare(*p, ref, {}, warm);
  } else if (auto* v = dynamic_cast<kova::VectorOptimizer*>(&opt)) {
    kova::ObjectiveProbe::prepare(*v, ref, {}, warm);
  } else {
    kova::ObjectiveProbe::prepare(dynamic_cast<kova::DexPilotOptimizer&>(opt), ref, {}, warm);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}
double p99(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

void run(const Problem& p, bool reachable) {
  // The optimiser that defines the objective (and its frame targets and weights).
  kova::SeqRetargeting reference = build(p.config);
  kova::OptimizerBase& opt = base_of(reference);
  const kova::OptimizerData& data = opt.data();
  const int n = static_cast<int>(data.opt_dof);
  const auto& limits = reference.joint_limits();

  kova::RetargetingConfig copy = p.config;
  auto path = copy.resolve_urdf_path();
  auto urdf = kova::UrdfRobot::from_file(*path);
  auto robot = kova::RobotWrapper::create(std::move(*urdf));

  std::vector<double> x(static_cast<std::size_t>(n), 0.0);
  std::vector<double> prev(static_cast<std::size_t>(n), 0.0);
  std::vector<double> targets;
  std::vector<double> weights;
  std::vector<std::size_t> links;
  std::vector<std::pair<std::size_t, std::size_t>> vectors;  // task, origin slots
  double scale = 1.0;
  double delta = 0.0;
  double normal_delta = 0.0;
  if (auto* po = dynamic_cast<kova::PositionOptimizer*>(&opt)) {
    delta = po->huber_delta();
    normal_delta = po->normal_delta();
    links = po->target_link_indices();
    targets.assign(3 * links.size(), 0.0);
    scale = 1.0 / (3.0 * static_cast<double>(links.size()));
  } else {
    const kova::LinkVectorObjective* lv = nullptr;
    if (auto* vo = dynamic_cast<kova::VectorOptimizer*>(&opt)) {
      lv = &vo->vectors();
      delta = vo->huber_delta();
      normal_delta = vo->normal_delta();
    } else {
      auto& dp = dynamic_cast<kova::DexPilotOptimizer&>(opt);
      lv = &dp.vectors();
      delta = dp.huber_delta();
      normal_delta = dp.normal_delta();
    }
    links = lv->computed_link_indices();
    for (std::size_t i = 0; i < lv->vector_count(); ++i) {
      vectors.emplace_back(lv->task_link_indices()[i], lv->origin_link_indices()[i]);
    }
    targets.assign(3 * vectors.size(), 0.0);
    weights.assign(vectors.size(), 1.0);
    scale = 1.0 / static_cast<double>(vectors.size());
  }
  // Position links may repeat; the callback computes each listed entry (a few repeats at most).
  auto kinematics = std::make_unique<Kinematics>(std::move(*robot), data, links, x.data());

  ceres::Problem::Options problem_options;
  problem_options.evaluation_callback = kinematics.get();
  ceres::Problem problem(problem_options);
  std::vector<double> loss_weights;
  loss_weights.reserve(vectors.size() + 1);
  if (vectors.empty()) {
    for (std::size_t k = 0; k < links.size(); ++k) {
      for (int a = 0; a < 3; ++a) {
        problem.AddResidualBlock(
            new AxisResidual(*kinematics, k, a, &targets[3 * k + static_cast<std::size_t>(a)], n),
            new ceres::ScaledLoss(new ceres::HuberLoss(delta), scale / delta,
                                  ceres::TAKE_OWNERSHIP),
            x.data());
      }
    }
  } else {
    for (std::size_t i = 0; i < vectors.size(); ++i) loss_weights.push_back(0.0);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
      problem.AddResidualBlock(
          new VectorResidual(*kinematics, vectors[i].first, vectors[i].second, &targets[3 * i], n),
          new WeightedHuber(delta, &loss_weights[i]), x.data());
    }
  }
  if (normal_delta != 0.0) {
    problem.AddResidualBlock(new RegulariserResidual(normal_delta, prev.data(), n), nullptr,
                             x.data());
  }
  for (int i = 0; i < n; ++i) {
    problem.SetParameterLowerBound(x.data(), i, data.lower_bounds[static_cast<std::size_t>(i)]);
    problem.SetParameterUpperBound(x.data(), i, data.upper_bounds[static_cast<std::size_t>(i)]);
  }

  ceres::Solver::Options options;
  options.linear_solver_type = ceres::DENSE_QR;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.max_num_iterations = 50;
  options.function_tolerance = 1e-12;
  options.gradient_tolerance = 1e-12;
  options.parameter_tolerance = 1e-10;
  if (std::getenv("CERES_LOOSE") != nullptr) {  // Ceres's own defaults
    options.function_tolerance = 1e-6;
    options.gradient_tolerance = 1e-10;
    options.parameter_tolerance = 1e-8;
  }
  options.num_threads = 1;
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;

  // kova's LM on its own sequence, for the same-run comparison.
  kova::SeqRetargeting lm = build(p.config);
  base_of(lm).set_solver(kova::SolverKind::LeastSquares);

  std::vector<double> last(limits.size());
  for (std::size_t i = 0; i < limits.size(); ++i) {
    last[i] = 0.5 * (limits[i].first + limits[i].second);
  }
  std::vector<double> t_ceres, t_lm;
  TipError e_ceres, e_lm;
  std::size_t cost_mismatch = 0, iterations = 0;
  double worst_cost_gap = 0.0;
  for (const auto& ref : p.refs) {
    std::vector<double> warm(limits.size());
    for (std::size_t i = 0; i < warm.size(); ++i) {
      warm[i] = std::clamp(last[i], limits[i].first, limits[i].second);
    }
    const double t0 = thread_seconds();
    // The frame's targets and weights, exactly as the optimiser prepares them.
    prepare(opt, ref, warm);
    if (vectors.empty()) {
      std::copy_n(ref.begin(), targets.size(), targets.begin());
    } else {
      const kova::LinkVectorObjective& lv =
          dynamic_cast<kova::VectorOptimizer*>(&opt) != nullptr
              ? dynamic_cast<kova::VectorOptimizer&>(opt).vectors()
              : dynamic_cast<kova::DexPilotOptimizer&>(opt).vectors();
      std::copy(lv.targets().begin(), lv.targets().end(), targets.begin());
      for (std::size_t i = 0; i < vectors.size(); ++i) {
        loss_weights[i] = lv.weights()[i] * scale / delta;
      }
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
      prev[i] = warm[i];
      x[i] = std::clamp(warm[i], data.lower_bounds[i], data.upper_bounds[i]);
    }
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    const double t1 = thread_seconds();
    const std::vector<double> q_lm = lm.retarget(ref, {});
    const double t2 = thread_seconds();
    t_ceres.push_back((t1 - t0) * 1e6);
    t_lm.push_back((t2 - t1) * 1e6);
    iterations += summary.iterations.size();
    last = x;

    const double f = objective_at(opt, x);
    worst_cost_gap = std::max(worst_cost_gap, std::abs(f - summary.final_cost));
    if (std::abs(f - summary.final_cost) > 1e-12 * std::max(1.0, f)) ++cost_mismatch;
    if (reachable) {
      std::vector<double> q(opt.dof_joint_names().size(), 0.0);
      for (std::size_t i = 0; i < x.size(); ++i) q[data.idx_pin2target[i]] = x[i];
      opt.apply_adaptor_forward(q);
      add_tip_error(e_ceres, opt, p, q, ref);
      add_tip_error(e_lm, lm.optimizer(), p, q_lm, ref);
    }
  }
  const double frames = static_cast<double>(p.refs.size());
  std::printf("| %-28s | %6.1f / %6.1f | %5.1f / %5.1f | %4.1f | ", p.name.c_str(), median(t_ceres),
              p99(t_ceres), median(t_lm), p99(t_lm), static_cast<double>(iterations) / frames);
  if (reachable) {
    std::printf("%8.5f / %7.4f | %8.5f / %7.4f | ",
                1e3 * e_ceres.sum / static_cast<double>(e_ceres.count), 1e3 * e_ceres.max,
                1e3 * e_lm.sum / static_cast<double>(e_lm.count), 1e3 * e_lm.max);
  }
  std::printf("%zu (%.1e) |\n", cost_mismatch, worst_cost_gap);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t frames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 600;
  try {
    std::printf(
        "Reachable targets (%zu frames). Times in us per frame (thread CPU), errors in "
        "mm.\n\n| problem | Ceres median / p99 | kova LM median / p99 | Ceres iterations "
        "| Ceres tip error mean / max | LM tip error mean / max | cost != objective |\n"
        "|---|---|---|---|---|---|---|\n",
        frames);
    for (const Problem& p : reachable_problems(frames)) run(p, true);
    std::printf(
        "\nDemo motion, shipped configurations.\n\n| problem | Ceres median / p99 | kova "
        "LM median / p99 | Ceres iterations | cost != objective |\n|---|---|---|---|---|\n");
    for (const Problem& p : demo_problems()) run(p, false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ceres_compare: %s\n", e.what());
    return 1;
  }
  return 0;
}
