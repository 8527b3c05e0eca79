// E-books through the registry and filter host, over the samples
// tests/data/ebook/make_samples.py writes, and the pieces of the MOBI reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "convert/filters/ebook/mobi_reader.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/ebook/" + name; }

TEST(Ebook, FictionBookBodyAndNotesWithoutDescriptionOrPictures) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("book.fb2"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("book.fb2")),
            "Chapter One\nIt was a dark and stormy night[1].\nRoses are red\nViolets are blue\nВсё хорошо.\n"
            "1\nA note at the end.\n");
}

TEST(Ebook, FictionBookShowsNoteMarksDatesAuthorsAndTables) {
  // Note references and the notes' titles, a citation's and a poem's
  // author, the poem's date, a table's rows; in a declared code page.
  FilterText r = ExtractFilterText(test::Builtins(), Sample("features.fb2"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("features.fb2")),
            "\u0413\u043B\u0430\u0432\u0430 \u043F\u0435\u0440\u0432\u0430\u044F\n"
            "Text with a note1 and spaces.\nQuoted words.\nCited Author\nOne verse\nPoet\n1901\n"
            "Name\tValue\nFirst cell\t2\n1\nThe note.\n");
}

TEST(Ebook, ZippedFictionBookIsFoundByContent) {
  test::TempDir dir;
  const std::filesystem::path copy = dir.path() / "zipped.fb2";
  std::filesystem::copy_file(Sample("book.fb2.zip"), copy);
  EXPECT_EQ(test::Extracted(copy.string()), test::Extracted(Sample("book.fb2")));
}

TEST(Ebook, PalmDocText) {
  EXPECT_EQ(test::Extracted(Sample("palm.pdb")),
            "Palm text first paragraph.\nSecond paragraph of the Palm book.\nPalm text first paragraph.\n"
            "Second paragraph of the Palm book.\nPalm text first paragraph.\nSecond paragraph of the Palm book.\n");
}

TEST(Ebook, MobiStoredAndCompressedWithTrailingEntries) {
  EXPECT_EQ(test::Extracted(Sample("book.mobi")), "Mobi text first paragraph.\nSecond paragraph of the MOBI book.\n");
  const std::string text = test::Extracted(Sample("compressed.mobi"));
  EXPECT_THAT(text, ::testing::StartsWith("Paragraph 0 of the compressed book, where words repeat and repeat.\n"));
  EXPECT_THAT(text, HasSubstr("\nParagraph 119 of the compressed book, where words repeat and repeat.\n"));
  EXPECT_THAT(text, ::testing::EndsWith("Ünïcödé at the end.\n"));
}

TEST(Ebook, MobiCompressedWithAHuffmanDictionary) {
  // Codes of up to eight bits and longer ones, phrases in several CDIC
  // records, one phrase packed with the same codes, trailing entries.
  EXPECT_EQ(test::Extracted(Sample("huffman.mobi")), test::Extracted(Sample("compressed.mobi")));
  // A packed phrase made of itself is damage, not an endless loop.
  FilterText loop = ExtractFilterText(test::Builtins(), Sample("huffman-loop.mobi"));
  EXPECT_THAT(loop.problem, HasSubstr("the codes of a text record are damaged"));
  // Damaged tables, records and codes: a reason or some text, never a crash.
  const std::string book = test::ReadFile(Sample("huffman.mobi"));
  test::TempDir dir;
  const std::size_t huff = book.find("HUFF"), cdic = book.find("CDIC");
  ASSERT_NE(huff, std::string::npos);
  std::string no_table = book;
  no_table[huff] = 'X';
  EXPECT_THAT(ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "a.mobi", no_table)).problem,
              HasSubstr("the book is damaged: its Huffman table is missing"));
  std::string bad_lengths = book;
  for (std::size_t i = huff + 24; i < huff + 24 + 1024; i += 4) bad_lengths[i + 3] = '\x00';  // code length 0
  EXPECT_THAT(ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "b.mobi", bad_lengths)).problem,
              HasSubstr("Huffman table is damaged"));
  std::string bad_phrase = book;
  bad_phrase[cdic + 16] = '\x7F';  // the first phrase's place, far past its record
  EXPECT_THAT(ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "c.mobi", bad_phrase)).problem,
              HasSubstr("phrase records are damaged"));
  std::uint32_t seed = 7;
  for (int round = 0; round < 200; ++round) {
    std::string mutated = book;
    for (int k = 0; k < 8; ++k) {
      seed = seed * 1103515245u + 12345u;
      mutated[300 + (seed >> 8) % (mutated.size() - 300)] = static_cast<char>(seed >> 24);
    }
    ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "m.mobi", mutated));
  }
}

TEST(Ebook, KindleBooksOfTheNewerKindGiveTheTextOfEachFileInOrder) {
  // Each file's fragments read inside its body; the style sheet's flow and
  // the files' titles are not text.  Each file is a chunk of its own (the
  // space after a chunk begins the next).  Found by content under another
  // name.
  const std::string expected =
      "The Ferry\nFirst chapter, first paragraph.\nFirst chapter, last paragraph with Ünïcödé.\n"
      " The Harbour\nSecond chapter text.\n";
  EXPECT_EQ(test::Extracted(Sample("kindle.azw3")), expected);
  test::TempDir dir;
  const std::string book = test::ReadFile(Sample("kindle.azw3"));
  FilterText r = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "book.kf8", book));
  EXPECT_EQ(r.reader, "ebook");
  EXPECT_THAT(r.text, HasSubstr("Second chapter text."));
  // Cut short in its text: what is left is read, and the loss is said.
  FilterText cut = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "cut.azw3", book.substr(0, 500)));
  EXPECT_FALSE(cut.problem.empty());
}

TEST(MobiReader, Kf8FilesPutTheFragmentsBackInsideTheirSkeletons) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Kf8Files("<html><body><div></div></BODY></html><p>one</p><p>two</p>"
                     "<?xml version=\"1.0\"?><html><body></body></html><p>three</p>"),
            (V{"<html><body><div></div><p>one</p><p>two</p></BODY></html>",
               "<?xml version=\"1.0\"?><html><body><p>three</p></body></html>"}));
  // A skeleton without a body, one without fragments, a flow that is no
  // skeleton at all, and one cut short.
  EXPECT_EQ(Kf8Files("<html><p>a</p></html>tail"), (V{"<html><p>a</p>tail</html>"}));
  EXPECT_EQ(Kf8Files("<html><body>x</body></html><!DOCTYPE html><html><body>y</body></html>"),
            (V{"<html><body>x</body></html>", "<!DOCTYPE html><html><body>y</body></html>"}));
  EXPECT_EQ(Kf8Files("<p>plain fragments</p>"), (V{"<p>plain fragments</p>"}));
  EXPECT_EQ(Kf8Files("<html><body>cut"), (V{"<html><body>cut"}));
  EXPECT_TRUE(Kf8Files("").empty());
}

TEST(Ebook, DamagedBooksSayWhy) {
  for (const char* name : {"truncated.fb2", "truncated.pdb"}) {
    FilterText r = ExtractFilterText(test::Builtins(), Sample(name));
    EXPECT_FALSE(r.problem.empty()) << name;
  }
}

TEST(MobiReader, PalmDocDecompressionOfEachKindOfByte) {
  // Literals, a run of 2 raw bytes, a space joined to 'h', a copy of 4 bytes
  // from 5 back.
  const std::string packed = std::string("abc ") + "\x02\x01\xFF" + "\xE8" + "i" + "\x80\x29";
  EXPECT_EQ(PalmDocDecompress(packed), std::string("abc \x01\xFF hi") + "\x01\xFF h");
  // A copy reaching before the start is damage: the text stops there.
  EXPECT_EQ(PalmDocDecompress(std::string("ab\x80\x50", 4)), "ab");
  // A hostile record cannot make more than it is allowed.
  std::string bomb = "a";
  for (int i = 0; i < 1000; ++i) bomb += "\x80\x0F";  // copies of 10 from 1 back
  EXPECT_EQ(PalmDocDecompress(bomb, 100).size(), 100u);
}

TEST(MobiReader, TrailingEntriesAreMeasuredFromTheEnd) {
  // Text, one byte of a split character (count 0: itself), one entry of 3
  // bytes whose size is written in its last byte.
  const std::string record = std::string("TEXT") + '\x00' + "xy" + '\x83';
  EXPECT_EQ(TrailingEntriesSize(record, 0), 0u);
  EXPECT_EQ(TrailingEntriesSize(record, 2), 3u);
  EXPECT_EQ(TrailingEntriesSize(record, 3), 4u);
  // Sizes larger than the record cannot take more than the record.
  EXPECT_EQ(TrailingEntriesSize(std::string("\xFF", 1), 0xFFFE), 1u);
}

}  // namespace
}  // namespace quarn
