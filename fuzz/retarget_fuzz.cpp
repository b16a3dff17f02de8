// A configuration plus URDF text -> a built retargeter, which then runs a few frames of reference
// data derived from the input, reads and sets its state and computes link positions.
//
// Input: YAML text, the separator line "#--urdf--", then URDF text. Without the separator the
// whole input is the configuration and a small built-in hand is the robot. The configuration's
// urdf_path is replaced by the in-memory URDF file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "kova/result.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"

namespace {

constexpr std::string_view kSeparator = "\n#--urdf--\n";
// Keeps one iteration in the millisecond range: the solver's work grows with the cube of the
// optimised joints.
constexpr std::size_t kMaxDof = 40;
constexpr std::size_t kMaxLinks = 200;
constexpr std::size_t kMaxRows = 64;
// Frames per input: three on small robots; one on larger ones, whose solves take far longer under
// the sanitizers.
constexpr std::size_t kSmallDof = 10;

constexpr std::string_view kDefaultUrdf = R"(<robot name="toy">
  <link name="palm"/><link name="a1"/><link name="a2"/><link name="b1"/><link name="b2"/>
  <joint name="ja1" type="revolute"><parent link="palm"/><child link="a1"/>
    <origin xyz="0.02 0 0.05"/><axis xyz="1 0 0"/><limit lower="-0.5" upper="1.5"/></joint>
  <joint name="ja2" type="revolute"><parent link="a1"/><child link="a2"/>
    <origin xyz="0 0 0.04"/><axis xyz="1 0 0"/><limit lower="0" upper="1.6"/>
    <mimic joint="ja1" multiplier="0.8" offset="0.1"/></joint>
  <joint name="jb1" type="revolute"><parent link="palm"/><child link="b1"/>
    <origin xyz="-0.02 0 0.05" rpy="0 0.3 0"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="jb2" type="prismatic"><parent link="b1"/><child link="b2"/>
    <origin xyz="0 0 0.03"/><axis xyz="0 0 1"/><limit lower="0" upper="0.02"/></joint>
</robot>)";

// Rows of reference data the optimiser of this configuration reads.
std::size_t rows_needed(const kova::RetargetingConfig& config) {
  const auto count = [](const auto& list) -> std::size_t { return list ? list->size() : 0; };
  switch (config.type) {
    case kova::RetargetingType::Position:
      return count(config.target_link_names);
    case kova::RetargetingType::Vector:
      return count(config.target_origin_link_names);
    case kova::RetargetingType::DexPilot: {
      const std::size_t f = count(config.finger_tip_link_names);
      return f * (f - 1) / 2 + f;
    }
  }
  return 0;
}

std::vector<double> values(kova_fuzz::Numbers& numbers, std::size_t count) {
  std::vector<double> out(count);
  for (double& v : out) v = numbers.coordinate();
  return out;
}

void run(kova::SeqRetargeting& seq, std::size_t rows, kova_fuzz::Numbers& numbers) {
  kova::Optimizer& optimizer = seq.optimizer();
  const std::size_t dof = optimizer.dof_joint_names().size();
  const std::size_t fixed = optimizer.idx_pin2fixed().size();
  const int frames = dof <= kSmallDof ? 3 : 1;
  for (int frame = 0; frame < frames; ++frame) {
    // Now and then a reference one row short (an internal fault) or a fixed vector of the wrong
    // length (tolerated).
    std::size_t ref_count = 3 * rows;
    if (numbers.below(16) == 0 && ref_count > 0) ref_count -= 1 + numbers.below(3);
    const std::size_t fixed_count = numbers.below(8) == 0 ? numbers.below(fixed + 3) : fixed;
    const std::vector<double> ref = values(numbers, ref_count);
    const std::vector<double> fixed_qpos = values(numbers, fixed_count);
    try {
      const std::vector<double> q = seq.retarget(ref, fixed_qpos);
      if (q.size() != dof) __builtin_trap();
    } catch (const kova::InternalFault&) {
      if (ref_count >= 3 * rows) __builtin_trap();  // a long enough reference must be solved
    }
  }
  const std::vector<double> fixed_qpos = values(numbers, fixed);
  if (seq.get_qpos(fixed_qpos).size() != dof) __builtin_trap();
  if (seq.get_qpos(std::nullopt).size() != dof) __builtin_trap();
  seq.set_qpos(values(numbers, numbers.below(8) == 0 ? numbers.below(dof + 3) : dof));

  std::vector<std::string> names = optimizer.link_names();
  names.push_back("no such link");
  const std::vector<double> qpos = values(numbers, dof);
  auto positions = optimizer.link_positions(qpos, names);
  if (positions) __builtin_trap();  // the made-up name must be refused
  names.pop_back();
  positions = optimizer.link_positions(qpos, names);
  if (!positions || positions->size() != names.size()) __builtin_trap();
  seq.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kova_fuzz::MemoryFile config_file("kova-fuzz-config");
  static kova_fuzz::MemoryFile urdf_file("kova-fuzz-urdf");
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(kSeparator);
  const std::string_view yaml_text = input.substr(0, split);
  const std::string_view urdf_text =
      split == std::string_view::npos ? kDefaultUrdf : input.substr(split + kSeparator.size());

  auto config = kova::RetargetingConfig::load_from_file(config_file.write(yaml_text));
  if (!config) return 0;
  config->urdf_path = urdf_file.write(urdf_text);
  const std::size_t rows = rows_needed(*config);
  if (rows > kMaxRows) return 0;

  std::optional<kova::SeqRetargeting> seq;
  try {
    auto built = std::move(*config).build();
    if (!built) return 0;
    seq.emplace(std::move(*built));
  } catch (const kova::InternalFault&) {
    return 0;  // a name the robot does not have, or a finger count DexPilot refuses
  }
  if (seq->optimizer().dof_joint_names().size() > kMaxDof ||
      seq->optimizer().link_names().size() > kMaxLinks)
    return 0;
  kova_fuzz::Numbers numbers(input);
  run(*seq, rows, numbers);
  return 0;
}
