// libquarn through its C interface alone, linked as a program that embeds it
// would link it: outcomes, counts and reasons; the converter process that
// costs one call when a document crashes or hangs; the options' size; calls
// from several threads at once.
#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "libquarn/quarn.h"
#include "tests/support/converter_support.h"
#include "tests/support/temp_tree.h"

namespace {

using ::testing::HasSubstr;
using quarn::testing::TempTree;

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A result that frees itself.
struct Result : quarn_result {
  Result() : quarn_result() {}
  ~Result() { quarn_result_free(this); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  std::string Reason() const { return reason ? reason : "(null)"; }
};

constexpr const char* kRtf = "{\\rtf1\\ansi Hello {\\b RTF} world\\par}";

class LibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Documents named *.qs go to the scripted test plug-in, whose document
    // says how to misbehave; the converters the library starts inherit this.
    data_ = new TempTree;
    quarn::testing::WriteScriptedRegistry(data_->root(), QUARN_SCRIPTED_FILTER);
    ::setenv("XDG_DATA_DIRS", data_->root().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete data_;
    data_ = nullptr;
  }
  static TempTree* data_;
  TempTree tree_;
};
TempTree* LibraryTest::data_ = nullptr;

TEST_F(LibraryTest, WritesBesideOrWhereNamedWithItsCounts) {
  const std::string doc = tree_.Write("in/report.rtf", kRtf);
  Result r;
  ASSERT_EQ(quarn_convert_file(doc.c_str(), nullptr, nullptr, &r), QUARN_WRITTEN) << r.Reason();
  EXPECT_EQ(r.outcome, QUARN_WRITTEN);
  EXPECT_STREQ(r.reason, "");
  EXPECT_EQ(std::string(r.output), tree_ / "in/report.txt");
  EXPECT_STREQ(r.filter, "rtf");
  EXPECT_EQ(r.input_bytes, std::string(kRtf).size());
  EXPECT_EQ(Contents(tree_ / "in/report.txt"), "Hello RTF world\n");
  EXPECT_EQ(r.text_chars, 16u);
  EXPECT_EQ(r.pages, -1);
  EXPECT_EQ(r.text, nullptr);

  Result named;
  const std::string out = tree_ / "elsewhere.txt";
  EXPECT_EQ(quarn_convert_file(doc.c_str(), out.c_str(), nullptr, &named), QUARN_WRITTEN) << named.Reason();
  EXPECT_EQ(std::string(named.output), out);
  EXPECT_EQ(Contents(out), "Hello RTF world\n");
}

TEST_F(LibraryTest, ReadsOnlyTheOptionsTheCallerKnows) {
  const std::string doc = tree_.Write("a.rtf", kRtf);
  // A caller built against an older header: everything past its size is
  // not its own, and a nonsense converter there must not be used.
  quarn_options options;
  quarn_options_init(&options);
  EXPECT_EQ(options.size, sizeof options);
  EXPECT_EQ(options.timeout_seconds, 300u);
  EXPECT_EQ(options.ocr, 1);
  options.converter = "/nonexistent/quarn";
  options.size = offsetof(quarn_options, converter);
  Result r;
  EXPECT_EQ(quarn_convert_file(doc.c_str(), nullptr, &options, &r), QUARN_WRITTEN) << r.Reason();

  options.size = sizeof options;
  Result missing;
  EXPECT_EQ(quarn_convert_file(doc.c_str(), nullptr, &options, &missing), QUARN_FAILED);
  EXPECT_THAT(missing.Reason(), HasSubstr("cannot start the converter \"/nonexistent/quarn\""));
}

TEST_F(LibraryTest, RefusesWhatIsNoDocumentOrWouldReplaceIt) {
  const std::string doc = tree_.Write("notes.txt", "my notes\n");
  Result same;
  EXPECT_EQ(quarn_convert_file(doc.c_str(), doc.c_str(), nullptr, &same), QUARN_FAILED);
  EXPECT_EQ(same.Reason(), doc + ": the output is the document itself; nothing written");
  EXPECT_EQ(same.output, nullptr);
  EXPECT_EQ(Contents(doc), "my notes\n");

  Result missing;
  EXPECT_EQ(quarn_convert_file((tree_ / "none.rtf").c_str(), nullptr, nullptr, &missing), QUARN_FAILED);
  EXPECT_THAT(missing.Reason(), HasSubstr("cannot read"));
  Result folder;
  EXPECT_EQ(quarn_convert_file(tree_.root().c_str(), nullptr, nullptr, &folder), QUARN_FAILED);
  EXPECT_THAT(folder.Reason(), HasSubstr("is a folder"));
  Result unnamed;
  EXPECT_EQ(quarn_convert_file(nullptr, nullptr, nullptr, &unnamed), QUARN_FAILED);
  EXPECT_EQ(unnamed.Reason(), "no document named");
  EXPECT_EQ(quarn_convert_file(doc.c_str(), nullptr, nullptr, nullptr), QUARN_FAILED);

  const std::string empty = tree_.Write("empty.txt", "");
  Result none;
  EXPECT_EQ(quarn_convert_file(empty.c_str(), (tree_ / "empty.out").c_str(), nullptr, &none), QUARN_NO_TEXT);
  EXPECT_FALSE(std::ifstream(tree_ / "empty.out").good());
  EXPECT_STREQ(quarn_outcome_name(none.outcome), "no_text");
}

TEST_F(LibraryTest, ACrashOrHangCostsOnlyItsCall) {
  const std::string crash = tree_.Write("crash.qs", "crash\n");
  const std::string hang = tree_.Write("hang.qs", "hang\n");
  const std::string good = tree_.Write("good.qs", "chunk\nlast fine words\n");
  Result crashed;
  EXPECT_EQ(quarn_convert_file(crash.c_str(), nullptr, nullptr, &crashed), QUARN_FAILED);
  EXPECT_THAT(crashed.Reason(), HasSubstr("the converter crashed"));
  EXPECT_FALSE(std::ifstream(tree_ / "crash.txt").good());

  quarn_options options;
  quarn_options_init(&options);
  options.timeout_seconds = 1;
  Result hung;
  EXPECT_EQ(quarn_convert_file(hang.c_str(), nullptr, &options, &hung), QUARN_FAILED);
  EXPECT_THAT(hung.Reason(), HasSubstr("stopped after 1 s"));
  EXPECT_LT(hung.milliseconds, 10000u);

  Result fine;
  EXPECT_EQ(quarn_convert_file(good.c_str(), nullptr, nullptr, &fine), QUARN_WRITTEN) << fine.Reason();
  EXPECT_THAT(Contents(tree_ / "good.txt"), HasSubstr("fine words"));
}

TEST_F(LibraryTest, HandsTheTextBackInMemory) {
  const std::string doc = tree_.Write("m.rtf", kRtf);
  Result r;
  ASSERT_EQ(quarn_convert_to_memory(doc.c_str(), nullptr, &r), QUARN_WRITTEN) << r.Reason();
  ASSERT_NE(r.text, nullptr);
  EXPECT_EQ(std::string(r.text, r.text_size), "Hello RTF world\n");
  EXPECT_EQ(r.text[r.text_size], '\0');
  EXPECT_EQ(r.output, nullptr);
  EXPECT_FALSE(std::ifstream(tree_ / "m.txt").good());

  Result none;
  EXPECT_EQ(quarn_convert_to_memory(tree_.Write("e.txt", "").c_str(), nullptr, &none), QUARN_NO_TEXT);
  EXPECT_EQ(none.text, nullptr);
}

TEST_F(LibraryTest, ConvertsFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4, kEach = 3;
  std::vector<std::string> docs;
  for (int i = 0; i < kThreads * kEach; ++i)
    docs.push_back(tree_.Write("t/" + std::to_string(i) + ".rtf",
                               "{\\rtf1 document number " + std::to_string(i) + "\\par}"));
  std::vector<int> outcomes(docs.size(), -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kEach; ++k) {
        const std::size_t i = static_cast<std::size_t>(t * kEach + k);
        Result r;
        outcomes[i] = quarn_convert_file(docs[i].c_str(), nullptr, nullptr, &r);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < docs.size(); ++i) {
    EXPECT_EQ(outcomes[i], QUARN_WRITTEN) << docs[i];
    EXPECT_EQ(Contents(tree_ / ("t/" + std::to_string(i) + ".txt")), "document number " + std::to_string(i) + "\n");
  }
}

TEST(LibraryNames, OutcomesAndVersion) {
  EXPECT_STREQ(quarn_outcome_name(QUARN_WRITTEN), "written");
  EXPECT_STREQ(quarn_outcome_name(QUARN_FAILED), "failed");
  EXPECT_STREQ(quarn_outcome_name(QUARN_SKIPPED), "skipped");
  EXPECT_EQ(quarn_outcome_name(42), nullptr);
  EXPECT_STREQ(quarn_version(), QUARN_VERSION);
  quarn_result_free(nullptr);
}

}  // namespace
