#include "unicode_text.hpp"

#include <gtest/gtest.h>

#include "kova/constants.hpp"
#include "unicode_lowercase_table.hpp"

namespace {

using kova::unicode::is_valid_utf8;
using kova::unicode::to_lowercase;
using kova::unicode::to_utf8_lossy;

constexpr const char* kReplacement = "\xEF\xBF\xBD";

TEST(UnicodeLowercase, AsciiAndLatinLetters) {
  EXPECT_EQ(to_lowercase("DexPilot 42_X"), "dexpilot 42_x");
  EXPECT_EQ(to_lowercase("\xC3\x80\xC3\x9E\xC3\x9F"), "\xC3\xA0\xC3\xBE\xC3\x9F");  // ÀÞß -> àþß
  EXPECT_EQ(to_lowercase("\xC5\xB8"), "\xC3\xBF");                                  // Ÿ -> ÿ
}

TEST(UnicodeLowercase, AlternatingAndAstralRanges) {
  EXPECT_EQ(to_lowercase("\xC4\x80\xC4\x81\xC4\x82"), "\xC4\x81\xC4\x81\xC4\x83");  // Ā ā Ă
  EXPECT_EQ(to_lowercase("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");                  // Deseret Ѐ
  EXPECT_EQ(to_lowercase("\xE2\x84\xAA"), "k");                                     // Kelvin sign
  EXPECT_EQ(to_lowercase("\xE2\x85\xA0"), "\xE2\x85\xB0");  // Roman numeral I
}

TEST(UnicodeLowercase, DottedCapitalIBecomesTwoCodePoints) {
  EXPECT_EQ(to_lowercase("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(to_lowercase("D\xC4\xB0"), "di\xCC\x87");
}

TEST(UnicodeLowercase, FinalSigmaFollowsTheWordContext) {
  const std::string capital = "\xCE\xA3";
  const std::string small = "\xCF\x83";
  const std::string final_form = "\xCF\x82";
  EXPECT_EQ(to_lowercase(capital), small);                                 // no letter before
  EXPECT_EQ(to_lowercase("A" + capital), "a" + final_form);                // word end
  EXPECT_EQ(to_lowercase("A" + capital + "B"), "a" + small + "b");         // inside a word
  EXPECT_EQ(to_lowercase("A" + capital + " B"), "a" + final_form + " b");  // blank ends the word
  // Case-ignorable characters are skipped on both sides.
  EXPECT_EQ(to_lowercase("A'" + capital + "'B"), "a'" + small + "'b");
  EXPECT_EQ(to_lowercase("A'" + capital + "."), "a'" + final_form + ".");
  EXPECT_EQ(to_lowercase("1" + capital), "1" + small);  // a digit is not cased
}

TEST(UnicodeLowercase, MalformedInputIsReadLossily) {
  EXPECT_EQ(to_lowercase("A\xFF"
                         "B"),
            std::string("a") + kReplacement + "b");
  EXPECT_EQ(to_lowercase("X\xE2\x82"), std::string("x") + kReplacement);
}

TEST(Utf8, ValidityRejectsEveryMalformedForm) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\x80"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // truncated
  EXPECT_FALSE(is_valid_utf8("\x80"));              // stray continuation
}

// The validator and the decoder agree: text is valid exactly when decoding substitutes nothing.
// Every string of up to two bytes, and longer strings over the byte values where the rules change.
TEST(Utf8, ValidityAgreesWithTheDecoder) {
  const auto decodes_cleanly = [](std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t start = pos;
      if (kova::unicode::decode_utf8(text, pos) == kova::unicode::kReplacementCharacter &&
          text.substr(start, pos - start) != kReplacement) {
        return false;
      }
    }
    return true;
  };
  const int edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF4, 0xF5, 0xFF};
  std::string text;
  const auto check = [&] { ASSERT_EQ(is_valid_utf8(text), decodes_cleanly(text)) << text; };
  for (int a = 0; a < 256; ++a) {
    text.assign(1, static_cast<char>(a));
    check();
    for (int b = 0; b < 256; ++b) {
      text.assign({static_cast<char>(a), static_cast<char>(b)});
      check();
      if (a < 0xC0) continue;  // a leading ASCII or continuation byte adds nothing new
      for (int c : edges) {
        text.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
        check();
      }
    }
  }
  for (int a = 0xF0; a <= 0xFF; ++a) {
    for (int b : edges) {
      for (int c : edges) {
        for (int d : edges) {
          text.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                       static_cast<char>(d)});
          check();
        }
      }
    }
  }
}

TEST(Utf8, LossyCopyReplacesMaximalSubparts) {
  EXPECT_EQ(to_utf8_lossy("ok"), "ok");
  EXPECT_EQ(to_utf8_lossy("\xF0\x9F\x98"), kReplacement);  // one truncated sequence
  EXPECT_EQ(to_utf8_lossy("\xC0\x80"), std::string(kReplacement) + kReplacement);
  EXPECT_EQ(to_utf8_lossy("a\xE2\x82z"), std::string("a") + kReplacement + "z");
}

TEST(UnicodeTables, AreSortedAndDisjoint) {
  namespace t = kova::unicode_tables;
  for (std::size_t i = 0; i < t::kLowercaseRunCount; ++i) {
    const auto& run = t::kLowercaseRuns[i];
    ASSERT_LE(run.first, run.last);
    ASSERT_TRUE(run.stride == 1 || run.stride == 2);
    if (i > 0) {
      ASSERT_LT(t::kLowercaseRuns[i - 1].last, run.first);
    }
  }
  for (std::size_t i = 1; i < t::kCasedCount; ++i) {
    ASSERT_LT(t::kCased[i - 1].last + 1, t::kCased[i].first);
  }
  for (std::size_t i = 1; i < t::kCaseIgnorableCount; ++i) {
    ASSERT_LT(t::kCaseIgnorable[i - 1].last + 1, t::kCaseIgnorable[i].first);
  }
  EXPECT_TRUE(kova::unicode::is_cased(U'a'));
  EXPECT_FALSE(kova::unicode::is_cased(U'1'));
  EXPECT_TRUE(kova::unicode::is_case_ignorable(U'\''));
  EXPECT_TRUE(kova::unicode::is_case_ignorable(0x0301));  // combining acute accent
}

TEST(RetargetingType, AcceptsAnyCaseOfTheThreeNames) {
  using kova::RetargetingType;
  EXPECT_EQ(kova::retargeting_type_from_str("vector").value(), RetargetingType::Vector);
  EXPECT_EQ(kova::retargeting_type_from_str("VECTOR").value(), RetargetingType::Vector);
  EXPECT_EQ(kova::retargeting_type_from_str("Position").value(), RetargetingType::Position);
  EXPECT_EQ(kova::retargeting_type_from_str("DexPilot").value(), RetargetingType::DexPilot);
}

TEST(RetargetingType, RefusesOtherTextWithTheLowerCasedText) {
  EXPECT_EQ(kova::retargeting_type_from_str(" vector").error(),
            "Unknown retargeting type:  vector");
  EXPECT_EQ(kova::retargeting_type_from_str("Vectors").error(),
            "Unknown retargeting type: vectors");
  EXPECT_EQ(kova::retargeting_type_from_str("").error(), "Unknown retargeting type: ");
  // The dotted capital I lower-cases to two code points, so this is not "dexpilot".
  EXPECT_EQ(kova::retargeting_type_from_str("DEXP\xC4\xB0LOT").error(),
            "Unknown retargeting type: dexpi\xCC\x87lot");
}

TEST(RetargetingType, CanonicalTextRoundTrips) {
  for (auto type : {kova::RetargetingType::Vector, kova::RetargetingType::Position,
                    kova::RetargetingType::DexPilot}) {
    EXPECT_EQ(kova::retargeting_type_from_str(kova::to_string(type)).value(), type);
  }
  EXPECT_EQ(kova::to_string(kova::RetargetingType::DexPilot), "dexpilot");
}

}  // namespace
