#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/vector_optimizer.hpp"

namespace kova {
namespace {

// DexPilot parameters that are not configurable.
constexpr double kDexPilotHuberDelta = 0.03;
constexpr double kDexPilotLeadPairLength = 0.0001;
constexpr double kDexPilotOtherPairLength = 0.03;

constexpr std::array<const char*, 6> kDummyJointNames = {
    "dummy_x_translation_joint", "dummy_y_translation_joint", "dummy_z_translation_joint",
    "dummy_x_rotation_joint",    "dummy_y_rotation_joint",    "dummy_z_rotation_joint",
};

// Position of the first exact match of each name in a list, looked up in constant time.
class FirstPositions {
 public:
  explicit FirstPositions(const std::vector<std::string>& names) {
    positions_.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) positions_.try_emplace(names[i], i);
  }
  std::optional<std::size_t> operator()(const std::string& name) const {
    const auto found = positions_.find(name);
    if (found == positions_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::unordered_map<std::string_view, std::size_t> positions_;
};

// Lists a configuration must hold for its type; validation has made sure they are there.
const std::vector<std::string>& required(const std::optional<std::vector<std::string>>& list) {
  static const std::vector<std::string> empty;
  return list ? *list : empty;
}

std::unique_ptr<Optimizer> make_optimizer(const RetargetingConfig& config, RobotWrapper robot,
                                          std::vector<std::string> target_joint_names) {
  switch (config.type) {
    case RetargetingType::Vector:
      return std::make_unique<VectorOptimizer>(
          std::move(robot), std::move(target_joint_names),
          required(config.target_origin_link_names), required(config.target_task_link_names),
          config.huber_delta, config.normal_delta, config.scaling_factor);
    case RetargetingType::Position:
      return std::make_unique<PositionOptimizer>(std::move(robot), std::move(target_joint_names),
                                                 required(config.target_link_names),
                                                 config.huber_delta, config.normal_delta);
    case RetargetingType::DexPilot:
      return std::make_unique<DexPilotOptimizer>(
          std::move(robot), std::move(target_joint_names), required(config.finger_tip_link_names),
          config.wrist_link_name.value_or(std::string()), kDexPilotHuberDelta, config.normal_delta,
          config.project_dist, config.escape_dist, kDexPilotLeadPairLength,
          kDexPilotOtherPairLength, config.scaling_factor);
  }
  throw InternalFault("unknown retargeting type");
}

// Couples each mimic joint to its source among the target joints.
Status install_mimic_adaptor(Optimizer& optimizer, const MimicJointTable& table,
                             const std::vector<std::string>& target_joint_names) {
  const std::vector<std::string> dof_names = optimizer.dof_joint_names();
  const FirstPositions dof_position(dof_names);
  const FirstPositions target_position(target_joint_names);

  std::vector<std::size_t> target_joint_indices;
  target_joint_indices.reserve(target_joint_names.size());
  for (const std::string& name : target_joint_names) {
    const auto index = dof_position(name);
    // The optimiser's constructor has already required every target joint to be a DOF joint.
    if (!index) throw InternalFault("Joint " + name + " not found in robot");
    target_joint_indices.push_back(*index);
  }

  std::vector<std::size_t> source_joint_indices;
  source_joint_indices.reserve(table.source_joint_names.size());
  for (const std::string& name : table.source_joint_names) {
    const auto index = dof_position(name);
    if (!index) return fail("Source joint " + name + " not found");
    source_joint_indices.push_back(*index);
  }

  std::vector<std::size_t> mimic_joint_indices;
  mimic_joint_indices.reserve(table.mimic_joint_names.size());
  for (const std::string& name : table.mimic_joint_names) {
    const auto index = dof_position(name);
    if (!index) return fail("Mimic joint " + name + " not found");
    mimic_joint_indices.push_back(*index);
  }

  std::vector<std::size_t> source_target_positions;
  source_target_positions.reserve(table.source_joint_names.size());
  for (const std::string& name : table.source_joint_names) {
    const auto position = target_position(name);
    if (!position) return fail("Source joint " + name + " not in target joints");
    source_target_positions.push_back(*position);
  }

  optimizer.set_adaptor(MimicJointKinematicAdaptor::from_indices(
      std::move(target_joint_indices), std::move(source_joint_indices),
      std::move(mimic_joint_indices), std::move(source_target_positions), table.multipliers,
      table.offsets));
  return {};
}

}  // namespace

Result<SeqRetargeting> RetargetingConfig::build() && {
  RetargetingConfig config = std::move(*this);

  if (auto valid = config.validate(); !valid) return fail(valid.error());
  auto urdf_file = config.resolve_urdf_path();
  if (!urdf_file) return fail(urdf_file.error());
  auto urdf = UrdfRobot::from_file(*urdf_file);
  if (!urdf) return fail(urdf.error());

  if (config.add_dummy_free_joint) {
    add_dummy_free_joints(*urdf);
    if (config.target_joint_names) {
      std::vector<std::string> names(kDummyJointNames.begin(), kDummyJointNames.end());
      names.insert(names.end(), config.target_joint_names->begin(),
                   config.target_joint_names->end());
      config.target_joint_names = std::move(names);
    }
  }

  auto robot = RobotWrapper::create(std::move(*urdf));
  if (!robot) return fail(robot.error());

  std::vector<std::string> joint_names =
      config.target_joint_names ? *config.target_joint_names : robot->dof_joint_names();
  const MimicJointTable mimic_table = robot->urdf().parse_mimic_joints();
  const std::vector<std::pair<double, double>> joint_limits = robot->joint_limits();

  std::unique_ptr<Optimizer> optimizer = make_optimizer(config, std::move(*robot), joint_names);

  if (mimic_table.has_mimic && !config.ignore_mimic_joint) {
    if (auto coupled = install_mimic_adaptor(*optimizer, mimic_table, joint_names); !coupled) {
      return fail(coupled.error());
    }
  }

  std::vector<std::pair<double, double>> bounds;
  bounds.reserve(optimizer->opt_dof());
  if (config.has_joint_limits) {
    for (const std::size_t dof : optimizer->idx_pin2target()) {
      check_index(dof, joint_limits.size());
      bounds.push_back(joint_limits[dof]);
    }
  } else {
    bounds.assign(optimizer->opt_dof(), {-kUnboundedLimit, kUnboundedLimit});
  }
  optimizer->set_joint_limit(bounds);

  std::optional<LPFilter> filter;
  // NaN fails both comparisons and gets no filter.
  if (config.low_pass_alpha >= 0.0 && config.low_pass_alpha <= 1.0) {
    filter.emplace(config.low_pass_alpha);
  }

  return SeqRetargeting(std::move(optimizer), config.has_joint_limits, std::move(filter),
                        std::move(bounds));
}

}  // namespace kova
