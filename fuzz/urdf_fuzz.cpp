// URDF text -> UrdfRobot -> RobotWrapper, then, for small robots, one forward-kinematics pass and
// the position Jacobian of every link. Any crash, sanitizer report, leak or hang is a finding; a
// returned error or an InternalFault is an ordinary outcome.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "kova/result.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {
constexpr std::size_t kMaxLinksForKinematics = 256;
constexpr std::size_t kMaxDofForKinematics = 128;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto robot = kova::UrdfRobot::from_str(text);
  if (!robot) return 0;
  (void)robot->root_link();
  const kova::MimicJointTable mimic = robot->parse_mimic_joints();
  if (mimic.has_mimic != !mimic.mimic_joint_names.empty()) __builtin_trap();

  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  if (!wrapper) return 0;
  if (wrapper->link_count() > kMaxLinksForKinematics || wrapper->dof() > kMaxDofForKinematics)
    return 0;
  if (wrapper->joint_limits().size() != wrapper->dof()) __builtin_trap();

  kova_fuzz::Numbers numbers(text);
  std::vector<double> qpos(wrapper->dof());
  for (double& q : qpos) q = numbers.coordinate() * 10.0;
  // A joint vector of the wrong length is tolerated by forward kinematics (missing entries are 0).
  const std::size_t given = numbers.below(4) == 0 ? numbers.below(qpos.size() + 2) : qpos.size();
  std::vector<double> passed(qpos.begin(), qpos.begin() + std::min(given, qpos.size()));
  if (given > qpos.size()) passed.resize(given, 0.5);
  wrapper->compute_forward_kinematics(passed);
  for (std::size_t link = 0; link < wrapper->link_count(); ++link) {
    (void)wrapper->link_position(link);
    (void)wrapper->compute_single_link_position_jacobian_cached(link);
  }
  try {
    (void)wrapper->link_position(wrapper->link_count());
    __builtin_trap();  // an index past the end must be refused
  } catch (const kova::InternalFault&) {
  }
  return 0;
}
