#include "kova/filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kova/result.hpp"

namespace {

using kova::LPFilter;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(LPFilter, FirstSamplePassesThroughAndLaterSamplesBlend) {
  LPFilter filter(0.5);
  EXPECT_FALSE(filter.is_init());
  const std::vector<double> q1{1.0, -2.0, 0.25};
  const std::vector<double> q2{3.0, 2.0, 0.75};
  EXPECT_EQ(filter.next(q1), q1);
  EXPECT_TRUE(filter.is_init());
  const std::vector<double> expected{(3.0 - 1.0) * 0.5 + 1.0, (2.0 - -2.0) * 0.5 + -2.0,
                                     (0.75 - 0.25) * 0.5 + 0.25};
  EXPECT_EQ(filter.next(q2), expected);
  EXPECT_EQ(*filter.y(), expected);
}

TEST(LPFilter, BlendIsDifferenceTimesAlphaPlusOldValue) {
  // Values chosen so that other orders of the same arithmetic round differently.
  LPFilter filter(0.1);
  const std::vector<double> first{0.3};
  const std::vector<double> second{0.7};
  filter.next(first);
  const double expected = (0.7 - 0.3) * 0.1 + 0.3;
  ASSERT_NE(expected, 0.7 * 0.1 + 0.3 * (1.0 - 0.1));
  EXPECT_EQ(filter.next(second)[0], expected);
}

TEST(LPFilter, AlphaOneFollowsInputAndAlphaZeroHoldsFirstSample) {
  LPFilter follow(1.0);
  LPFilter hold(0.0);
  const std::vector<std::vector<double>> samples{{1.0, 2.0}, {-4.0, 0.5}, {7.0, 8.0}};
  for (const auto& sample : samples) {
    EXPECT_EQ(follow.next(sample), sample);
    EXPECT_EQ(hold.next(sample), samples.front());
  }
}

TEST(LPFilter, LongerSamplesAreCutToTheFirstLengthAndShorterOnesAreRefused) {
  LPFilter filter(1.0);
  const std::vector<double> first{1.0, 2.0};
  const std::vector<double> longer{3.0, 4.0, 5.0};
  const std::vector<double> shorter{9.0};
  filter.next(first);
  EXPECT_EQ(filter.next(longer), (std::vector<double>{3.0, 4.0}));
  EXPECT_THROW(filter.next(shorter), kova::InternalFault);
  EXPECT_EQ(*filter.y(), (std::vector<double>{3.0, 4.0}));
}

TEST(LPFilter, NonFiniteEntriesAreNotBlendedAndTheLastGoodValueIsReturned) {
  LPFilter filter(0.5);
  const std::vector<double> good{1.0, 2.0, 3.0};
  const std::vector<double> bad{kNaN, kInf, 5.0};
  const std::vector<double> later{3.0, 4.0, 5.0};
  filter.next(good);
  const std::vector<double> out = filter.next(bad);
  EXPECT_EQ(out, (std::vector<double>{1.0, 2.0, 4.0}));
  const std::vector<double> recovered = filter.next(later);
  EXPECT_EQ(recovered, (std::vector<double>{2.0, 3.0, 4.5}));
}

TEST(LPFilter, NonFiniteFirstSampleIsReplacedByTheNextFiniteValue) {
  LPFilter filter(0.5);
  const std::vector<double> first{kNaN, 1.0};
  const std::vector<double> second{-kInf, 3.0};
  const std::vector<double> third{4.0, 3.0};
  const std::vector<double> fourth{6.0, 3.0};
  const std::vector<double> out1 = filter.next(first);
  EXPECT_TRUE(std::isnan(out1[0]));
  const std::vector<double> out2 = filter.next(second);
  EXPECT_TRUE(std::isnan(out2[0]));
  EXPECT_EQ(out2[1], 2.0);
  EXPECT_EQ(filter.next(third), (std::vector<double>{4.0, 2.5}));
  EXPECT_EQ(filter.next(fourth), (std::vector<double>{5.0, 2.75}));
}

}  // namespace
