#include <gtest/gtest.h>

#include "process/process.h"

namespace quarn {
namespace {

struct Case {
  const char* name;
  const char* masks;
  bool matches;
};

void ExpectAll(std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(MatchesMaskList(c.name, c.masks), c.matches) << "name \"" << c.name << "\" masks \"" << c.masks << "\"";
}

TEST(MaskList, StarDotStarNeedsADotAnywhere) {
  ExpectAll({{"report.pdf", "*.*", true},
             {"README", "*.*", false},
             {".", "*.*", true},
             {".bashrc", "*.*", true},
             {"trailing.", "*.*", true},
             {"", "*.*", false},
             {"/home/u/v1.0/README", "*.*", true},
             {"a.b.c", "*.*", true}});
}

TEST(MaskList, QuestionMarkIsOneCharacterAndAddsNothingAfterAStar) {
  ExpectAll({{"a.c", "?.c", true},
             {".c", "?.c", false},
             {"ab.c", "?.c", false},
             {"", "*?", true},
             {"x", "*??", true},
             {"", "*??", false},
             {"\xC3\xA9.c", "?.c", true},  // one UTF-8 character, two bytes
             {"\xE6\x97\xA5\xE6\x9C\xAC", "??", true}});
}

TEST(MaskList, SetsRangesAndNegation) {
  ExpectAll({{"b.txt", "[abc].txt", true},
             {"d.txt", "[abc].txt", false},
             {"d.txt", "[!abc].txt", true},
             {"a.txt", "[!abc].txt", false},
             {"m1", "[a-z][0-9]", true},
             {"M1", "[a-z][0-9]", true},
             {"m1", "[A-Z]?", true},
             {"-", "[a-]", true},
             {"x", "[]", false},
             {"x", "[!]", true},
             {"[x", "[x", true},  // no closing bracket: a plain "["
             {"\xC3\xA9", "[\xC3\xA0-\xC3\xBF]", true}});
}

TEST(MaskList, LettersMatchInEitherCaseOnlyAToZ) {
  ExpectAll({{"REPORT.PDF", "*.pdf", true},
             {"report.pdf", "*.PDF", true},
             {"\xC3\x89.pdf", "\xC3\xA9.pdf", false},  // É is not é: only A to Z fold
             {"stray\xFF.pdf", "stray?.pdf", true},
             {"stray\xFF.pdf", "stray\xFF.pdf", true},
             {"stray\xFE.pdf", "stray\xFF.pdf", false}});
}

TEST(MaskList, PiecesAsWrittenListEndsAtBar) {
  ExpectAll({{"a.doc", "*.txt;*.doc", true},
             {"a.doc", ";;*.doc;", true},
             {"a.doc", "*.txt|*.doc", false},
             {"a.doc", "|*.doc", false},
             {"a.doc", " *.doc", false},  // the blank is part of the mask
             {" a.doc", " *.doc", true},
             {"a.doc", "", false},
             {"a.doc", ";;", false}});
}

TEST(MaskList, ManyStarsOnALongNameStayFast) {
  const std::string name(20000, 'a');
  EXPECT_FALSE(MatchesMaskList(name, "*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchesMaskList(name + "b", "*a*a*a*a*a*a*a*a*b"));
}

}  // namespace
}  // namespace quarn
