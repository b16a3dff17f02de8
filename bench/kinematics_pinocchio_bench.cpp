// Forward kinematics plus one position Jacobian per fingertip: kova against pinocchio's C++.
//
// kova: compute_forward_kinematics, then per tip its position and its 3 x dof Jacobian into a
// preallocated matrix. pinocchio: computeJointJacobians (forward kinematics plus the joint
// Jacobians), then per tip getFrameJacobian in LOCAL_WORLD_ALIGNED (which also places the frame)
// and the frame's position. Both walk the same 64 joint vectors, given by joint name.
// Built only when pinocchio's CMake package is found (the `pin` wheel ships it).
#include <benchmark/benchmark.h>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/jacobian.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

struct HandCase {
  const char* name;
  const char* urdf;
  std::vector<std::string> tips;
};

const std::vector<HandCase>& hand_cases() {
  static const std::vector<HandCase> cases = {
      {"allegro",
       "allegro/allegro_hand_description_right.urdf",
       {"link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip", "base_link"}},
      {"leap",
       "leap/robot.urdf",
       {"thumb_fingertip", "fingertip", "fingertip_2", "fingertip_3", "palm_lower"}},
      {"shadow",
       "shadow_2020/shadowhand_motor.urdf",
       {"rh_thtip", "rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip"}},
      {"svh", "schunk_svh/svh.urdf", {"c", "t", "s", "r", "q"}},
  };
  return cases;
}

std::filesystem::path robot_path(const HandCase& c) {
  return std::filesystem::path(KOVA_TEST_DATA_DIR) / "robots" / c.urdf;
}

constexpr std::size_t kConfigurations = 64;

// Joint vectors in kova's DOF order, uniformly inside the limits (or [-1, 1]).
std::vector<std::vector<double>> configurations(const kova::RobotWrapper& robot) {
  std::mt19937_64 rng(42);
  std::vector<std::vector<double>> qs(kConfigurations, std::vector<double>(robot.dof()));
  for (auto& q : qs) {
    for (std::size_t j = 0; j < robot.dof(); ++j) {
      auto [lo, hi] = robot.joint_limits()[j];
      if (hi - lo > 1000.0) lo = -1.0, hi = 1.0;
      q[j] = std::uniform_real_distribution<double>(lo, hi)(rng);
    }
  }
  return qs;
}

void kova_fk_jacobians(benchmark::State& state, const HandCase* c) {
  auto urdf = kova::UrdfRobot::from_file(robot_path(*c));
  if (!urdf) return state.SkipWithError(urdf.error().c_str());
  auto made = kova::RobotWrapper::create(std::move(*urdf));
  if (!made) return state.SkipWithError(made.error().c_str());
  kova::RobotWrapper robot = std::move(*made);
  std::vector<std::size_t> links;
  for (const auto& tip : c->tips) links.push_back(robot.link_index().at(tip));
  const auto qs = configurations(robot);
  kova::Jacobian jac(3, static_cast<Eigen::Index>(robot.dof()));
  std::size_t k = 0;
  for (auto _ : state) {
    robot.compute_forward_kinematics(qs[k++ % kConfigurations]);
    for (std::size_t link : links) {
      Eigen::Vector3d p = robot.link_position(link);
      benchmark::DoNotOptimize(p);
      robot.compute_single_link_position_jacobian_cached(link, jac);
      benchmark::DoNotOptimize(jac.data());
    }
    benchmark::ClobberMemory();
  }
}

void pinocchio_fk_jacobians(benchmark::State& state, const HandCase* c) {
  pinocchio::Model model;
  pinocchio::urdf::buildModel(robot_path(*c).string(), model);
  pinocchio::Data data(model);
  auto urdf = kova::UrdfRobot::from_file(robot_path(*c));
  if (!urdf) return state.SkipWithError(urdf.error().c_str());
  auto made = kova::RobotWrapper::create(std::move(*urdf));
  if (!made) return state.SkipWithError(made.error().c_str());
  const auto kova_qs = configurations(*made);
  // The same joint vectors in pinocchio's order, matched by joint name.
  std::vector<Eigen::VectorXd> qs(kConfigurations, Eigen::VectorXd::Zero(model.nq));
  for (std::size_t j = 0; j < made->dof(); ++j) {
    const auto id = model.getJointId(made->dof_joints()[j].name);
    if (id >= static_cast<pinocchio::JointIndex>(model.njoints)) {
      return state.SkipWithError("joint missing in pinocchio model");
    }
    for (std::size_t k = 0; k < kConfigurations; ++k) qs[k][model.idx_qs[id]] = kova_qs[k][j];
  }
  std::vector<pinocchio::FrameIndex> frames;
  for (const auto& tip : c->tips) frames.push_back(model.getFrameId(tip, pinocchio::BODY));
  pinocchio::Data::Matrix6x jac = pinocchio::Data::Matrix6x::Zero(6, model.nv);
  std::size_t k = 0;
  for (auto _ : state) {
    pinocchio::computeJointJacobians(model, data, qs[k++ % kConfigurations]);
    for (auto f : frames) {
      pinocchio::getFrameJacobian(model, data, f, pinocchio::LOCAL_WORLD_ALIGNED, jac);
      benchmark::DoNotOptimize(jac.data());
      Eigen::Vector3d p = data.oMf[f].translation();
      benchmark::DoNotOptimize(p);
    }
    benchmark::ClobberMemory();
  }
}

bool register_all() {
  for (const auto& c : hand_cases()) {
    if (!std::filesystem::exists(robot_path(c))) continue;
    benchmark::RegisterBenchmark((std::string("kova/") + c.name).c_str(), kova_fk_jacobians, &c);
    benchmark::RegisterBenchmark((std::string("pinocchio/") + c.name).c_str(),
                                 pinocchio_fk_jacobians, &c);
  }
  return true;
}

const bool registered = register_all();

}  // namespace

BENCHMARK_MAIN();
