#include "kova/hand_landmarks.hpp"

namespace kova {

std::string_view to_string(Finger finger) {
  switch (finger) {
    case Finger::Thumb:
      return "thumb";
    case Finger::Index:
      return "index";
    case Finger::Middle:
      return "middle";
    case Finger::Ring:
      return "ring";
    case Finger::Little:
      return "little";
  }
  return "thumb";
}

}  // namespace kova
