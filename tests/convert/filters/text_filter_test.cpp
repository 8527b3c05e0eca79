// The plain-text filter through the real pipeline (registry, filter host,
// chunk loop), and the decoder it stands on.
#include "convert/filters/text_filter.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "app/main.h"
#include "convert/filter.h"
#include "convert/filters/common/text_decode.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using test::Extracted;
using test::TempDir;
using test::WriteFile;

const std::string kText = std::string(QUARN_TEST_DATA) + "/convert/text/";
const std::string kSample = "Grüße aus Köln — naïve café, 日本語 and 😀 emoji.\nSecond line.\n";

TEST(TextFilter, UnicodeEncodingsWithAndWithoutByteOrderMark) {
  for (const char* name : {"utf8.txt", "utf8_bom.txt", "utf16le_bom.txt", "utf16be_bom.txt", "utf16le.txt",
                           "utf16be.txt", "utf32be.txt", "utf32le_bom.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Extracted(kText + name), kSample);
  }
}

TEST(TextFilter, LegacyCharsetsAreDetected) {
  EXPECT_EQ(Extracted(kText + "cp1252.txt"), "Café crème brûlée – “quoted” costs €5 at the Straße.\n");
  EXPECT_EQ(Extracted(kText + "koi8r.txt"),
            "Съешь же ещё этих мягких французских булок, да выпей чаю. "
            "Широкая электрификация южных губерний даст мощный толчок подъёму сельского хозяйства. "
            "В чащах юга жил бы цитрус? Да, но фальшивый экземпляр!\n");
  EXPECT_EQ(Extracted(kText + "shift_jis.txt"),
            "いろはにほへと ちりぬるを わかよたれそ つねならむ うゐのおくやま けふこえて あさきゆめみし ゑひもせす。"
            "日本語の文章は、漢字と平仮名と片仮名を組み合わせて書かれます。東京は日本の首都です。\n");
}

// utf8 in another character set, through iconv.
std::string Encode(const std::string& utf8, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
  std::string out(utf8.size() * 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size(), out_left = out.size();
  char* o = out.data();
  EXPECT_NE(iconv(cd, &in, &in_left, &o, &out_left), static_cast<std::size_t>(-1)) << charset;
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

TEST(TextFilter, CharsetsTheDetectorDoesNotKnow) {
  // Johab Korean, and EBCDIC in its US (037) and international (500) code
  // pages, which differ in their brackets and exclamation mark.
  TempDir dir;
  const std::string korean =
      "한국어 문서의 예입니다. 조합형 한글 코드로 저장된 글을 읽습니다.\n다음 줄도 한국어로 쓴 문장입니다.\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "johab.txt", Encode(korean, "JOHAB"))), korean);
  const std::string english = "Quarterly figures [draft]: sales rose by 12% in March!\nSecond line, with more words.\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "us.txt", Encode(english, "IBM037"))), english);
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "intl.txt", Encode(english, "IBM500"))), english);
  // The same text in its own bytes stays what it was.
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "plain.txt", english)), english);
}

// Detectors name the common form of a character set; text that uses its
// wider form's characters (JIS X 0213 kanji, Hong Kong's supplementary
// characters) is read in the wider form, and text that does not stays in
// the common one.
TEST(TextFilter, WiderFormsOfJapaneseAndChineseCharacterSets) {
  TempDir dir;
  const std::string japanese =
      "日本語の文章は、漢字と平仮名と片仮名を組み合わせて書かれます。東京は日本の首都です。\n"
      "昔の文書には、新しい規格にしかない漢字「㐂」や「㐆」が使われることがあります。\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "euc.txt", Encode(japanese, "EUC-JISX0213"))), japanese);
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "sjis.txt", Encode(japanese, "SHIFT_JISX0213"))), japanese);
  const std::string chinese =
      "香港的文件常用繁體中文書寫，政府和學校的通告都是這樣。這份文件用的是香港增補字符集。\n"
      "有些字只在增補字符集裏，例如「㐵」和「㑀」，一般的大五碼沒有這些字。\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "hk.txt", Encode(chinese, "BIG5-HKSCS"))), chinese);
  const std::string common = "香港的文件常用繁體中文書寫，政府和學校的通告都是這樣。這份文件用的是大五碼。\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "big5.txt", Encode(common, "BIG5"))), common);
}

// UTF-8 text with a few stray bytes of a single-byte code page (a file two
// programs wrote to, a line pasted from an older one) stays UTF-8, the stray
// bytes read as windows-1252 has them.
TEST(TextFilter, MostlyUtf8TextStaysUtf8) {
  TempDir dir;
  std::string utf8;
  for (int i = 0; i < 20; ++i) utf8 += "Café crème, naïve résumé — „Grüße“ aus München. Ελληνικά и русский.\n";
  const std::string stray = utf8 + "An old line: caf\xE9 au lait\n" + utf8;
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "stray.txt", stray)), utf8 + "An old line: café au lait\n" + utf8);
}

// Text of Western and Central Europe written on DOS (code pages 850, 437,
// 852) or on a classic Mac, which detectors take for a Windows or ISO code
// page, reads in its own code page; Windows text with typographic quotes,
// dashes and no-break spaces stays Windows text, and so does Central
// European text of Windows and ISO; DOS's box drawing stays frames.
TEST(TextFilter, TextOfDosAndTheMacReadsInItsCodePage) {
  TempDir dir;
  const std::string dos[] = {
      "Die Straße führt über die Brücke. Schöne Grüße, sagte die Ärztin; sie war müde. Das Öl kostet fünf Mark.\n",
      "L'été dernier, nous sommes allés à la fête du village. Les élèves étudient l'histoire française.\n",
      "El niño comió una manzana. ¿Dónde está la estación? ¡Qué día tan bonito! Él también está aquí.\n",
      "Købmanden på hjørnet sælger æbler og ærter. Søen er blå, og øen ligger tæt på.\n",
      "Perché la città è così bella? Più tardi andremo al caffè. È difficile dirlo.\n",
  };
  // The text in a code page, or nothing when it lacks one of its letters.
  auto encoded = [](const std::string& utf8, const char* charset) -> std::optional<std::string> {
    iconv_t cd = iconv_open(charset, "UTF-8");
    std::string out(utf8.size() * 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size(), out_left = out.size();
    char* o = out.data();
    const bool ok = iconv(cd, &in, &in_left, &o, &out_left) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - out_left);
    return out;
  };
  int n = 0, read = 0;
  for (const std::string& text : dos) {
    const std::string name = std::to_string(++n);
    for (const char* code_page : {"CP850", "CP437", "MACINTOSH", "WINDOWS-1252"}) {
      const std::optional<std::string> bytes = encoded(text + text, code_page);
      if (!bytes) continue;
      ++read;
      EXPECT_EQ(Extracted(WriteFile(dir.path() / (name + code_page + ".txt"), *bytes)), text + text) << code_page;
    }
  }
  EXPECT_GE(read, 16);
  const std::string central[] = {
      "Příliš žluťoučký kůň úpěl ďábelské ódy. Čeština používá háčky a čárky; řeřicha je zelená.\n",
      "Árvíztűrő tükörfúrógép. Öt szép szűz lány őrült írót nyúz. Ő és ő különböző.\n",
      "Zażółć gęślą jaźń. Pchnąć w tę łódź jeża lub ośm skrzyń fig. Łódź jest dużym miastem.\n",
  };
  for (const std::string& text : central) {
    const std::string name = std::to_string(++n);
    for (const char* code_page : {"CP852", "MAC-CENTRALEUROPE", "WINDOWS-1250", "ISO-8859-2"}) {
      const std::optional<std::string> bytes = encoded(text + text, code_page);
      ASSERT_TRUE(bytes) << code_page;
      EXPECT_EQ(Extracted(WriteFile(dir.path() / (name + code_page + ".txt"), *bytes)), text + text) << code_page;
    }
  }
  const std::string windows =
      "It’s a “smart” quote — and an en–dash… The price is 30 € • next item™. "
      "He said: “Don’t go!” Marc Weingarten wrote about the Grateful Dead, page 12.\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "windows.txt", Encode(windows + windows, "WINDOWS-1252"))),
            windows + windows);
  const std::string frame = "╔════╗\n║ Hallo ║\n╚════╝\n" + dos[0];
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "art.nfo", Encode(frame, "CP437"))), frame);
}

TEST(TextFilter, AFewNulBytesDoNotMakeTextBinary) {
  TempDir dir;
  std::string text, expected;
  for (int i = 0; i < 80; ++i) {
    std::string line = "Line " + std::to_string(i) + " of a log with stray padding.\n";
    expected += line;
    if (i % 3 == 0) line.insert(5, std::string(2, '\0'));  // about 3 % of the bytes
    text += line;
  }
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "padded.log", text)), expected);
}

TEST(TextFilter, LineEndsBecomeLineFeeds) {
  EXPECT_EQ(Extracted(kText + "crlf.txt"), "one\ntwo\n\nthree\nfour\n");
}

// Every filter's text has "\n" line ends, whatever pieces the CRs and LFs
// of its document come in (mail bodies, Publisher text, card notes...).
TEST(TextSink, LineEndsBecomeLineFeedsAcrossPieces) {
  quarn::TextSink sink;
  for (const char* piece : {"one\r", "\ntwo\r\r\nthree\r", "four", "\r", "\n", "\n", "five\r"}) sink.Append(piece);
  sink.EndChunk();
  sink.Append("\nsix");  // a new chunk: its LF is its own
  ASSERT_EQ(sink.chunks().size(), 2u);
  EXPECT_EQ(sink.chunks()[0], "one\ntwo\n\nthree\nfour\n\nfive\n");
  EXPECT_EQ(sink.chunks()[1], "\nsix");
  EXPECT_EQ(sink.size(), sink.chunks()[0].size() + sink.chunks()[1].size());
}

TEST(TextFilter, LoneSurrogateIsReplacedAndTheRestKept) {
  EXPECT_EQ(Extracted(kText + "utf16le_lone_surrogate.txt"), "ab\xEF\xBF\xBD" "cd\n");
}

TEST(TextFilter, BinaryDataIsRefusedWithAReason) {
  TempDir dir;
  fs::copy_file(kText + "binary.txt", dir.path() / "binary.log");
  ConvertResult r = ConvertFile(test::Builtins(), (dir.path() / "binary.log").string(), "");
  EXPECT_EQ(r.outcome, Outcome::kNoText);
  EXPECT_NE(r.reason.find("binary"), std::string::npos) << r.reason;
  EXPECT_FALSE(fs::exists(dir.path() / "binary.txt"));
}

// A site's copy keeps the pages its scripts served under the scripts' names.
TEST(TextFilter, PagesServedUnderAScriptNameAreReadAsPagesAndScriptsStayText) {
  TempDir dir;
  const std::string page =
      "\xEF\xBB\xBF\n<!DOCTYPE html>\n<html><head><title>News</title><style>p{color:red}</style></head>"
      "<body><p>Hello <b>world</b></p><script>var x = 1;</script></body></html>\n";
  for (const char* name : {"index.php", "NEWS.PHP"}) {
    SCOPED_TRACE(name);
    const std::string text = Extracted(WriteFile(dir.path() / name, page));
    EXPECT_NE(text.find("Hello world"), std::string::npos) << text;
    EXPECT_EQ(text.find('<'), std::string::npos) << text;
    EXPECT_EQ(text.find("var x"), std::string::npos) << text;
  }
  // Source, and a template with code in it, are read as they are.
  const std::string source = "<?php\necho \"<html><body>hi</body></html>\";\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "source.php", source)), source);
  const std::string templ = "<html><body><?= $title ?></body></html>\n";
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "template.php", templ)), templ);
  // Markup under a text name stays as it is.
  EXPECT_EQ(Extracted(WriteFile(dir.path() / "notes.txt", page.substr(3))), page.substr(3));
}

TEST(TextFilter, EmptyFileYieldsNoText) {
  TempDir dir;
  std::string path = WriteFile(dir.path() / "empty.txt", "");
  ConvertResult r = ConvertFile(test::Builtins(), path, (dir.path() / "out.txt").string());
  EXPECT_EQ(r.outcome, Outcome::kNoText);
}

TEST(TextFilter, WhitespaceOnlyIsNoTextAndTextIsWrittenExactly) {
  TempDir dir;
  for (const char* blank : {"\n\n  \t\n", "\xC2\xA0\xE2\x80\x8B\xEF\xBB\xBF\n"}) {
    const std::string path = WriteFile(dir.path() / "blank.md", blank);
    ConvertResult r = ConvertFile(test::Builtins(), path, (dir.path() / "out.txt").string());
    EXPECT_EQ(r.outcome, Outcome::kNoText);
    EXPECT_EQ(r.reason, "the document has no text");
    EXPECT_FALSE(fs::exists(dir.path() / "out.txt"));
  }
  // Nothing is added at the end, or anywhere.
  const std::string text = "first line\n\nlast line, no line end";
  ConvertResult r = ConvertFile(test::Builtins(), WriteFile(dir.path() / "plain.md", text), "");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_EQ(test::ReadFile(dir.path() / "plain.txt"), text);
}

// The filter reads 1 MiB blocks: characters, surrogate pairs and CR LF cut
// by a block boundary must come out whole.
TEST(TextFilter, SequencesCutByBlockBoundariesStayWhole) {
  constexpr std::size_t kBlock = 1024 * 1024;
  TempDir dir;
  {
    std::string bytes(kBlock - 1, 'a');
    bytes += "\xE2\x82\xAC tail\r";  // the euro sign straddles the boundary
    bytes += std::string(kBlock - 8, 'b');
    bytes += "\r\nend";  // CR is the last byte of the second block
    std::string want(kBlock - 1, 'a');
    want += "\xE2\x82\xAC tail\n" + std::string(kBlock - 8, 'b') + "\nend";
    EXPECT_TRUE(Extracted(WriteFile(dir.path() / "utf8.txt", bytes)) == want);
  }
  {
    std::string bytes = "\xFF\xFE";
    std::string want;
    while (bytes.size() < kBlock - 2) bytes += "x", bytes += '\0', want += "x";
    bytes += std::string("\x3D\xD8\x00\xDE", 4);  // U+1F600 as a surrogate pair across the boundary
    bytes += "y";
    bytes += '\0';
    want += "\xF0\x9F\x98\x80y";
    std::string got = Extracted(WriteFile(dir.path() / "utf16.txt", bytes));
    EXPECT_TRUE(got == want) << got.substr(got.size() - 8);
  }
  {
    // Shift_JIS goes through iconv; its two-byte characters cross the boundary.
    std::string bytes(kBlock - 1, 'c');
    std::string want(kBlock - 1, 'c');
    for (int i = 0; i < 400; ++i) bytes += "\x93\xFA\x96\x7B\x8C\xEA", want += "日本語";
    bytes += "\n";
    want += "\n";
    std::string got = Extracted(WriteFile(dir.path() / "sjis.txt", bytes));
    EXPECT_TRUE(got == want) << got.substr(got.size() - 20);
  }
}

TEST(TextFilter, TextLimitStopsReadingAndSaysSo) {
  TempDir dir;
  std::string path = WriteFile(dir.path() / "big.txt", std::string(3 << 20, 'z'));
  TextSink sink(100000);
  ExtractResult r = CreateTextFilter()->Extract(path, sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kIncomplete);
  EXPECT_TRUE(sink.full());
  EXPECT_EQ(sink.size(), 100000u);
}

TEST(TextDecoder, ByteByByteEqualsWholeBuffer) {
  struct Case {
    const char* charset;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"UTF-8", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", "aé€😀z"},
      {"UTF-16BE", std::string("\x00" "a\xD8\x3D\xDE\x00\x20\xAC", 8), "a😀€"},
      {"UTF-32LE", std::string("\x00\xF6\x01\x00" "b\x00\x00\x00", 8), "😀b"},
      {"CP932", "\x93\xFA\x96\x7B", "日本"},
      {"ISO-2022-JP", "\x1B$B$3$s\x1B(B!", "こん!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset);
    std::string whole, split;
    TextDecoder a(c.charset);
    a.Decode(c.bytes, whole);
    a.Finish(whole);
    TextDecoder b(c.charset);
    for (char ch : c.bytes) b.Decode(std::string_view(&ch, 1), split);
    b.Finish(split);
    EXPECT_EQ(whole, c.utf8);
    EXPECT_EQ(split, c.utf8);
  }
}

// A stray byte in UTF-8 text is most often a single-byte code page's
// letter ("caf\xE9"): it reads as windows-1252 has it; a byte that code
// page lacks, a sequence cut by the end, and invalid bytes of other
// encodings become replacement characters.
TEST(TextDecoder, InvalidBytesBecomeWindowsCharactersOrReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(DecodeToUtf8("caf\xE9 au lait, \x93quoted\x94", "UTF-8"), "café au lait, \u201cquoted\u201d");
  EXPECT_EQ(DecodeToUtf8("ok\xFFgo on, Gr\xFC\xDF" "e", "UTF-8"), "okÿgo on, Grüße");
  EXPECT_EQ(DecodeToUtf8("a\xE2\x82 b", "UTF-8"), "a" + fffd + fffd + " b");  // a broken sequence
  EXPECT_EQ(DecodeToUtf8("x\x81y", "UTF-8"), "x" + fffd + "y");
  EXPECT_EQ(DecodeToUtf8("cut \xE2\x82", "UTF-8"), "cut " + fffd);
  // 0x81 has no character in windows-1252; the text after it is kept.
  EXPECT_EQ(DecodeToUtf8("a\x81\x80z", "windows-1252"), "a" + fffd + "€z");
  EXPECT_EQ(DecodeToUtf8(std::string("\x00\xD8\x41\x00", 4), "UTF-16LE"), fffd + "A");
}

TEST(TextDecoder, CharsetLabelsAsBrowsersReadThem) {
  EXPECT_EQ(CharsetForLabel("latin1"), "WINDOWS-1252");
  EXPECT_EQ(CharsetForLabel(" \"ISO-8859-1\" "), "WINDOWS-1252");
  EXPECT_EQ(CharsetForLabel("x-sjis"), "CP932");
  EXPECT_EQ(CharsetForLabel("utf8"), "UTF-8");
  EXPECT_EQ(CharsetForLabel("koi8-r"), "KOI8-R");
  EXPECT_EQ(CharsetForLabel("no-such-charset"), "");
  EXPECT_EQ(CharsetForLabel(""), "");
}

}  // namespace
}  // namespace quarn
