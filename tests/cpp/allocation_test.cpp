// Heap allocations of a retarget loop, counted by a replaced global operator new.
//
// This file is its own test binary (kova_allocation_tests), linked with
// -Wl,--wrap=nlopt_set_min_objective: the objective kova hands to NLopt is wrapped by one that
// counts the allocations made while it runs. Allocations inside the objective must be zero;
// those of the retarget call itself (NLopt's workspace, the per-call vectors) are reported per
// frame and must not depend on how many evaluations a frame takes. Outside the sanitizer build
// the C allocator is interposed too, so that NLopt's own workspace (malloc) is counted as well.
#include <gtest/gtest.h>
#include <nlopt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/hand_frame.hpp"
#include "kova/least_squares.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/reference_map.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/vector_optimizer.hpp"
#include "test_data.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define KOVA_COUNT_C_ALLOCATIONS 0
#else
#define KOVA_COUNT_C_ALLOCATIONS 1
#endif

namespace {

thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;    // operator new, while counting
thread_local std::size_t t_c_allocations = 0;  // malloc, calloc, realloc, while counting

}  // namespace

#if KOVA_COUNT_C_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  if (t_counting) ++t_c_allocations;
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  if (t_counting) ++t_c_allocations;
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  if (t_counting) ++t_c_allocations;
  return __libc_realloc(p, size);
}
void free(void* p) {
  __libc_free(p);
}
}
#endif

namespace {

void* counted_allocation(std::size_t size, std::size_t alignment) {
  if (t_counting) ++t_allocations;
  if (size == 0) size = 1;
  if (alignment > alignof(std::max_align_t)) {
    return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  }
#if KOVA_COUNT_C_ALLOCATIONS
  return __libc_malloc(size);  // not counted again as a C allocation
#else
  return std::malloc(size);
#endif
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = counted_allocation(size, 0);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void* operator new(std::size_t size, std::align_val_t al) {
  void* p = counted_allocation(size, static_cast<std::size_t>(al));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t al) {
  return ::operator new(size, al);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size, 0);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

// The objective tap.
namespace {
thread_local nlopt_func t_objective = nullptr;
thread_local void* t_objective_data = nullptr;
thread_local std::size_t t_objective_allocations = 0;
thread_local std::size_t t_evaluations = 0;

double counting_objective(unsigned n, const double* x, double* grad, void*) {
  const std::size_t before = t_allocations + t_c_allocations;
  const double f = t_objective(n, x, grad, t_objective_data);
  t_objective_allocations += t_allocations + t_c_allocations - before;
  ++t_evaluations;
  return f;
}
}  // namespace

extern "C" nlopt_result __real_nlopt_set_min_objective(nlopt_opt opt, nlopt_func f, void* data);
extern "C" nlopt_result __wrap_nlopt_set_min_objective(nlopt_opt opt, nlopt_func f, void* data) {
  t_objective = f;
  t_objective_data = data;
  return __real_nlopt_set_min_objective(opt, counting_objective, nullptr);
}

namespace {

kova::RobotWrapper load_robot(const std::string& relative) {
  auto urdf = kova::UrdfRobot::from_file(kova::testing::test_robot(relative));
  EXPECT_TRUE(urdf.has_value()) << (urdf ? "" : urdf.error());
  auto robot = kova::RobotWrapper::create(std::move(*urdf));
  EXPECT_TRUE(robot.has_value());
  return std::move(*robot);
}

std::vector<std::pair<double, double>> target_limits(const kova::RobotWrapper& robot) {
  return robot.joint_limits();  // every DOF joint is a target joint below
}

struct PerFrame {
  std::vector<std::size_t> retarget_allocations;   // operator new, whole retarget call
  std::vector<std::size_t> c_allocations;          // malloc & co. (NLopt), whole retarget call
  std::vector<std::size_t> objective_allocations;  // inside the objective only
  std::vector<std::size_t> evaluations;
  std::vector<std::size_t> solver_evaluations;  // as the optimiser reports them
};

// Runs `frames` frames of a smooth motion. Reference rows come from `rows_of(q)`, computed with
// the optimiser's own link positions before counting starts.
template <class RowsOf>
PerFrame run_loop(kova::SeqRetargeting& seq, std::size_t frames, RowsOf rows_of) {
  auto& opt = seq.optimizer();
  const auto limits = seq.joint_limits();
  std::vector<std::vector<double>> rows;
  for (std::size_t i = 0; i < frames; ++i) {
    std::vector<double> q(opt.dof_joint_names().size(), 0.0);
    for (std::size_t j = 0; j < limits.size(); ++j) {
      const double mid = 0.5 * (limits[j].first + limits[j].second);
      const double half = 0.5 * (limits[j].second - limits[j].first);
      q[opt.idx_pin2target()[j]] =
          mid + 0.6 * half * std::sin(0.05 * static_cast<double>(i) + static_cast<double>(j));
    }
    rows.push_back(rows_of(opt, q));
  }
  PerFrame out;
  for (const auto& row : rows) {
    t_objective_allocations = 0;
    t_evaluations = 0;
    t_allocations = 0;
    t_c_allocations = 0;
    t_counting = true;
    std::vector<double> q = seq.retarget(row, {});
    t_counting = false;
    out.retarget_allocations.push_back(t_allocations);
    out.c_allocations.push_back(t_c_allocations);
    out.objective_allocations.push_back(t_objective_allocations);
    out.evaluations.push_back(t_evaluations);
    out.solver_evaluations.push_back(
        dynamic_cast<kova::OptimizerBase&>(seq.optimizer()).last_evaluation_count());
  }
  return out;
}

// The least-squares solver does not go through NLopt, so the objective tap sees nothing; what a
// retarget call allocates must still not depend on how many evaluations the frame takes.
void check_least_squares(const char* name, const PerFrame& r) {
  const auto [fewest, most] =
      std::minmax_element(r.solver_evaluations.begin() + 1, r.solver_evaluations.end());
  std::printf(
      "[ alloc    ] %s, least squares: %zu to %zu evaluations per frame; per retarget "
      "call: %zu operator new, %zu C allocations\n",
      name, *fewest, *most, r.retarget_allocations.back(), r.c_allocations.back());
  EXPECT_LT(*fewest, *most) << "every frame took as many evaluations: the check proves nothing";
  for (std::size_t i = 2; i < r.retarget_allocations.size(); ++i) {
    EXPECT_EQ(r.retarget_allocations[i], r.retarget_allocations[1])
        << "frame " << i << " with " << r.solver_evaluations[i] << " evaluations";
    EXPECT_EQ(r.c_allocations[i], r.c_allocations[1])
        << "frame " << i << " with " << r.solver_evaluations[i] << " evaluations";
  }
}

std::vector<double> positions_of(kova::Optimizer& opt, const std::vector<double>& q,
                                 const std::vector<std::string>& links) {
  auto p = opt.link_positions(q, links);
  EXPECT_TRUE(p.has_value());
  std::vector<double> flat;
  for (const auto& xyz : *p) flat.insert(flat.end(), xyz.begin(), xyz.end());
  return flat;
}

std::vector<double> vectors_of(kova::Optimizer& opt, const std::vector<double>& q,
                               const std::vector<std::string>& origins,
                               const std::vector<std::string>& tasks) {
  const auto o = positions_of(opt, q, origins);
  const auto t = positions_of(opt, q, tasks);
  std::vector<double> v(o.size());
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = t[i] - o[i];
  return v;
}

void report_and_check(const char* name, const PerFrame& r) {
  std::size_t evaluations = 0, objective = 0;
  for (std::size_t i = 0; i < r.evaluations.size(); ++i) {
    evaluations += r.evaluations[i];
    objective += r.objective_allocations[i];
  }
  std::printf(
      "[ alloc    ] %s: %zu frames, %.1f evaluations/frame; per retarget call: "
      "%zu operator new (%zu on the first frame, which starts the filter), %zu C "
      "allocations (NLopt)%s; inside the objective: %zu in total\n",
      name, r.evaluations.size(),
      static_cast<double>(evaluations) / static_cast<double>(r.evaluations.size()),
      r.retarget_allocations.back(), r.retarget_allocations.front(), r.c_allocations.back(),
      KOVA_COUNT_C_ALLOCATIONS ? "" : " [not counted under the sanitizer]", objective);
  EXPECT_GT(evaluations, r.evaluations.size()) << "the objective tap saw no evaluations";
  EXPECT_EQ(objective, 0u) << "the objective allocated";
  // What retarget allocates per call must not grow with the number of evaluations. The first
  // frame also gives the low-pass filter its first sample.
  for (std::size_t i = 2; i < r.retarget_allocations.size(); ++i) {
    EXPECT_EQ(r.retarget_allocations[i], r.retarget_allocations[1])
        << "frame " << i << " with " << r.evaluations[i] << " evaluations";
    EXPECT_EQ(r.c_allocations[i], r.c_allocations[1])
        << "frame " << i << " with " << r.evaluations[i] << " evaluations";
  }
}

const std::vector<std::string> kAllegroTips = {"link_15.0_tip", "link_3.0_tip", "link_7.0_tip",
                                               "link_11.0_tip"};
const std::vector<std::string> kAllegroMiddles = {"link_14.0", "link_2.0", "link_6.0", "link_10.0"};

TEST(AllocationPerFrame, PositionOptimizer) {
  kova::RobotWrapper robot = load_robot("allegro/allegro_hand_description_right.urdf");
  const auto limits = target_limits(robot);
  auto names = robot.dof_joint_names();
  std::vector<std::string> links = kAllegroTips;
  links.insert(links.end(), kAllegroMiddles.begin(), kAllegroMiddles.end());
  auto opt = std::make_unique<kova::PositionOptimizer>(std::move(robot), names, links, 0.02, 0.004);
  opt->set_joint_limit(limits);
  kova::SeqRetargeting seq(std::move(opt), true, kova::LPFilter(0.2), limits);
  report_and_check("position/allegro", run_loop(seq, 40, [&](kova::Optimizer& o, const auto& q) {
                     return positions_of(o, q, links);
                   }));
}

TEST(AllocationPerFrame, VectorOptimizer) {
  kova::RobotWrapper robot = load_robot("allegro/allegro_hand_description_right.urdf");
  const auto limits = target_limits(robot);
  auto names = robot.dof_joint_names();
  std::vector<std::string> tasks = kAllegroTips;
  tasks.insert(tasks.end(), kAllegroMiddles.begin(), kAllegroMiddles.end());
  const std::vector<std::string> origins(tasks.size(), "base_link");
  auto opt = std::make_unique<kova::VectorOptimizer>(std::move(robot), names, origins, tasks, 0.02,
                                                     0.004, 1.0);
  opt->set_joint_limit(limits);
  kova::SeqRetargeting seq(std::move(opt), true, kova::LPFilter(0.2), limits);
  report_and_check("vector/allegro", run_loop(seq, 40, [&](kova::Optimizer& o, const auto& q) {
                     return vectors_of(o, q, origins, tasks);
                   }));
}

// The solver's allocations per frame: SLSQP's through the objective tap, the least-squares
// solver's by comparing frames of different evaluation counts.
void check(kova::SolverKind solver, const char* name, const PerFrame& r) {
  if (solver == kova::SolverKind::Slsqp) {
    report_and_check(name, r);
  } else {
    check_least_squares(name, r);
  }
}

void dexpilot_with_pinches(kova::SolverKind solver) {
  kova::RobotWrapper robot = load_robot("allegro/allegro_hand_description_right.urdf");
  const auto limits = target_limits(robot);
  auto names = robot.dof_joint_names();
  std::vector<std::string> origins, tasks;
  for (std::size_t i = 0; i < kAllegroTips.size(); ++i) {
    for (std::size_t j = i + 1; j < kAllegroTips.size(); ++j) {
      origins.push_back(kAllegroTips[j]);
      tasks.push_back(kAllegroTips[i]);
    }
  }
  for (const auto& tip : kAllegroTips) {
    origins.push_back("base_link");
    tasks.push_back(tip);
  }
  auto opt = std::make_unique<kova::DexPilotOptimizer>(
      std::move(robot), names, kAllegroTips, "base_link", 0.03, 0.004, 0.03, 0.05, 1e-4, 0.03, 1.0);
  opt->set_joint_limit(limits);
  opt->set_solver(solver);
  kova::SeqRetargeting seq(std::move(opt), true, kova::LPFilter(0.2), limits);
  std::size_t frame = 0;
  check(solver, "dexpilot/allegro", run_loop(seq, 40, [&](kova::Optimizer& o, const auto& q) {
          auto rows = vectors_of(o, q, origins, tasks);
          // Every other stretch of frames pinches thumb and index.
          if ((frame++ / 10) % 2 == 1) {
            for (int a = 0; a < 3; ++a) rows[static_cast<std::size_t>(a)] *= 0.05;
          }
          return rows;
        }));
}

TEST(AllocationPerFrame, DexPilotOptimizerWithPinches) {
  dexpilot_with_pinches(kova::SolverKind::Slsqp);
}
TEST(AllocationPerFrame, LeastSquaresDexPilotWithPinches) {
  dexpilot_with_pinches(kova::SolverKind::LeastSquares);
}

void position_with_mimic_joints(kova::SolverKind solver) {
  kova::RobotWrapper robot = load_robot("schunk_svh/svh.urdf");
  const kova::MimicJointTable mimic = robot.urdf().parse_mimic_joints();
  ASSERT_TRUE(mimic.has_mimic);
  const auto dof_names = robot.dof_joint_names();
  auto position = [&](const std::vector<std::string>& list, const std::string& name) {
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), name) - list.begin());
  };
  std::vector<std::string> names;
  std::vector<std::pair<double, double>> limits;
  for (std::size_t j = 0; j < dof_names.size(); ++j) {
    if (position(mimic.mimic_joint_names, dof_names[j]) == mimic.mimic_joint_names.size()) {
      names.push_back(dof_names[j]);
      limits.push_back(robot.joint_limits()[j]);
    }
  }
  std::vector<std::size_t> targets, sources, mimics, source_positions;
  for (const auto& n : names) targets.push_back(position(dof_names, n));
  for (const auto& n : mimic.source_joint_names) {
    sources.push_back(position(dof_names, n));
    source_positions.push_back(position(names, n));
  }
  for (const auto& n : mimic.mimic_joint_names) mimics.push_back(position(dof_names, n));
  const std::vector<std::string> tips = {"c", "t", "s", "r", "q"};
  auto opt = std::make_unique<kova::PositionOptimizer>(std::move(robot), names, tips, 0.02, 0.004);
  opt->set_adaptor(kova::MimicJointKinematicAdaptor::from_indices(
      targets, sources, mimics, source_positions, mimic.multipliers, mimic.offsets));
  opt->set_joint_limit(limits);
  opt->set_solver(solver);
  kova::SeqRetargeting seq(std::move(opt), true, kova::LPFilter(0.2), limits);
  std::size_t frame = 0;
  check(solver, "position/svh with mimic joints",
        run_loop(seq, 40, [&](kova::Optimizer& o, const auto& q) {
          auto rows = positions_of(o, q, tips);
          // A stretch of targets out of reach takes more evaluations.
          if ((frame++ / 10) % 2 == 1) {
            for (double& v : rows) v *= 1.1;
          }
          return rows;
        }));
}

TEST(AllocationPerFrame, MimicAdaptor) {
  position_with_mimic_joints(kova::SolverKind::Slsqp);
}
TEST(AllocationPerFrame, LeastSquaresPositionWithMimicJoints) {
  position_with_mimic_joints(kova::SolverKind::LeastSquares);
}

double bowl(void*, const double* x, double* grad, double* gauss_newton) {
  const double d0 = x[0] - 3.0, d1 = std::sin(x[1]) - 0.5;
  if (grad != nullptr) {
    grad[0] = 2.0 * d0;
    grad[1] = 2.0 * d1 * std::cos(x[1]);
  }
  if (gauss_newton != nullptr) {  // reweighted and exact alike
    for (int m = 0; m < 2; ++m) {
      gauss_newton[4 * m] = 2.0;
      gauss_newton[4 * m + 1] = 0.0;
      gauss_newton[4 * m + 2] = 0.0;
      gauss_newton[4 * m + 3] = 2.0 * std::cos(x[1]) * std::cos(x[1]);
    }
  }
  return d0 * d0 + d1 * d1;
}

TEST(AllocationPerFrame, LeastSquaresSolverAllocatesNothingOnceBuilt) {
  kova::LeastSquaresSolver solver(2);
  const std::vector<double> lower{-1.0, -1.0};
  const std::vector<double> upper{1.0, 1.0};
  std::vector<double> x{0.0, 0.0};
  t_allocations = 0;
  t_c_allocations = 0;
  t_counting = true;
  const kova::LeastSquaresRun run = solver.solve(x, lower, upper, {}, &bowl, nullptr);
  t_counting = false;
  EXPECT_GT(run.iterations, 2u);
  EXPECT_EQ(x[0], 1.0);  // pressed against its bound
  EXPECT_EQ(t_allocations, 0u);
  EXPECT_EQ(t_c_allocations, 0u);
}

// Per-frame keypoint work around a solve: hand frame, reference rows and target errors.
TEST(AllocationFree, HandFrameReferenceRowsAndTargetErrors) {
  kova::RetargetingConfig config;
  config.type = kova::RetargetingType::DexPilot;
  config.urdf_path = "hand.urdf";
  config.wrist_link_name = "palm";
  config.finger_tip_link_names = std::vector<std::string>{"th_tip", "ff_tip", "mf_tip", "lf_tip"};
  const auto map = kova::ReferenceMap::from_config(config);
  ASSERT_TRUE(map) << map.error();
  std::vector<double> keypoints(3 * 63);
  for (std::size_t i = 0; i < keypoints.size(); ++i) {
    keypoints[i] = std::sin(0.7 * static_cast<double>(i));
  }
  std::vector<double> hand(keypoints.size());
  std::vector<double> rows(3 * map->row_values());
  std::vector<double> positions(3 * 3 * map->links.size(), 0.01);
  std::vector<double> errors(3 * map->row_count());
  t_allocations = 0;
  t_c_allocations = 0;
  t_counting = true;
  const bool done = kova::to_hand_frame(keypoints, kova::HandSide::Left, hand, true) &&
                    kova::reference_rows(*map, hand, rows) &&
                    kova::target_errors(*map, positions, rows, errors);
  t_counting = false;
  EXPECT_TRUE(done);
  EXPECT_EQ(t_allocations, 0u);
  EXPECT_EQ(t_c_allocations, 0u);
}

}  // namespace
