#include "kova/result.hpp"

#include <gtest/gtest.h>

namespace {

TEST(CheckIndex, AcceptsIndicesBelowTheLengthAndReportsOthers) {
  EXPECT_NO_THROW(kova::check_index(2, 3));
  try {
    kova::check_index(3, 3);
    FAIL() << "index 3 of 3 accepted";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "index out of bounds: the len is 3 but the index is 3");
  }
}

}  // namespace
