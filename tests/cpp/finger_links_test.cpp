#include "kova/finger_links.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kRetargeting = R"(retargeting:
  type: position
  urdf_path: hand.urdf
  target_link_names: [thumb_tip, index_tip]
  target_link_human_indices: [4, 8]
)";

TEST(ConfigFingers, ListsTheFingersThumbFirstWithTheirLinksAndTips) {
  const auto fingers = kova::config_fingers(kRetargeting + R"(kova:
  fingers:
    index: {links: [i1, i2, index_tip], tip: index_tip, tip_from: link}
    thumb:
      links: [t1, thumb_tip]
      tip: thumb_tip
)");
  ASSERT_TRUE(fingers) << fingers.error();
  ASSERT_EQ(fingers->size(), 2u);
  EXPECT_EQ((*fingers)[0].finger, kova::Finger::Thumb);
  EXPECT_EQ((*fingers)[0].links, (std::vector<std::string>{"t1", "thumb_tip"}));
  EXPECT_EQ((*fingers)[0].tip, "thumb_tip");
  EXPECT_EQ((*fingers)[1].finger, kova::Finger::Index);
  EXPECT_EQ((*fingers)[1].links, (std::vector<std::string>{"i1", "i2", "index_tip"}));
}

TEST(ConfigFingers, NoneWithoutTheSectionAndAnErrorForAWrongKind) {
  const auto none = kova::config_fingers(kRetargeting + "kova: {solver: slsqp}\n");
  ASSERT_TRUE(none) << none.error();
  EXPECT_TRUE(none->empty());
  const auto wrong =
      kova::config_fingers(kRetargeting + "kova:\n  fingers:\n    thumb: {links: 3}\n");
  ASSERT_FALSE(wrong);
  EXPECT_NE(wrong.error().find("kova.fingers.thumb.links"), std::string::npos) << wrong.error();
}

}  // namespace
