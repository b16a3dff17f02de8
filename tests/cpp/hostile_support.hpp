// Helpers for the hostile-input tests: a small two-finger robot, generated large robots, and a
// retargeter built straight from a configuration record.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"

namespace kova_hostile {

// Palm with two fingers of two links each; the second joint of finger a mimics the first.
inline std::string two_finger_urdf() {
  return R"(<robot name="toy">
  <link name="palm"/><link name="a1"/><link name="a2"/><link name="b1"/><link name="b2"/>
  <joint name="ja1" type="revolute"><parent link="palm"/><child link="a1"/>
    <origin xyz="0.02 0 0.05"/><axis xyz="1 0 0"/><limit lower="-0.5" upper="1.5"/></joint>
  <joint name="ja2" type="revolute"><parent link="a1"/><child link="a2"/>
    <origin xyz="0 0 0.04"/><axis xyz="1 0 0"/><limit lower="0" upper="1.6"/>
    <mimic joint="ja1" multiplier="0.8" offset="0.1"/></joint>
  <joint name="jb1" type="revolute"><parent link="palm"/><child link="b1"/>
    <origin xyz="-0.02 0 0.05"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="jb2" type="prismatic"><parent link="b1"/><child link="b2"/>
    <origin xyz="0 0 0.03"/><axis xyz="0 0 1"/><limit lower="0" upper="0.02"/></joint>
</robot>)";
}

// A chain root -> l1 -> ... -> l<n>, each joint revolute about z with a 1 cm offset along x.
inline std::string chain_urdf(std::size_t n) {
  std::string text = "<robot name=\"chain\"><link name=\"l0\"/>";
  for (std::size_t i = 1; i <= n; ++i) {
    const std::string parent = "l" + std::to_string(i - 1);
    const std::string child = "l" + std::to_string(i);
    text += "<link name=\"" + child + "\"/><joint name=\"j" + std::to_string(i) +
            "\" type=\"revolute\"><parent link=\"" + parent + "\"/><child link=\"" + child +
            "\"/><origin xyz=\"0.01 0 0\"/><axis xyz=\"0 0 1\"/>"
            "<limit lower=\"-1\" upper=\"1\"/></joint>";
  }
  return text + "</robot>";
}

// One root with n children, each on its own prismatic joint along y, 1 mm apart along x.
inline std::string wide_urdf(std::size_t n) {
  std::string text = "<robot name=\"wide\"><link name=\"root\"/>";
  for (std::size_t i = 0; i < n; ++i) {
    const std::string child = "c" + std::to_string(i);
    text += "<link name=\"" + child + "\"/><joint name=\"p" + std::to_string(i) +
            "\" type=\"prismatic\"><parent link=\"root\"/><child link=\"" + child +
            "\"/><origin xyz=\"" + std::to_string(0.001 * static_cast<double>(i)) +
            " 0 0\"/><axis xyz=\"0 1 0\"/><limit lower=\"-1\" upper=\"1\"/></joint>";
  }
  return text + "</robot>";
}

inline kova::RetargetingConfig position_config(const std::filesystem::path& urdf,
                                               std::vector<std::string> links) {
  kova::RetargetingConfig config;
  config.type = kova::RetargetingType::Position;
  config.urdf_path = urdf.string();
  std::vector<std::uint64_t> indices;
  for (std::size_t i = 0; i < links.size(); ++i) indices.push_back(i);
  config.target_link_names = std::move(links);
  config.target_link_human_indices = std::move(indices);
  return config;
}

// Builds the configuration; fails the test on any error.
inline kova::SeqRetargeting build(kova::RetargetingConfig config) {
  auto built = std::move(config).build();
  if (!built) throw std::runtime_error("build failed: " + built.error());
  return std::move(*built);
}

}  // namespace kova_hostile
