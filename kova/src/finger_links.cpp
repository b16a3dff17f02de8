#include "kova/finger_links.hpp"

#include <string>
#include <vector>

#include "kova/retargeter.hpp"
#include "yaml_value.hpp"

namespace kova {

Result<std::vector<FingerLinks>> config_fingers(std::string_view document) {
  if (auto checked = check_config_text(document); !checked) return fail(checked.error());
  auto parsed = yaml::Document::parse(document);
  if (!parsed) return fail(parsed.error());
  std::vector<FingerLinks> out;
  const yaml::Node* section = parsed->root().find("kova");
  const yaml::Node* fingers = section != nullptr ? section->find("fingers") : nullptr;
  if (fingers == nullptr) return out;
  // The checker has seen to the kinds: a mapping per finger, a list of names and a string.
  for (const Finger finger : kFingers) {
    const yaml::Node* entry = fingers->find(to_string(finger));
    if (entry == nullptr) continue;
    FingerLinks links{.finger = finger, .links = {}, .tip = {}};
    if (const yaml::Node* names = entry->find("links"); names != nullptr) {
      for (const yaml::Node* name : names->items()) links.links.push_back(name->text());
    }
    if (const yaml::Node* tip = entry->find("tip"); tip != nullptr) links.tip = tip->text();
    out.push_back(std::move(links));
  }
  return out;
}

}  // namespace kova
