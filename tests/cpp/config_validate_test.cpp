#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/retargeting_config.hpp"

namespace {

using kova::RetargetingConfig;
using kova::RetargetingType;
using Names = std::vector<std::string>;
using Indices = std::vector<std::uint64_t>;

RetargetingConfig vector_config(std::size_t origins, std::size_t tasks, std::size_t indices) {
  RetargetingConfig config;
  config.type = RetargetingType::Vector;
  config.urdf_path = "hand.urdf";
  config.target_origin_link_names = Names(origins, "o");
  config.target_task_link_names = Names(tasks, "t");
  config.target_link_human_indices = Indices(indices, 0);
  return config;
}

RetargetingConfig position_config(std::size_t links, std::size_t indices) {
  RetargetingConfig config;
  config.type = RetargetingType::Position;
  config.urdf_path = "hand.urdf";
  config.target_link_names = Names(links, "l");
  config.target_link_human_indices = Indices(indices, 0);
  return config;
}

RetargetingConfig dexpilot_config(std::size_t tips, std::optional<std::string> wrist) {
  RetargetingConfig config;
  config.type = RetargetingType::DexPilot;
  config.urdf_path = "hand.urdf";
  config.finger_tip_link_names = Names(tips, "f");
  config.wrist_link_name = std::move(wrist);
  return config;
}

std::string error_of(const RetargetingConfig& config) {
  const auto status = config.validate();
  return status ? std::string("<valid>") : status.error();
}

TEST(Validate, EmptyUrdfPathFailsFirstForEveryType) {
  for (RetargetingConfig config :
       {vector_config(0, 0, 0), position_config(0, 0), dexpilot_config(0, std::nullopt)}) {
    config.urdf_path.clear();
    EXPECT_EQ(error_of(config), "retargeting config: urdf_path must not be empty");
  }
}

TEST(Validate, VectorRulesInOrder) {
  EXPECT_EQ(error_of(vector_config(3, 3, 6)), "<valid>");
  // Rule 2 before 3: both lists empty.
  EXPECT_EQ(error_of(vector_config(0, 0, 0)),
            "vector retargeting requires non-empty target_origin_link_names");
  RetargetingConfig absent = vector_config(0, 0, 0);
  absent.target_origin_link_names.reset();
  EXPECT_EQ(error_of(absent), "vector retargeting requires non-empty target_origin_link_names");
  EXPECT_EQ(error_of(vector_config(2, 0, 0)),
            "vector retargeting requires non-empty target_task_link_names");
  // Rule 4 fires even when the indices are missing.
  RetargetingConfig mismatch = vector_config(3, 2, 0);
  mismatch.target_link_human_indices.reset();
  EXPECT_EQ(error_of(mismatch),
            "vector retargeting: target_origin_link_names has 3 entries but "
            "target_task_link_names has 2");
  EXPECT_EQ(error_of(vector_config(3, 3, 0)),
            "vector retargeting requires non-empty target_link_human_indices");
  EXPECT_EQ(error_of(vector_config(3, 3, 5)),
            "vector retargeting: target_link_human_indices must flatten to 2 x 3 entries, got 5");
  EXPECT_EQ(error_of(vector_config(3, 3, 3)),
            "vector retargeting: target_link_human_indices must flatten to 2 x 3 entries, got 3");
}

TEST(Validate, PositionRulesInOrder) {
  EXPECT_EQ(error_of(position_config(2, 2)), "<valid>");
  EXPECT_EQ(error_of(position_config(0, 0)),
            "position retargeting requires non-empty target_link_names");
  EXPECT_EQ(error_of(position_config(2, 0)),
            "position retargeting requires non-empty target_link_human_indices");
  RetargetingConfig absent = position_config(2, 0);
  absent.target_link_human_indices.reset();
  EXPECT_EQ(error_of(absent), "position retargeting requires non-empty target_link_human_indices");
  EXPECT_EQ(error_of(position_config(2, 3)),
            "position retargeting: target_link_human_indices has 3 entries but "
            "target_link_names has 2");
}

TEST(Validate, DexPilotRulesInOrder) {
  EXPECT_EQ(error_of(dexpilot_config(4, "palm")), "<valid>");
  EXPECT_EQ(error_of(dexpilot_config(1, "palm")), "<valid>");  // finger count checked at build
  EXPECT_EQ(error_of(dexpilot_config(9, "palm")), "<valid>");
  EXPECT_EQ(error_of(dexpilot_config(0, std::nullopt)),
            "dexpilot retargeting requires non-empty finger_tip_link_names");
  EXPECT_EQ(error_of(dexpilot_config(2, std::nullopt)),
            "dexpilot retargeting requires wrist_link_name");
  EXPECT_EQ(error_of(dexpilot_config(2, "")), "dexpilot retargeting requires wrist_link_name");
}

TEST(Validate, OtherFieldsAreNotChecked) {
  RetargetingConfig config = position_config(1, 1);
  config.scaling_factor = -1.0;
  config.low_pass_alpha = 7.0;
  config.huber_delta = std::nan("");
  config.target_joint_names = Names{"no_such_joint"};
  config.target_origin_link_names = Names{"a"};  // the other type's list
  config.target_link_human_indices = Indices{1000000};
  EXPECT_EQ(error_of(config), "<valid>");
  // The type's own lists only: a vector configuration ignores target_link_names.
  RetargetingConfig vector = vector_config(1, 1, 2);
  vector.target_link_names.reset();
  EXPECT_EQ(error_of(vector), "<valid>");
}

}  // namespace
