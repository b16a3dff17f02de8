// One immutable model, many data buffers: threads and batches get exactly the numbers of the
// single-call path, and buffers that do not fit the model are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kova/kinematic_model.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"
#include "test_data.hpp"

namespace {

using kova::KinematicData;
using kova::KinematicModel;

std::shared_ptr<const KinematicModel> load_model(const char* relative) {
  auto urdf = kova::UrdfRobot::from_file(kova::testing::test_robot(relative));
  if (!urdf) throw std::runtime_error(urdf.error());
  auto model = KinematicModel::create(std::move(*urdf));
  if (!model) throw std::runtime_error(model.error());
  return *model;
}

std::vector<double> random_rows(const KinematicModel& model, std::size_t rows, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> angle(-1.2, 1.2);
  std::vector<double> q(rows * model.dof());
  for (double& v : q) v = angle(rng);
  return q;
}

// Every link transform and every link's Jacobian after forward kinematics of one row.
std::vector<double> evaluate(const KinematicModel& model, KinematicData& data,
                             std::span<const double> q) {
  kova::forward_kinematics(model, data, q);
  std::vector<double> out;
  kova::Jacobian jacobian(3, static_cast<Eigen::Index>(model.dof()));
  for (std::size_t link = 0; link < model.link_count(); ++link) {
    const kova::Transform& t = data.link_transforms()[link];
    out.insert(out.end(), t.data(), t.data() + 16);
    kova::link_position_jacobian(model, data, link, jacobian);
    out.insert(out.end(), jacobian.data(), jacobian.data() + jacobian.size());
  }
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(KinematicModel, TwoThreadsOnOneModelMatchTheSequentialResults) {
  const auto model = load_model("shadow_2020/shadowhand_motor.urdf");
  constexpr std::size_t kRows = 1000;
  const std::vector<double> q = random_rows(*model, kRows, 11);
  const std::size_t dof = model->dof();

  std::vector<std::vector<double>> expected(kRows);
  KinematicData sequential(*model);
  for (std::size_t n = 0; n < kRows; ++n) {
    expected[n] = evaluate(*model, sequential, std::span(q).subspan(n * dof, dof));
  }

  // Each thread walks all rows in its own direction, so the two interleave on different rows.
  std::vector<std::vector<double>> forward(kRows);
  std::vector<std::vector<double>> backward(kRows);
  std::latch start(2);  // both threads begin together
  std::thread up([&] {
    KinematicData data(*model);
    start.arrive_and_wait();
    for (std::size_t n = 0; n < kRows; ++n) {
      forward[n] = evaluate(*model, data, std::span(q).subspan(n * dof, dof));
    }
  });
  std::thread down([&] {
    KinematicData data(*model);
    start.arrive_and_wait();
    for (std::size_t n = kRows; n-- > 0;) {
      backward[n] = evaluate(*model, data, std::span(q).subspan(n * dof, dof));
    }
  });
  up.join();
  down.join();
  for (std::size_t n = 0; n < kRows; ++n) {
    ASSERT_TRUE(same_bits(forward[n], expected[n])) << "row " << n;
    ASSERT_TRUE(same_bits(backward[n], expected[n])) << "row " << n;
  }
}

TEST(KinematicModel, WrappersOverOneModelShareItAndKeepTheirOwnTransforms) {
  const auto model = load_model("allegro/allegro_hand_description_right.urdf");
  kova::RobotWrapper a(model);
  kova::RobotWrapper b(model);
  EXPECT_EQ(a.model_ptr(), b.model_ptr());
  const std::vector<double> q = random_rows(*model, 1, 3);
  a.compute_forward_kinematics(q);
  const std::size_t tip = *model->find_link("link_15.0_tip");
  EXPECT_NE(a.link_position(tip), b.link_position(tip));  // b still holds the identity
  b.compute_forward_kinematics(q);
  EXPECT_EQ(a.link_position(tip), b.link_position(tip));
  EXPECT_THROW(kova::RobotWrapper(nullptr), kova::InternalFault);
}

TEST(KinematicModel, ChildJointsFollowTheParentLinkMap) {
  const auto model = load_model("shadow/shadowhand_motor.urdf");
  std::size_t total = 0;
  for (std::size_t link = 0; link < model->link_count(); ++link) {
    const auto children = model->child_joints(link);
    total += children.size();
    const auto listed = model->parent_link_joints().find(model->urdf().links[link].name);
    if (listed == model->parent_link_joints().end()) {
      EXPECT_TRUE(children.empty());
      continue;
    }
    ASSERT_EQ(children.size(), listed->second.size());
    for (std::size_t i = 0; i < children.size(); ++i) EXPECT_EQ(children[i], listed->second[i]);
  }
  EXPECT_EQ(total, model->joint_count());  // every joint hangs from a link of this robot
  EXPECT_THROW((void)model->child_joints(model->link_count()), kova::InternalFault);
}

TEST(KinematicBatch, RowsMatchSingleCallsOnFreshData) {
  const auto model = load_model("inspire/FTP_right_hand.urdf");
  constexpr std::size_t kRows = 7;
  const std::size_t dof = model->dof();
  const std::size_t links = model->link_count();
  const std::vector<double> q = random_rows(*model, kRows, 5);
  const std::vector<std::size_t> picked{links - 1, 0, links / 2};

  KinematicData data(*model);
  kova::forward_kinematics(*model, data, std::vector<double>(dof, 0.3));  // stale state
  std::vector<double> poses(kRows * links * 16);
  kova::forward_kinematics_batch(*model, data, q, kRows, poses);
  std::vector<double> positions(kRows * picked.size() * 3);
  kova::link_positions_batch(*model, data, q, kRows, picked, positions);

  for (std::size_t n = 0; n < kRows; ++n) {
    KinematicData fresh(*model);
    kova::forward_kinematics(*model, fresh, std::span(q).subspan(n * dof, dof));
    for (std::size_t l = 0; l < links; ++l) {
      const kova::Transform& t = fresh.link_transforms()[l];
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
          ASSERT_EQ(poses[((n * links + l) * 4 + r) * 4 + c], t(r, c)) << n << " " << l;
        }
      }
    }
    for (std::size_t k = 0; k < picked.size(); ++k) {
      const Eigen::Vector3d p = fresh.link_position(picked[k]);
      for (int i = 0; i < 3; ++i) ASSERT_EQ(positions[(n * picked.size() + k) * 3 + i], p[i]);
    }
  }
}

TEST(KinematicBatch, MismatchedSizesAndForeignDataAreRefusedBeforeWriting) {
  const auto model = load_model("inspire/FTP_right_hand.urdf");
  const auto other = load_model("allegro/allegro_hand_description_right.urdf");
  const std::size_t links = model->link_count();
  KinematicData data(*model);
  const std::vector<double> q = random_rows(*model, 2, 1);
  std::vector<double> poses(2 * links * 16, -1.0);
  const std::vector<std::size_t> in_range{0};
  std::vector<double> positions(6, -1.0);

  EXPECT_THROW(kova::forward_kinematics_batch(*model, data, q, 3, poses), kova::InternalFault);
  EXPECT_THROW(kova::forward_kinematics_batch(*model, data, q, 2, std::span(poses).first(16)),
               kova::InternalFault);
  const std::vector<std::size_t> out_of_range{links};
  EXPECT_THROW(kova::link_positions_batch(*model, data, q, 2, out_of_range, positions),
               kova::InternalFault);
  KinematicData foreign(*other);
  EXPECT_THROW(kova::forward_kinematics_batch(*model, foreign, q, 2, poses), kova::InternalFault);
  EXPECT_THROW(kova::forward_kinematics(*model, foreign, q), kova::InternalFault);
  for (double v : poses) ASSERT_EQ(v, -1.0);
  for (double v : positions) ASSERT_EQ(v, -1.0);

  // Zero rows are a valid, empty batch.
  kova::forward_kinematics_batch(*model, data, {}, 0, {});
  kova::link_positions_batch(*model, data, {}, 0, in_range, {});
}

}  // namespace
