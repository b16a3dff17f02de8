#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "kinematics_reference.hpp"
#include "kova/robot_wrapper.hpp"
#include "random_robots.hpp"
#include "robot_builder.hpp"
#include "test_data.hpp"

namespace {

using kova::Jacobian;
using kova::JointSpec;
using kova::RobotWrapper;
using kova::Transform;
using kova::UrdfRobot;
using kova::testing::make_joint;
using kova::testing::make_robot;
using kova::testing::same_bits;

constexpr double kPi = std::numbers::pi;

RobotWrapper wrap(UrdfRobot robot) {
  auto wrapper = RobotWrapper::create(std::move(robot));
  if (!wrapper) throw std::runtime_error(wrapper.error());
  return std::move(*wrapper);
}

Transform translation(double x, double y, double z) {
  Transform t = Transform::Identity();
  t(0, 3) = x;
  t(1, 3) = y;
  t(2, 3) = z;
  return t;
}

std::size_t link_slot(const RobotWrapper& wrapper, const std::string& name) {
  return wrapper.link_index().at(name);
}

// Central differences of a link position with respect to every entry of qpos.
Jacobian numeric_jacobian(RobotWrapper& wrapper, std::vector<double> qpos, std::size_t link,
                          double step = 1e-6) {
  Jacobian result(3, static_cast<Eigen::Index>(qpos.size()));
  for (std::size_t j = 0; j < qpos.size(); ++j) {
    const double saved = qpos[j];
    qpos[j] = saved + step;
    wrapper.compute_forward_kinematics(qpos);
    const Eigen::Vector3d plus = wrapper.link_position(link);
    qpos[j] = saved - step;
    wrapper.compute_forward_kinematics(qpos);
    const Eigen::Vector3d minus = wrapper.link_position(link);
    qpos[j] = saved;
    result.col(static_cast<Eigen::Index>(j)) = (plus - minus) / (2 * step);
  }
  wrapper.compute_forward_kinematics(qpos);
  return result;
}

// Every link's Jacobian against central differences; one pair of forward-kinematics passes per
// joint serves all links.
void expect_jacobian_matches_differences(RobotWrapper& wrapper, std::vector<double> qpos,
                                         const std::string& context, double step = 1e-6) {
  const std::size_t links = wrapper.link_count();
  std::vector<Jacobian> numeric(links, Jacobian(3, static_cast<Eigen::Index>(qpos.size())));
  std::vector<Eigen::Vector3d> plus(links);
  for (std::size_t j = 0; j < qpos.size(); ++j) {
    const double saved = qpos[j];
    qpos[j] = saved + step;
    wrapper.compute_forward_kinematics(qpos);
    for (std::size_t link = 0; link < links; ++link) plus[link] = wrapper.link_position(link);
    qpos[j] = saved - step;
    wrapper.compute_forward_kinematics(qpos);
    for (std::size_t link = 0; link < links; ++link) {
      numeric[link].col(static_cast<Eigen::Index>(j)) =
          (plus[link] - wrapper.link_position(link)) / (2 * step);
    }
    qpos[j] = saved;
  }
  wrapper.compute_forward_kinematics(qpos);
  for (std::size_t link = 0; link < links; ++link) {
    const Jacobian analytic = wrapper.compute_single_link_position_jacobian_cached(link);
    ASSERT_EQ(analytic.cols(), numeric[link].cols());
    for (Eigen::Index j = 0; j < analytic.cols(); ++j) {
      for (Eigen::Index r = 0; r < 3; ++r) {
        const double expected = numeric[link](r, j);
        EXPECT_NEAR(analytic(r, j), expected, 1e-6 * (1.0 + std::abs(expected)))
            << context << ": link " << wrapper.urdf().links[link].name << ", column " << j << " ("
            << wrapper.dof_joints()[static_cast<std::size_t>(j)].name << "), row " << r;
      }
    }
  }
}

std::vector<double> random_qpos(const RobotWrapper& wrapper, std::mt19937& rng) {
  std::vector<double> qpos;
  for (const auto& [lower, upper] : wrapper.joint_limits()) {
    const double lo = std::max(lower, -kPi);
    const double hi = std::min(upper, kPi);
    std::uniform_real_distribution<double> value(lo, hi > lo ? hi : lo + 1e-9);
    qpos.push_back(value(rng));
  }
  return qpos;
}

// ---------------------------------------------------------------------------------------------
// Forward kinematics: worked examples

RobotWrapper quarter_turn_chain() {
  JointSpec turn = make_joint("turn", "revolute", "base", "arm");
  turn.origin = translation(1, 0, 0);
  turn.axis = Eigen::Vector3d(0, 0, 1);
  JointSpec tip = make_joint("tip", "fixed", "arm", "hand");
  tip.origin = translation(1, 0, 0);
  return wrap(make_robot({"base", "arm", "hand"}, {turn, tip}));
}

TEST(ForwardKinematics, QuarterTurnChain) {
  RobotWrapper wrapper = quarter_turn_chain();
  const std::vector<double> qpos{kPi / 2};
  wrapper.compute_forward_kinematics(qpos);
  const Transform& arm = wrapper.link_transforms()[link_slot(wrapper, "arm")];
  EXPECT_TRUE(arm.col(3).isApprox(Eigen::Vector4d(1, 0, 0, 1), 1e-15));
  const Eigen::Matrix3d quarter = Eigen::AngleAxisd(kPi / 2, Eigen::Vector3d::UnitZ()).matrix();
  EXPECT_TRUE((arm.topLeftCorner<3, 3>().isApprox(quarter, 1e-15)));
  const Eigen::Vector3d hand = wrapper.link_position(link_slot(wrapper, "hand"));
  EXPECT_NEAR(hand.x(), 1.0, 1e-15);
  EXPECT_NEAR(hand.y(), 1.0, 1e-15);
  EXPECT_NEAR(hand.z(), 0.0, 1e-15);
  EXPECT_EQ(wrapper.link_transforms()[link_slot(wrapper, "base")], Transform::Identity());
}

TEST(ForwardKinematics, EmptyQposMultipliesTheOrigins) {
  std::mt19937 rng(3);
  JointSpec first = make_joint("first", "revolute", "base", "a");
  first.origin = kova::testing::random_origin(rng);
  JointSpec second = make_joint("second", "prismatic", "a", "b");
  second.origin = translation(0.5, -0.25, 2.0);
  const Transform first_origin = first.origin;
  RobotWrapper wrapper = wrap(make_robot({"base", "a", "b"}, {first, second}));
  wrapper.compute_forward_kinematics({});
  EXPECT_TRUE(wrapper.link_transforms()[1].isApprox(first_origin, 1e-15));
  EXPECT_TRUE(wrapper.link_transforms()[2].isApprox(first_origin * second.origin, 1e-15));
}

TEST(ForwardKinematics, PrismaticAxisIsNotNormalised) {
  JointSpec slide = make_joint("slide", "prismatic", "base", "carriage");
  slide.axis = Eigen::Vector3d(0, 0, 2);
  RobotWrapper wrapper = wrap(make_robot({"base", "carriage"}, {slide}));
  wrapper.compute_forward_kinematics(std::vector<double>{0.5});
  EXPECT_EQ(wrapper.link_position(1), Eigen::Vector3d(0, 0, 1));
  EXPECT_EQ((wrapper.link_transforms()[1].topLeftCorner<3, 3>()), Eigen::Matrix3d::Identity());
}

TEST(ForwardKinematics, RevoluteAxisIsUsedAsWritten) {
  JointSpec turn = make_joint("turn", "revolute", "base", "arm");
  turn.axis = Eigen::Vector3d(0, 0, 2);
  RobotWrapper wrapper = wrap(make_robot({"base", "arm"}, {turn}));
  const double q = 0.7;
  wrapper.compute_forward_kinematics(std::vector<double>{q});
  const double c = std::cos(q);
  const double s = std::sin(q);
  Eigen::Matrix3d expected;
  expected << c, -2 * s, 0, 2 * s, c, 0, 0, 0, c + 4 * (1 - c);
  EXPECT_TRUE((wrapper.link_transforms()[1].topLeftCorner<3, 3>().isApprox(expected, 1e-15)));
}

TEST(ForwardKinematics, ContinuousMovesLikeRevoluteAndOtherTypesDoNotMove) {
  const auto pose_of = [](const std::string& type) {
    JointSpec joint = make_joint("j", type, "base", "child");
    joint.axis = Eigen::Vector3d(0.6, 0.0, 0.8);
    joint.origin = translation(0.1, 0.2, 0.3);
    RobotWrapper wrapper = wrap(make_robot({"base", "child"}, {joint}));
    wrapper.compute_forward_kinematics(std::vector<double>{1.2});
    return Transform(wrapper.link_transforms()[1]);
  };
  EXPECT_TRUE(same_bits(pose_of("revolute"), pose_of("continuous")));
  EXPECT_FALSE(pose_of("revolute").isApprox(translation(0.1, 0.2, 0.3)));
  for (const char* type : {"floating", "planar", "Revolute", "fixed"}) {
    EXPECT_EQ(pose_of(type), translation(0.1, 0.2, 0.3)) << type;
  }
}

TEST(ForwardKinematics, MissingQposEntriesMoveWithZero) {
  std::mt19937 rng(11);
  RobotWrapper wrapper = wrap(kova::testing::random_tree(rng, {.min_links = 8}));
  ASSERT_GE(wrapper.dof(), 2u);
  std::vector<double> full = random_qpos(wrapper, rng);
  std::vector<double> shorter(full.begin(), full.begin() + 1);
  std::vector<double> padded(full.size(), 0.0);
  padded[0] = full[0];
  wrapper.compute_forward_kinematics(shorter);
  const std::vector<Transform> from_short = wrapper.link_transforms();
  wrapper.compute_forward_kinematics(padded);
  for (std::size_t i = 0; i < from_short.size(); ++i) {
    EXPECT_TRUE(same_bits(from_short[i], wrapper.link_transforms()[i])) << i;
  }
  std::vector<double> longer = padded;
  longer.push_back(123.0);
  wrapper.compute_forward_kinematics(longer);
  for (std::size_t i = 0; i < from_short.size(); ++i) {
    EXPECT_TRUE(same_bits(from_short[i], wrapper.link_transforms()[i])) << i;
  }
}

TEST(ForwardKinematics, UnreachableLinksKeepTheirTransform) {
  JointSpec joint = make_joint("j", "revolute", "base", "a");
  joint.origin = translation(1, 2, 3);
  JointSpec island = make_joint("island", "fixed", "x", "y");
  island.origin = translation(5, 5, 5);
  RobotWrapper wrapper = wrap(make_robot({"base", "a", "x", "y"}, {joint, island}));
  for (double q : {0.3, -1.0}) {
    wrapper.compute_forward_kinematics(std::vector<double>{q});
    EXPECT_EQ(wrapper.link_transforms()[2], Transform::Identity());
    EXPECT_EQ(wrapper.link_transforms()[3], Transform::Identity());
    EXPECT_EQ(wrapper.link_position(1), Eigen::Vector3d(1, 2, 3));
  }
}

TEST(ForwardKinematics, DuplicateLinkNameWritesOnlyTheLaterEntry) {
  JointSpec joint = make_joint("j", "fixed", "base", "a");
  joint.origin = translation(1, 0, 0);
  RobotWrapper wrapper = wrap(make_robot({"base", "a", "a"}, {joint}));
  wrapper.compute_forward_kinematics({});
  EXPECT_EQ(wrapper.link_transforms()[1], Transform::Identity());
  EXPECT_EQ(wrapper.link_position(2), Eigen::Vector3d(1, 0, 0));
}

TEST(ForwardKinematics, SharedChildKeepsTheLastWriteInVisitingOrder) {
  // "deep" reaches "d" at depth two and is visited after "a", whose joint to "d" comes later in
  // URDF order; the traversal's last write decides.
  JointSpec base_a = make_joint("base_a", "fixed", "base", "a");
  JointSpec base_b = make_joint("base_b", "fixed", "base", "b");
  JointSpec b_c = make_joint("b_c", "fixed", "b", "c");
  JointSpec c_d = make_joint("c_d", "fixed", "c", "d");
  JointSpec a_d = make_joint("a_d", "fixed", "a", "d");
  c_d.origin = translation(7, 0, 0);
  a_d.origin = translation(0, 9, 0);
  RobotWrapper wrapper =
      wrap(make_robot({"base", "a", "b", "c", "d"}, {base_a, base_b, b_c, c_d, a_d}));
  wrapper.compute_forward_kinematics({});
  EXPECT_EQ(wrapper.link_position(4), Eigen::Vector3d(7, 0, 0));
}

// ---------------------------------------------------------------------------------------------
// The plan against the plain traversal, bit for bit, on odd graphs

// Graphs with duplicate link and joint names, children that are no link, joints of unknown
// types, several joints per child, non-unit and zero axes. Parents always rank below children
// in the name pool, so the joints form no cycle (duplicate joint names can still make the walk
// towards the root loop; such robots are refused and skipped).
UrdfRobot random_odd_graph(std::mt19937& rng) {
  std::uniform_int_distribution<int> pool_size(2, 14);
  const int names = pool_size(rng);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<double> component(-2.0, 2.0);
  std::vector<std::string> links{"n0"};
  for (int i = 1; i < names; ++i) {
    if (unit(rng) < 0.85) links.push_back("n" + std::to_string(i));
    if (unit(rng) < 0.1) links.push_back("n" + std::to_string(i));  // duplicate
  }
  std::shuffle(links.begin() + 1, links.end(), rng);
  const char* types[] = {"revolute", "continuous", "prismatic", "fixed", "floating", "weird"};
  std::uniform_int_distribution<int> type(0, 5);
  std::uniform_int_distribution<int> joint_count(0, 2 * names);
  std::uniform_int_distribution<int> joint_name(0, names + 3);
  std::vector<JointSpec> joints;
  const int count = joint_count(rng);
  for (int k = 0; k < count; ++k) {
    std::uniform_int_distribution<int> parent_rank(0, names - 2);
    const int parent = parent_rank(rng);
    std::uniform_int_distribution<int> child_rank(parent + 1, names - 1);
    const int child = child_rank(rng);
    JointSpec joint = make_joint("j" + std::to_string(joint_name(rng)), types[type(rng)],
                                 "n" + std::to_string(parent), "n" + std::to_string(child));
    joint.origin = kova::testing::random_origin(rng);
    joint.axis = Eigen::Vector3d(component(rng), component(rng), component(rng));
    if (unit(rng) < 0.1) joint.axis = Eigen::Vector3d::Zero();
    joints.push_back(std::move(joint));
  }
  return make_robot(links, std::move(joints));
}

TEST(KinematicPlan, MatchesThePlainTraversalBitForBit) {
  std::mt19937 rng(2024);
  int compared = 0;
  for (int trial = 0; trial < 400; ++trial) {
    auto created = RobotWrapper::create(random_odd_graph(rng));
    if (!created) {
      EXPECT_NE(created.error().find("closes a cycle"), std::string::npos) << created.error();
      continue;
    }
    RobotWrapper& wrapper = *created;
    kova::testing::ReferenceKinematics reference(wrapper);
    for (int call = 0; call < 3; ++call) {
      std::uniform_int_distribution<std::size_t> length(0, wrapper.dof() + 2);
      std::uniform_real_distribution<double> value(-4.0, 4.0);
      std::vector<double> qpos(length(rng));
      for (double& q : qpos) q = value(rng);
      wrapper.compute_forward_kinematics(qpos);
      reference.forward(qpos);
      for (std::size_t link = 0; link < wrapper.link_count(); ++link) {
        ASSERT_TRUE(same_bits(wrapper.link_transforms()[link], reference.transforms()[link]))
            << "trial " << trial << ", call " << call << ", link " << link;
        ASSERT_TRUE(same_bits(wrapper.compute_single_link_position_jacobian_cached(link),
                              reference.jacobian(link)))
            << "trial " << trial << ", call " << call << ", link " << link;
      }
    }
    ++compared;
  }
  EXPECT_GT(compared, 250);
}

TEST(KinematicPlan, NonFiniteValuesPropagateLikeThePlainTraversal) {
  std::mt19937 rng(99);
  for (int trial = 0; trial < 50; ++trial) {
    auto created = RobotWrapper::create(random_odd_graph(rng));
    if (!created) continue;
    RobotWrapper& wrapper = *created;
    kova::testing::ReferenceKinematics reference(wrapper);
    std::vector<double> qpos(wrapper.dof(), 0.5);
    if (!qpos.empty())
      qpos[static_cast<std::size_t>(trial) % qpos.size()] =
          trial % 2 == 0 ? std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::quiet_NaN();
    wrapper.compute_forward_kinematics(qpos);
    reference.forward(qpos);
    for (std::size_t link = 0; link < wrapper.link_count(); ++link) {
      EXPECT_TRUE(same_bits(wrapper.link_transforms()[link], reference.transforms()[link]));
      EXPECT_TRUE(same_bits(wrapper.compute_single_link_position_jacobian_cached(link),
                            reference.jacobian(link)));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Jacobians

TEST(Jacobian, RootIsZeroAndSingleRevoluteFollowsTheFormula) {
  JointSpec turn = make_joint("turn", "revolute", "base", "arm");
  turn.origin = translation(0.2, -0.1, 0.4);
  turn.axis = Eigen::Vector3d(0, 1, 0);
  JointSpec other = make_joint("other", "prismatic", "base", "side");
  JointSpec tip = make_joint("tip", "fixed", "arm", "hand");
  tip.origin = translation(0.5, 0.0, 0.0);
  RobotWrapper wrapper = wrap(make_robot({"base", "arm", "side", "hand"}, {turn, other, tip}));
  wrapper.compute_forward_kinematics(std::vector<double>{0.3, 0.1});
  EXPECT_EQ(wrapper.compute_single_link_position_jacobian_cached(0), Jacobian::Zero(3, 2));
  const Jacobian hand = wrapper.compute_single_link_position_jacobian_cached(3);
  const Eigen::Vector3d p_joint(0.2, -0.1, 0.4);
  const Eigen::Vector3d expected =
      Eigen::Vector3d(0, 1, 0).cross(wrapper.link_position(3) - p_joint);
  EXPECT_TRUE(hand.col(0).isApprox(expected, 1e-15));
  EXPECT_EQ(hand.col(1), Eigen::Vector3d::Zero());
}

TEST(Jacobian, NonUnitRevoluteAxisColumnFollowsTheFormulaNotTheDerivative) {
  JointSpec base = make_joint("base_joint", "revolute", "base", "arm");
  base.origin = translation(0.1, 0.0, 0.2);
  base.axis = Eigen::Vector3d(0, 0, 2);
  JointSpec tip = make_joint("tip", "fixed", "arm", "hand");
  tip.origin = translation(0.5, 0.1, 0.0);
  RobotWrapper wrapper = wrap(make_robot({"base", "arm", "hand"}, {base, tip}));
  const std::vector<double> qpos{0.4};
  wrapper.compute_forward_kinematics(qpos);
  const Eigen::Vector3d p_link = wrapper.link_position(2);
  const Eigen::Vector3d a_w(0, 0, 2);  // the parent is the root: F = origin
  const Eigen::Vector3d p_joint(0.1, 0.0, 0.2);
  const Jacobian jacobian = wrapper.compute_single_link_position_jacobian_cached(2);
  EXPECT_TRUE(jacobian.col(0).isApprox(a_w.cross(p_link - p_joint), 1e-15));
  // The motion with this axis is not a pure rotation, and its derivative differs.
  const Jacobian numeric = numeric_jacobian(wrapper, qpos, 2);
  EXPECT_FALSE(jacobian.col(0).isApprox(numeric.col(0), 1e-3));
}

TEST(Jacobian, NonUnitAxisUnderRotatedParent) {
  JointSpec first = make_joint("first", "revolute", "base", "a");
  first.axis = Eigen::Vector3d(1, 0, 0);
  JointSpec second = make_joint("second", "continuous", "a", "b");
  std::mt19937 rng(17);
  second.origin = kova::testing::random_origin(rng);
  second.axis = Eigen::Vector3d(0.5, -1.0, 3.0);
  JointSpec third = make_joint("third", "prismatic", "b", "c");
  third.origin = translation(0.3, 0.2, 0.1);
  third.axis = Eigen::Vector3d(0, 2, 0);
  RobotWrapper wrapper = wrap(make_robot({"base", "a", "b", "c"}, {first, second, third}));
  wrapper.compute_forward_kinematics(std::vector<double>{0.7, -0.4, 0.25});
  const Transform frame = wrapper.link_transforms()[1] * second.origin;
  const Eigen::Vector3d a_w = frame.topLeftCorner<3, 3>() * second.axis;
  const Eigen::Vector3d p_joint = frame.col(3).head<3>();
  const Jacobian jacobian = wrapper.compute_single_link_position_jacobian_cached(3);
  EXPECT_TRUE(jacobian.col(1).isApprox(a_w.cross(wrapper.link_position(3) - p_joint), 1e-14));
  const Transform third_frame = wrapper.link_transforms()[2] * third.origin;
  EXPECT_TRUE(jacobian.col(2).isApprox(third_frame.topLeftCorner<3, 3>() * third.axis, 1e-14));
}

TEST(Jacobian, ReflectsTheLastForwardKinematicsCall) {
  RobotWrapper wrapper = quarter_turn_chain();
  wrapper.compute_forward_kinematics(std::vector<double>{0.0});
  const Jacobian at_zero = wrapper.compute_single_link_position_jacobian_cached(2);
  const std::vector<double> later{kPi / 2};
  (void)later;  // a qpos that forward kinematics has not seen changes nothing
  EXPECT_EQ(wrapper.compute_single_link_position_jacobian_cached(2), at_zero);
  EXPECT_TRUE(at_zero.col(0).isApprox(Eigen::Vector3d(0, 1, 0), 1e-15));
  wrapper.compute_forward_kinematics(later);
  EXPECT_TRUE(wrapper.compute_single_link_position_jacobian_cached(2).col(0).isApprox(
      Eigen::Vector3d(-1, 0, 0), 1e-15));
}

TEST(Jacobian, IndexOutOfRangeIsAnInternalFault) {
  RobotWrapper wrapper = quarter_turn_chain();
  EXPECT_THROW(wrapper.compute_single_link_position_jacobian_cached(3), kova::InternalFault);
  EXPECT_THROW(wrapper.link_position(3), kova::InternalFault);
  Jacobian wrong(3, 2);
  EXPECT_THROW(wrapper.compute_single_link_position_jacobian_cached(0, wrong), kova::InternalFault);
}

TEST(Jacobian, OutputOverloadOverwritesEveryColumn) {
  RobotWrapper wrapper = quarter_turn_chain();
  wrapper.compute_forward_kinematics(std::vector<double>{0.2});
  Jacobian out = Jacobian::Constant(3, 1, 42.0);
  wrapper.compute_single_link_position_jacobian_cached(0, out);
  EXPECT_EQ(out, Jacobian::Zero(3, 1));
  wrapper.compute_single_link_position_jacobian_cached(2, out);
  EXPECT_EQ(out, wrapper.compute_single_link_position_jacobian_cached(2));
}

TEST(Jacobian, MatchesFiniteDifferencesOnRandomTrees) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    RobotWrapper wrapper = wrap(kova::testing::random_tree(rng));
    for (int configuration = 0; configuration < 2; ++configuration) {
      expect_jacobian_matches_differences(wrapper, random_qpos(wrapper, rng),
                                          "random tree " + std::to_string(trial));
      if (HasFailure()) return;
    }
  }
}

TEST(Jacobian, MatchesFiniteDifferencesOnEveryRealRobot) {
  const auto dir = kova::testing::test_robots_dir();
  std::mt19937 rng(1);
  std::size_t robots = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".urdf") continue;
    auto robot = UrdfRobot::from_file(entry.path());
    ASSERT_TRUE(robot) << robot.error();
    RobotWrapper wrapper = wrap(std::move(*robot));
    ++robots;
    for (int configuration = 0; configuration < 2; ++configuration) {
      expect_jacobian_matches_differences(wrapper, random_qpos(wrapper, rng),
                                          entry.path().string());
    }
  }
  EXPECT_GT(robots, 0u);
}

}  // namespace
