// DexPilot's vector set, slot lists, projection hysteresis, weights and targets.
#include "kova/dexpilot_optimizer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kova/seq_retarget.hpp"
#include "objective_probe.hpp"
#include "optimizer_test_support.hpp"

namespace {

using kova::DexPilotOptimizer;
using kova::ObjectiveProbe;
using kova_test::probe_hand;
using Strings = std::vector<std::string>;
using Indices = std::vector<std::size_t>;

const Strings kTips{"l1", "l2", "l3", "tip_b", "tip_c"};  // F1 .. F5 of the probe hand
const std::string kWrist = "base";

DexPilotOptimizer make_dexpilot(std::size_t fingers, double project_dist = 0.03,
                                double escape_dist = 0.05, double scaling = 1.0) {
  return DexPilotOptimizer(
      probe_hand(), {"j1", "j2"},
      Strings(kTips.begin(), kTips.begin() + static_cast<std::ptrdiff_t>(fingers)), kWrist, 0.03,
      0.0, project_dist, escape_dist, 1e-4, 0.03, scaling);
}

// (task, origin) names of each vector, read back through the link bookkeeping.
std::vector<std::pair<std::string, std::string>> vector_table(const DexPilotOptimizer& opt) {
  const Strings links = opt.link_names();
  const auto& v = opt.vectors();
  std::vector<std::pair<std::string, std::string>> table;
  for (std::size_t i = 0; i < v.vector_count(); ++i) {
    table.emplace_back(links[v.computed_link_indices()[v.task_link_indices()[i]]],
                       links[v.computed_link_indices()[v.origin_link_indices()[i]]]);
  }
  return table;
}

TEST(DexPilotTables, VectorSetAndSlotsForTwoToFiveFingers) {
  using Table = std::vector<std::pair<std::string, std::string>>;
  struct Expected {
    std::size_t fingers;
    Table vectors;
    Indices slot_b;
    Indices slot_a;
  };
  const std::string f1 = kTips[0], f2 = kTips[1], f3 = kTips[2], f4 = kTips[3], f5 = kTips[4];
  const std::string w = kWrist;
  const std::vector<Expected> cases{
      {2, {{f1, f2}, {f1, w}, {f2, w}}, {}, {}},
      {3, {{f1, f2}, {f1, f3}, {f2, f3}, {f1, w}, {f2, w}, {f3, w}}, {1}, {0}},
      {4,
       {{f1, f2},
        {f1, f3},
        {f1, f4},
        {f2, f3},
        {f2, f4},
        {f3, f4},
        {f1, w},
        {f2, w},
        {f3, w},
        {f4, w}},
       {1, 2, 2},
       {0, 0, 1}},
      {5,
       {{f1, f2},
        {f1, f3},
        {f1, f4},
        {f1, f5},
        {f2, f3},
        {f2, f4},
        {f2, f5},
        {f3, f4},
        {f3, f5},
        {f4, f5},
        {f1, w},
        {f2, w},
        {f3, w},
        {f4, w},
        {f5, w}},
       {1, 2, 3, 2, 3, 3},
       {0, 0, 0, 1, 1, 2}},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.fingers);
    const DexPilotOptimizer opt = make_dexpilot(c.fingers);
    EXPECT_EQ(vector_table(opt), c.vectors);
    EXPECT_EQ(opt.lead_slot_b(), c.slot_b);
    EXPECT_EQ(opt.lead_slot_a(), c.slot_a);
    const std::size_t pairs = c.fingers * (c.fingers - 1) / 2;
    EXPECT_EQ(opt.projected(), std::vector<bool>(pairs, false));
    std::vector<double> lengths(c.fingers - 1, 1e-4);
    lengths.resize(pairs, 0.03);
    EXPECT_EQ(opt.projected_lengths(), lengths);
    // Distinct links in first-use order: origins F2..Fn, W, then the task F1.
    EXPECT_EQ(opt.vectors().computed_link_indices().size(), c.fingers + 1);
  }
}

TEST(DexPilotTables, FingerCountOutsideTwoToFiveIsRefusedFirst) {
  for (std::size_t fingers : {0u, 1u, 6u}) {
    Strings tips(fingers, "l1");
    try {
      // The misspelt joint would fail too; the finger count is checked before it.
      DexPilotOptimizer(probe_hand(), {"no_such_joint"}, tips, kWrist, 0.03, 0.0, 0.03, 0.05, 1e-4,
                        0.03, 1.0);
      FAIL() << fingers << " fingers accepted";
    } catch (const kova::InternalFault& fault) {
      EXPECT_STREQ(fault.what(), "DexPilot requires 2-5 fingers");
    }
  }
  try {
    DexPilotOptimizer(probe_hand(), {"j1"}, {"l1", "l2"}, "wrist_missing", 0.03, 0.0, 0.03, 0.05,
                      1e-4, 0.03, 1.0);
    FAIL() << "missing wrist accepted";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "Link wrist_missing not found");
  }
}

// Rows for n = 2: the lead pair F1-F2 along x with the given length, then the two wrist vectors.
std::vector<double> two_finger_ref(double lead_length) {
  return {lead_length, 0.0, 0.0, 0.05, 0.01, 0.08, 0.04, -0.02, 0.07};
}

bool step(DexPilotOptimizer& opt, double lead_length) {
  ObjectiveProbe::prepare(opt, two_finger_ref(lead_length), {}, {});
  return opt.projected()[0];
}

TEST(DexPilotHysteresis, SwitchesOnBelowProjectAndOffAboveEscape) {
  DexPilotOptimizer opt = make_dexpilot(2, 0.03, 0.05);
  EXPECT_FALSE(step(opt, 0.04));
  EXPECT_FALSE(step(opt, 0.03));  // exactly project_dist: not switched on
  EXPECT_TRUE(step(opt, 0.0299));
  EXPECT_TRUE(step(opt, 0.04));  // between the two: keeps its state
  EXPECT_TRUE(step(opt, 0.05));  // exactly escape_dist: not switched off
  EXPECT_FALSE(step(opt, 0.0501));
  EXPECT_FALSE(step(opt, 0.04));
}

TEST(DexPilotHysteresis, EscapeTestWinsWhenProjectDistExceedsEscapeDist) {
  DexPilotOptimizer opt = make_dexpilot(2, 0.06, 0.04);
  EXPECT_FALSE(step(opt, 0.05));  // below project_dist but above escape_dist
  EXPECT_TRUE(step(opt, 0.04));
  EXPECT_FALSE(step(opt, 0.045));
}

TEST(DexPilotWeights, ProjectedLeadPairGetsWeight200AndAShortTargetAlongTheHumanDirection) {
  DexPilotOptimizer opt = make_dexpilot(2, 0.03, 0.05, 1.5);
  const std::vector<double> ref{0.01, -0.02, 0.005, 0.05, 0.01, 0.08, 0.04, -0.02, 0.07};
  ObjectiveProbe::prepare(opt, ref, {}, {});
  ASSERT_TRUE(opt.projected()[0]);
  const auto& v = opt.vectors();
  EXPECT_EQ(std::vector<double>(v.weights().begin(), v.weights().end()),
            (std::vector<double>{200.0, 3.0, 3.0}));
  const double d = std::sqrt(0.01 * 0.01 + -0.02 * -0.02 + 0.005 * 0.005);
  for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(v.targets()[a], ref[a] / (d + 1e-6) * 1e-4);
  for (std::size_t i = 3; i < 9; ++i) EXPECT_EQ(v.targets()[i], 1.5 * ref[i]);
}

TEST(DexPilotWeights, UnprojectedPairsWeighOneAndWristVectorsWeighPairsPlusFingers) {
  DexPilotOptimizer opt = make_dexpilot(5);
  std::vector<double> ref;
  for (int k = 0; k < 15; ++k) ref.insert(ref.end(), {0.1, 0.02 * k, -0.01});
  ObjectiveProbe::prepare(opt, ref, {}, {});
  std::vector<double> expected(10, 1.0);
  expected.resize(15, 15.0);
  const auto& w = opt.vectors().weights();
  EXPECT_EQ(std::vector<double>(w.begin(), w.end()), expected);
}

// n = 3 rows: F1-F2, F1-F3, F2-F3, then three wrist vectors.
std::vector<double> three_finger_ref(double d12, double d13, double d23) {
  return {d12,  0.0, 0.0,  0.0,  d13, 0.0,  0.0, 0.0,  d23,
          0.05, 0.0, 0.08, 0.04, 0.0, 0.07, 0.0, 0.03, 0.07};
}

TEST(DexPilotOtherPairs, ProjectedOnlyWithBothLeadPairsAndOwnDistanceAtMost003) {
  DexPilotOptimizer opt = make_dexpilot(3, 0.03, 0.05);
  ObjectiveProbe::prepare(opt, three_finger_ref(0.01, 0.04, 0.01), {}, {});
  EXPECT_EQ(opt.projected(), (std::vector<bool>{true, false, false}));
  ObjectiveProbe::prepare(opt, three_finger_ref(0.01, 0.02, 0.03), {}, {});
  EXPECT_EQ(opt.projected(), (std::vector<bool>{true, true, true}));  // exactly 0.03 counts
  const auto& v = opt.vectors();
  EXPECT_EQ(v.weights()[2], 400.0);
  EXPECT_EQ(v.targets()[8], 0.03 / (0.03 + 1e-6) * 0.03);
  // No hysteresis for the other pairs: recomputed from scratch.
  ObjectiveProbe::prepare(opt, three_finger_ref(0.01, 0.02, 0.031), {}, {});
  EXPECT_EQ(opt.projected(), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(v.weights()[2], 1.0);
  // A lead pair in its hysteresis band keeps the other pair eligible.
  ObjectiveProbe::prepare(opt, three_finger_ref(0.045, 0.045, 0.02), {}, {});
  EXPECT_EQ(opt.projected(), (std::vector<bool>{true, true, true}));
}

TEST(DexPilotWeights, ZeroLengthProjectedVectorGetsTheZeroTarget) {
  DexPilotOptimizer opt = make_dexpilot(2);
  ObjectiveProbe::prepare(opt, two_finger_ref(0.0), {}, {});
  ASSERT_TRUE(opt.projected()[0]);
  for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(opt.vectors().targets()[a], 0.0);
}

TEST(DexPilotFaults, ShortReferenceLeavesProjectionUntouched) {
  DexPilotOptimizer opt = make_dexpilot(2);
  step(opt, 0.01);
  ASSERT_TRUE(opt.projected()[0]);
  const std::vector<double> too_short{0.2, 0.0, 0.0, 0.05, 0.01, 0.08, 0.04, -0.02};
  try {
    opt.retarget(too_short, {}, {});
    FAIL() << "short reference accepted";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "index out of bounds: the len is 8 but the index is 8");
  }
  EXPECT_TRUE(opt.projected()[0]);
}

TEST(DexPilotSequence, ActivePinchSurvivesASequenceResetUntilItEscapes) {
  auto opt = std::make_unique<DexPilotOptimizer>(make_dexpilot(2));
  const DexPilotOptimizer* view = opt.get();
  kova::SeqRetargeting seq(std::move(opt), false, std::nullopt, {{-1.0, 1.0}, {-1.5, 1.5}});
  seq.retarget(two_finger_ref(0.01), {});
  ASSERT_TRUE(view->projected()[0]);
  seq.reset();
  seq.retarget(two_finger_ref(0.045), {});
  EXPECT_TRUE(view->projected()[0]);
  seq.retarget(two_finger_ref(0.06), {});
  EXPECT_FALSE(view->projected()[0]);
}

}  // namespace
