// Non-finite numbers wherever numbers come in: reference data, fixed joint values, a set joint
// vector and the configuration's parameters. A frame always returns one value per degree of
// freedom; reset() brings a sequence back to exactly the state of a fresh one.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "hostile_support.hpp"
#include "kova/retargeting_config.hpp"

namespace {

namespace fs = std::filesystem;
using kova_config_test::TempDir;
using kova_hostile::build;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Tips of both fingers of the two-finger robot, reachable.
const std::vector<double> kRef = {0.02, 0.03, 0.08, -0.03, 0.0, 0.085};

class HostileNumbers : public ::testing::Test {
 protected:
  kova::RetargetingConfig config(kova::RetargetingType type) const {
    kova::RetargetingConfig c;
    c.type = type;
    c.urdf_path = urdf_.string();
    switch (type) {
      case kova::RetargetingType::Position:
        c.target_link_names = std::vector<std::string>{"a2", "b2"};
        c.target_link_human_indices = std::vector<std::uint64_t>{4, 8};
        break;
      case kova::RetargetingType::Vector:
        c.target_origin_link_names = std::vector<std::string>{"palm", "palm"};
        c.target_task_link_names = std::vector<std::string>{"a2", "b2"};
        c.target_link_human_indices = std::vector<std::uint64_t>{0, 0, 4, 8};
        break;
      case kova::RetargetingType::DexPilot:
        c.wrist_link_name = "palm";
        c.finger_tip_link_names = std::vector<std::string>{"a2", "b2"};
        break;
    }
    return c;
  }

  TempDir dir_;
  fs::path urdf_ = dir_.write("toy.urdf", kova_hostile::two_finger_urdf());
};

const kova::RetargetingType kTypes[] = {kova::RetargetingType::Position,
                                        kova::RetargetingType::Vector,
                                        kova::RetargetingType::DexPilot};

bool all_finite(const std::vector<double>& values) {
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

// Reference rows long enough for every type: DexPilot with two tips reads three rows.
std::vector<double> ref_for(kova::RetargetingType type) {
  std::vector<double> ref = kRef;
  if (type == kova::RetargetingType::DexPilot) ref.insert(ref.end(), {0.05, 0.03, -0.005});
  return ref;
}

TEST_F(HostileNumbers, NonFiniteReferenceGivesAFullFrameAndTheSequenceRecovers) {
  for (const auto type : kTypes) {
    for (const double bad : {kNaN, kInf, -kInf, 1e308}) {
      SCOPED_TRACE(std::string(kova::to_string(type)) + " " + std::to_string(bad));
      auto seq = build(config(type));  // with the default low-pass filter
      const std::size_t dof = seq.optimizer().dof_joint_names().size();
      EXPECT_TRUE(all_finite(seq.retarget(ref_for(type), {})));
      std::vector<double> ref = ref_for(type);
      ref[1] = bad;
      EXPECT_EQ(seq.retarget(ref, {}).size(), dof);
      EXPECT_EQ(seq.get_qpos(std::nullopt).size(), dof);
      // The next sound frame is solved from the last finite solution: no reset needed.
      EXPECT_TRUE(all_finite(seq.retarget(ref_for(type), {})));
      EXPECT_TRUE(all_finite(seq.get_qpos(std::nullopt)));
    }
  }
}

// Without a filter (which a reset leaves alone) a reset returns to the state of a fresh sequence.
TEST_F(HostileNumbers, ResetAfterNonFiniteFramesEqualsAFreshSequence) {
  for (const auto type : {kova::RetargetingType::Position, kova::RetargetingType::Vector}) {
    SCOPED_TRACE(std::string(kova::to_string(type)));
    auto unfiltered = [&] {
      auto c = config(type);
      c.low_pass_alpha = -1.0;
      return build(std::move(c));
    };
    auto fresh = unfiltered();
    auto seq = unfiltered();
    std::vector<double> ref = ref_for(type);
    ref[0] = kNaN;
    ref[4] = kInf;
    seq.retarget(ref, {});
    seq.reset();
    EXPECT_EQ(seq.retarget(ref_for(type), {}), fresh.retarget(ref_for(type), {}));
  }
}

TEST_F(HostileNumbers, NonFiniteFixedJointValuesGiveAFullFrame) {
  auto c = config(kova::RetargetingType::Position);
  c.target_joint_names = std::vector<std::string>{"ja1", "jb1"};
  auto seq = build(std::move(c));
  ASSERT_EQ(seq.optimizer().idx_pin2fixed().size(), 1u);  // jb2; ja2 follows ja1
  for (const double bad : {kNaN, kInf}) {
    const std::vector<double> fixed = {bad};
    const std::vector<double> q = seq.retarget(kRef, fixed);
    ASSERT_EQ(q.size(), 4u);
    const std::size_t fixed_position = seq.optimizer().idx_pin2fixed()[0];
    EXPECT_TRUE(std::isnan(q[fixed_position]) || q[fixed_position] == bad);
  }
  seq.reset();
  EXPECT_TRUE(all_finite(seq.retarget(kRef, std::vector<double>{0.01})));
}

// A non-finite warm start is clamped into the joint limits, so the frame is solved from there.
TEST_F(HostileNumbers, NonFiniteSetQposStartsFromTheLimits) {
  for (const double bad : {kNaN, kInf, -kInf}) {
    auto seq = build(config(kova::RetargetingType::Position));
    const std::size_t dof = seq.optimizer().dof_joint_names().size();
    seq.set_qpos(std::vector<double>(dof, bad));
    const std::vector<double> q = seq.retarget(kRef, {});
    EXPECT_EQ(q.size(), dof);
    EXPECT_TRUE(all_finite(q));
  }
}

TEST_F(HostileNumbers, NonFiniteConfigurationNumbersBuildAndRun) {
  for (const auto type : kTypes) {
    for (const double bad : {kNaN, kInf, -kInf, 0.0, -1.0}) {
      SCOPED_TRACE(std::string(kova::to_string(type)) + " " + std::to_string(bad));
      auto c = config(type);
      c.scaling_factor = bad;
      c.normal_delta = bad;
      c.huber_delta = bad;
      c.project_dist = bad;
      c.escape_dist = bad;
      c.low_pass_alpha = bad;
      auto seq = build(std::move(c));
      const std::size_t dof = seq.optimizer().dof_joint_names().size();
      for (int frame = 0; frame < 3; ++frame)
        EXPECT_EQ(seq.retarget(ref_for(type), {}).size(), dof);
      // NaN and the values outside [0, 1] give no filter; 0 gives one.
      EXPECT_EQ(seq.filter().has_value(), bad == 0.0);
    }
  }
}

TEST_F(HostileNumbers, NonFiniteJointLimitsInTheUrdf) {
  const std::string text =
      "<robot><link name=\"palm\"/><link name=\"tip\"/><joint name=\"j\" type=\"revolute\">"
      "<parent link=\"palm\"/><child link=\"tip\"/><origin xyz=\"0 0 0.1\"/><axis xyz=\"1 0 0\"/>"
      "<limit lower=\"nan\" upper=\"inf\"/></joint></robot>";
  auto c = config(kova::RetargetingType::Position);
  c.urdf_path = dir_.write("nan_limits.urdf", text).string();
  c.target_link_names = std::vector<std::string>{"tip"};
  c.target_link_human_indices = std::vector<std::uint64_t>{4};
  auto seq = build(std::move(c));
  const std::vector<double> ref = {0.0, -0.05, 0.08};
  for (int frame = 0; frame < 3; ++frame) EXPECT_EQ(seq.retarget(ref, {}).size(), 1u);
}

TEST_F(HostileNumbers, ReferenceFarLongerThanNeededIsReadUpToItsRows) {
  for (const auto type : kTypes) {
    SCOPED_TRACE(std::string(kova::to_string(type)));
    auto exact = build(config(type));
    auto padded = build(config(type));
    std::vector<double> ref = ref_for(type);
    const std::vector<double> expected = exact.retarget(ref, {});
    ref.resize(1'000'000, kNaN);  // the padding is never read
    EXPECT_EQ(padded.retarget(ref, {}), expected);
  }
}

TEST_F(HostileNumbers, ReferenceOneValueShortIsAnInternalFault) {
  for (const auto type : kTypes) {
    auto seq = build(config(type));
    std::vector<double> ref = ref_for(type);
    ref.pop_back();
    EXPECT_THROW(seq.retarget(ref, {}), kova::InternalFault);
  }
}

}  // namespace
