// The PDF text library on its own: document information, the whole text in
// mapped memory, and page by page from two threads.
#include "pdfinfo/pdfinfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/main.h"
#include "tests/support/pdf_samples.h"

namespace quarn {
namespace {

using quarn::testing::PdfSample;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kGreek[] = "\u0391\u03bb\u03c6\u03b1 \u03b2\u03b7\u03c4\u03b1 \u03c9";

struct Info {
  int ok = -1;
  std::string text;
};

Info DocInfo(const std::string& path) {
  std::vector<char> buf(PDFINFO_INFO_SIZE + 16, 'x');
  Info r;
  r.ok = GetDocInfo(path.c_str(), buf.data());
  r.text.assign(buf.data(), strnlen(buf.data(), PDFINFO_INFO_SIZE));
  EXPECT_LT(r.text.size(), std::size_t{PDFINFO_INFO_SIZE}) << "not NUL-terminated inside the buffer";
  EXPECT_EQ(buf[PDFINFO_INFO_SIZE], 'x') << "wrote past the 2040-byte buffer";
  return r;
}

TEST(GetDocInfo, ListsTheDocumentInformationAndPageCount) {
  Info info = DocInfo(PdfSample("two_pages.pdf"));
  EXPECT_NE(info.ok, 0);
  EXPECT_EQ(info.text,
            "Title: Quarterly report \u2014 \u03a3\u03b7\u03bc\u03b5\u03af\u03c9\u03c3\u03b7\n"
            "Author: Ana Example\nSubject: Test sample\nKeywords: quarn, pdf, sample\n"
            "Creator: make_samples.py\nPages: 2\n");
  // No text layer does not matter to the information.
  info = DocInfo(PdfSample("no_text.pdf"));
  EXPECT_NE(info.ok, 0);
  EXPECT_EQ(info.text, "Title: Frame only\nPages: 1\n");
  // An owner password alone does not keep anyone from reading.
  EXPECT_NE(DocInfo(PdfSample("owner_only.pdf")).ok, 0);
}

TEST(GetDocInfo, CutsALongTitleAtACharacterBoundaryAndKeepsThePageCount) {
  Info info = DocInfo(PdfSample("long_title.pdf"));  // 3000 x U+00E9, two bytes each
  ASSERT_NE(info.ok, 0);
  EXPECT_THAT(info.text, StartsWith("Title: \u00e9\u00e9"));
  EXPECT_THAT(info.text, ::testing::EndsWith("\u00e9Pages: 1\n"));
  EXPECT_GT(info.text.size(), std::size_t{PDFINFO_INFO_SIZE - 8});
  std::string title = info.text.substr(7, info.text.size() - 7 - std::strlen("Pages: 1\n"));
  EXPECT_EQ(title.size() % 2, 0u) << "a character was cut in two";
}

TEST(GetDocInfo, RejectsWhatCannotBeOpened) {
  for (const char* name : {"damaged.pdf", "password.pdf", "no_such_file.pdf"}) {
    Info info = DocInfo(PdfSample(name));
    EXPECT_EQ(info.ok, 0) << name;
    EXPECT_EQ(info.text, "") << name;
  }
  char buf[PDFINFO_INFO_SIZE];
  EXPECT_EQ(GetDocInfo(nullptr, buf), 0);
  EXPECT_EQ(GetDocInfo(PdfSample("two_pages.pdf").c_str(), nullptr), 0);
}

TEST(GetTextContentFormated, ReturnsEveryPageInOrderInReleasableMemory) {
  char* text = GetTextContentFormated(PdfSample("two_pages.pdf").c_str(), 0, 0);
  ASSERT_NE(text, nullptr);
  std::string s(text);
  EXPECT_EQ(s,
            "First page: the quarterly report\n\nRevenue grew in every region.\nCosts stayed flat.\n\n"
            "Second page: the appendix\n\n" + std::string(kGreek) + "\n\n");
  const auto* header = reinterpret_cast<const PdfInfoTextHeader*>(text - sizeof(PdfInfoTextHeader));
  EXPECT_EQ(header->magic, PDFINFO_TEXT_MAGIC);
  EXPECT_EQ(header->text_length, s.size());
  EXPECT_GE(header->map_length, sizeof(PdfInfoTextHeader) + s.size() + 1);
  // The release refuses anything but the call the program makes.
  EXPECT_FALSE(VirtualFree(text, 1, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(text, 0, 0x4000));
  EXPECT_TRUE(VirtualFree(text, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(nullptr, 0, MEM_RELEASE));
}

TEST(GetTextContentFormated, EmptyForNoTextAndNullForWhatCannotBeOpened) {
  char* text = GetTextContentFormated(PdfSample("no_text.pdf").c_str(), 0, 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(VirtualFree(text, 0, MEM_RELEASE));
  EXPECT_EQ(GetTextContentFormated(PdfSample("damaged.pdf").c_str(), 0, 0), nullptr);
  EXPECT_EQ(GetTextContentFormated(PdfSample("password.pdf").c_str(), 0, 0), nullptr);
}

struct Pages {
  int status = -1;
  std::vector<std::string> text;
  std::vector<unsigned> hints;
  std::string error;
  int stop_after = -1;  // pages to take before asking to stop
};

int CollectPage(void* user, int page, const char* text, size_t size, unsigned hints) {
  auto& p = *static_cast<Pages*>(user);
  EXPECT_EQ(page, static_cast<int>(p.text.size()));
  p.text.emplace_back(text, size);
  p.hints.push_back(hints);
  return p.stop_after >= 0 && static_cast<int>(p.text.size()) >= p.stop_after;
}

Pages ExtractPages(const std::string& path, int stop_after = -1) {
  Pages p;
  p.stop_after = stop_after;
  char error[256];
  std::memset(error, 'x', sizeof error);
  p.status = PdfExtractPages(path.c_str(), CollectPage, &p, error, sizeof error);
  p.error = error;
  return p;
}

TEST(PdfExtractPages, DeliversEachPageAndSaysWhyNot) {
  Pages p = ExtractPages(PdfSample("two_pages.pdf"));
  EXPECT_EQ(p.status, PDFINFO_OK);
  ASSERT_EQ(p.text.size(), 2u);
  EXPECT_THAT(p.text[0], StartsWith("First page: the quarterly report\n"));
  EXPECT_THAT(p.text[1], HasSubstr(kGreek));
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.hints, (std::vector<unsigned>{0, 0}));  // text pages: nothing for OCR

  p = ExtractPages(PdfSample("two_pages.pdf"), 1);
  EXPECT_EQ(p.status, PDFINFO_STOPPED);
  EXPECT_EQ(p.text.size(), 1u);

  p = ExtractPages(PdfSample("no_text.pdf"));
  EXPECT_EQ(p.status, PDFINFO_NO_TEXT);
  EXPECT_EQ(p.text, std::vector<std::string>{""});

  p = ExtractPages(PdfSample("password.pdf"));
  EXPECT_EQ(p.status, PDFINFO_PASSWORD);
  EXPECT_TRUE(p.text.empty());
  EXPECT_THAT(p.error, HasSubstr("password"));

  for (const char* name : {"damaged.pdf", "no_such_file.pdf"}) {
    p = ExtractPages(PdfSample(name));
    EXPECT_EQ(p.status, PDFINFO_DAMAGED) << name;
    EXPECT_TRUE(p.text.empty()) << name;
    EXPECT_FALSE(p.error.empty()) << name;
    EXPECT_LT(p.error.size(), 256u) << name;
  }
}

// An update whose cross-reference chain loops back on itself leaves out the
// page tree; the objects themselves are read instead.
TEST(PdfExtractPages, AnUpdateChainThatLoopsIsRebuiltFromTheObjects) {
  Pages p = ExtractPages(PdfSample("xref_loop.pdf"));
  EXPECT_EQ(p.status, PDFINFO_OK) << p.error;
  ASSERT_EQ(p.text.size(), 2u);
  EXPECT_THAT(p.text[0], StartsWith("First page: the quarterly report\n"));
  EXPECT_THAT(p.text[1], HasSubstr(kGreek));
}

// Comments follow their page's text, a line each; text boxes, pop-ups,
// links, fields, hidden and empty ones do not.  A page whose only text is a
// comment is still a page for OCR.
TEST(PdfExtractPages, CommentsFollowTheirPage) {
  Pages p = ExtractPages(PdfSample("comments.pdf"));
  EXPECT_EQ(p.status, PDFINFO_OK) << p.error;
  ASSERT_EQ(p.text.size(), 2u);
  EXPECT_THAT(p.text[0], StartsWith("The body of page one.\n"));
  EXPECT_THAT(p.text[0], HasSubstr("\nA sticky note.\nWhy this figure?\nGr\u00fc\u00dfe\rsecond line\n"));
  for (const char* absent : {"Not a comment", "Hidden", "Why this figure?\nWhy"})
    EXPECT_THAT(p.text[0], Not(HasSubstr(absent))) << absent;
  EXPECT_EQ(p.text[1], "Only a note on this page.\n");
  EXPECT_EQ(p.hints, (std::vector<unsigned>{0, PDFINFO_PAGE_FOR_OCR}));
}

// Each call has its own MuPDF context: two threads read at once, no lock.
TEST(PdfExtractPages, TwoThreadsReadAtOnce) {
  const Pages expected = ExtractPages(PdfSample("two_pages.pdf"));
  std::vector<std::string> failures[2];
  auto work = [&](int t) {
    for (int i = 0; i < 25; ++i) {
      Pages p = ExtractPages(PdfSample(i % 2 ? "two_pages.pdf" : "owner_only.pdf"));
      if (p.status != PDFINFO_OK || p.text != expected.text) failures[t].push_back("run " + std::to_string(i));
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_TRUE(failures[0].empty() && failures[1].empty());
}

}  // namespace
}  // namespace quarn
