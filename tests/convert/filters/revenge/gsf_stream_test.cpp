// The stream the Document Liberation libraries read through: plain files,
// compound files and zips written here with libgsf, and how reads and seeks
// behave at the edges.
#include <gtest/gtest.h>

#include <gsf/gsf.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "convert/filters/revenge/gsf_stream.h"
#include "tests/support/filter_support.h"

namespace quarn::revenge {
namespace {

struct Unref {
  void operator()(void* o) const {
    if (o) g_object_unref(o);
  }
};

void Put(GsfOutfile* dir, const char* name, const std::string& bytes) {
  std::unique_ptr<GsfOutput, Unref> out(gsf_outfile_new_child(dir, name, FALSE));
  gsf_output_write(out.get(), bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
  gsf_output_close(out.get());
}

// A compound file (or zip) with a property set, a stream at the top and one
// in a storage.
std::string Write(const std::filesystem::path& path, bool zip) {
  GError* error = nullptr;
  std::unique_ptr<GsfOutput, Unref> sink(gsf_output_stdio_new(path.c_str(), &error));
  std::unique_ptr<GsfOutfile, Unref> root(zip ? gsf_outfile_zip_new(sink.get(), &error)
                                              : gsf_outfile_msole_new(sink.get()));
  if (!zip) Put(root.get(), "\005SummaryInformation", "properties");
  Put(root.get(), "Top", "top stream bytes");
  {
    std::unique_ptr<GsfOutfile, Unref> dir(GSF_OUTFILE(gsf_outfile_new_child(root.get(), "Dir", TRUE)));
    Put(dir.get(), "Inner", std::string(5000, 'x') + "end");
    gsf_output_close(GSF_OUTPUT(dir.get()));
  }
  gsf_output_close(GSF_OUTPUT(root.get()));
  gsf_output_close(sink.get());
  return path.string();
}

std::string ReadAll(librevenge::RVNGInputStream& s) {
  std::string all;
  while (!s.isEnd()) {
    unsigned long got = 0;
    const unsigned char* p = s.read(1000, got);
    if (!p || got == 0) break;
    all.append(reinterpret_cast<const char*>(p), got);
  }
  return all;
}

TEST(GsfStream, CompoundFilesAndZipsShowTheirStreamsByPath) {
  test::TempDir dir;
  for (bool zip : {false, true}) {
    SCOPED_TRACE(zip ? "zip" : "compound file");
    GsfStream s(Write(dir.path() / (zip ? "a.zip" : "a.ole"), zip));
    ASSERT_TRUE(s.opened());
    ASSERT_TRUE(s.isStructured());
    std::vector<std::string> names;
    for (unsigned i = 0; i < s.subStreamCount(); ++i) names.push_back(s.subStreamName(i));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Dir/Inner", "Top"}));
    EXPECT_TRUE(s.existsSubStream("Top"));
    EXPECT_TRUE(s.existsSubStream("/Dir/Inner"));
    EXPECT_FALSE(s.existsSubStream("Dir"));  // a storage is no stream
    EXPECT_FALSE(s.existsSubStream("Missing"));
    std::unique_ptr<librevenge::RVNGInputStream> inner(s.getSubStreamByName("Dir/Inner"));
    ASSERT_TRUE(inner);
    EXPECT_EQ(ReadAll(*inner), std::string(5000, 'x') + "end");
    EXPECT_FALSE(inner->isStructured());
  }
}

TEST(GsfStream, PropertySetsAreHiddenAndNamesMatchWithoutCase) {
  test::TempDir dir;
  GsfStream s(Write(dir.path() / "a.ole", false));
  EXPECT_FALSE(s.existsSubStream("\005SummaryInformation"));
  EXPECT_EQ(s.getSubStreamByName("SummaryInformation"), nullptr);
  std::unique_ptr<librevenge::RVNGInputStream> top(s.getSubStreamByName("TOP"));
  ASSERT_TRUE(top);
  EXPECT_EQ(ReadAll(*top), "top stream bytes");
}

TEST(GsfStream, ReadsAndSeeksStopAtTheEnds) {
  test::TempDir dir;
  GsfStream s(test::WriteFile(dir.path() / "plain.bin", "0123456789"));
  EXPECT_FALSE(s.isStructured());
  EXPECT_EQ(s.subStreamCount(), 0u);
  unsigned long got = 0;
  const unsigned char* p = s.read(4, got);
  ASSERT_EQ(got, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), got), "0123");
  EXPECT_EQ(s.tell(), 4);
  p = s.read(1000, got);  // past the end: what there is
  EXPECT_EQ(got, 6u);
  EXPECT_TRUE(s.isEnd());
  EXPECT_EQ(s.read(1, got), nullptr);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(s.seek(2, librevenge::RVNG_SEEK_SET), 0);
  EXPECT_EQ(s.tell(), 2);
  EXPECT_EQ(s.seek(-1, librevenge::RVNG_SEEK_END), 0);
  EXPECT_EQ(s.tell(), 9);
  EXPECT_NE(s.seek(100, librevenge::RVNG_SEEK_CUR), 0);  // clamped, and said to be
  EXPECT_EQ(s.tell(), 10);
  EXPECT_NE(s.seek(-5, librevenge::RVNG_SEEK_SET), 0);
  EXPECT_EQ(s.tell(), 0);
}

TEST(GsfStream, AMissingFileReadsAsEmpty) {
  GsfStream s("/nonexistent/file");
  EXPECT_FALSE(s.opened());
  EXPECT_FALSE(s.isStructured());
  unsigned long got = 1;
  EXPECT_EQ(s.read(10, got), nullptr);
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(s.isEnd());
}

}  // namespace
}  // namespace quarn::revenge
