// Apple iWork documents through the registry and filter host.  No tool here
// writes them, so the tests read the shared corpus's files (copied to a
// scratch folder) and skip when it is absent.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <liblangtag/langtag.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

// The text of a corpus file, copied under name; nullopt without the corpus.
std::optional<FilterText> Corpus(const test::TempDir& dir, const char* rel, const char* name) {
  const std::filesystem::path source = std::filesystem::path(QUARN_CORPUS) / "inputs" / rel;
  if (!std::filesystem::exists(source)) return std::nullopt;
  const std::filesystem::path copy = dir.path() / name;
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
  return ExtractFilterText(test::Builtins(), copy.string());
}

TEST(Iwork, PagesOldAndNewPackages) {
  test::TempDir dir;
  auto old_xml = Corpus(dir, "pages/tika/testPages.pages", "old.pages");
  auto protobuf = Corpus(dir, "pages/libetonyek/pages5-file.pages", "new.pages");
  if (!old_xml || !protobuf) GTEST_SKIP() << "no corpus";
  EXPECT_THAT(old_xml->text, HasSubstr("Sample pages document"));
  EXPECT_THAT(old_xml->text, HasSubstr("Column one\tColumn two\tColumn three"));  // a table row
  EXPECT_TRUE(protobuf->problem.empty()) << protobuf->problem;
  EXPECT_FALSE(protobuf->text.empty());
}

TEST(Iwork, NumbersSheetsAreNamedRows) {
  test::TempDir dir;
  auto sheet = Corpus(dir, "numbers/numbers-parser/test-1.numbers", "sheet.numbers");
  if (!sheet) GTEST_SKIP() << "no corpus";
  EXPECT_TRUE(sheet->problem.empty()) << sheet->problem;
  // The table's name, then its rows; the empty corner cell keeps its place.
  EXPECT_THAT(sheet->text, HasSubstr("ZZZ_Table_1\n\tYYY_COL_1\tYYY_COL_2\nYYY_ROW_1\tYYY_1_1\tYYY_1_2\n"));
}

TEST(Iwork, KeynoteSlidesInOrderWithNotes) {
  test::TempDir dir;
  auto slides = Corpus(dir, "key/tika/testKeynote.key", "slides.key");
  if (!slides) GTEST_SKIP() << "no corpus";
  const std::string& t = slides->text;
  EXPECT_THAT(t, HasSubstr("A sample presentation"));
  EXPECT_LT(t.find("Slide 1"), t.find("Slide 3"));
  EXPECT_THAT(t, HasSubstr("A nice note"));
}

// libetonyek asks for the likely form of each language tag through the
// module's own lt_tag_transform, which must answer as liblangtag does, the
// first time and from its table afterwards.
TEST(Iwork, LikelyLanguageTagsAreLiblangtagsOwnAnswers) {
  using Transform = char* (*)(lt_tag_t*, lt_error_t**);
  void* module = ::dlopen(QUARN_BINARY_DIR "/lib/quarn/libquarn_iwork.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << ::dlerror();
  void* langtag = ::dlopen("liblangtag.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(langtag, nullptr) << ::dlerror();
  const auto remembered = reinterpret_cast<Transform>(::dlsym(module, "lt_tag_transform"));
  const auto original = reinterpret_cast<Transform>(::dlsym(langtag, "lt_tag_transform"));
  ASSERT_NE(remembered, nullptr);
  EXPECT_NE(remembered, original) << "the module's answer comes first in its group";
  lt_db_initialize();
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"en", "en-US", "de", "zh-Hant", "zh-TW", "sr-Latn", "ja", "und", "qaa"}) {
      lt_tag_t* tag = lt_tag_new();
      ASSERT_TRUE(lt_tag_parse(tag, name, nullptr)) << name;
      char* ours = remembered(tag, nullptr);
      char* theirs = original(tag, nullptr);
      EXPECT_STREQ(ours, theirs) << name << ", round " << round;
      std::free(ours);
      std::free(theirs);
      lt_tag_unref(tag);
    }
  }
  lt_db_finalize();
  ::dlclose(langtag);
  ::dlclose(module);
}

}  // namespace
}  // namespace quarn
