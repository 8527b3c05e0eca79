// The stream the Document Liberation libraries read through, over compound
// files and zips written here with libgsf, and the look at a zip package's
// central directory.
#include <gtest/gtest.h>

#include <gsf/gsf.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "convert/filters/revenge/file_stream.h"
#include "convert/filters/revenge/parse.h"
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

TEST(FileStream, CompoundFilesAndZipsShowTheirStreamsByPathButNoPropertySets) {
  test::TempDir dir;
  for (bool zip : {false, true}) {
    SCOPED_TRACE(zip ? "zip" : "compound file");
    FileStream s(Write(dir.path() / (zip ? "a.zip" : "a.ole"), zip));
    ASSERT_TRUE(s.isStructured());
    std::vector<std::string> names;
    for (unsigned i = 0; i < s.subStreamCount(); ++i)
      if (std::string name = s.subStreamName(i); name.back() != '/') names.push_back(name);  // storages end in '/'
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Dir/Inner", "Top"}));
    EXPECT_TRUE(s.existsSubStream("Top"));
    EXPECT_FALSE(s.existsSubStream("\005SummaryInformation"));
    EXPECT_EQ(s.getSubStreamByName("\005SummaryInformation"), nullptr);
    std::unique_ptr<librevenge::RVNGInputStream> inner(s.getSubStreamByName("Dir/Inner"));
    ASSERT_TRUE(inner);
    EXPECT_EQ(ReadAll(*inner), std::string(5000, 'x') + "end");
    std::unique_ptr<librevenge::RVNGInputStream> first(s.getSubStreamById(0));
    ASSERT_TRUE(first);
    EXPECT_FALSE(ReadAll(*first).empty());
  }
}

TEST(FileStream, PropertySetNamesWhereverTheyAre) {
  EXPECT_TRUE(IsPropertySet("\005SummaryInformation"));
  EXPECT_TRUE(IsPropertySet("Storage/\005DocumentSummaryInformation"));
  EXPECT_TRUE(IsPropertySet("SummaryInformation"));
  EXPECT_FALSE(IsPropertySet("Contents"));
  EXPECT_FALSE(IsPropertySet("SummaryInformationX"));
}

TEST(ZipDirectory, SizesAndNamesFromTheCentralDirectory) {
  test::TempDir dir;
  const auto entries = ReadZipDirectory(Write(dir.path() / "a.zip", true));
  ASSERT_TRUE(entries);
  std::vector<std::pair<std::string, std::uint64_t>> got;
  for (const ZipEntry& e : *entries)
    if (e.name.back() != '/') got.emplace_back(e.name, e.size);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::uint64_t>>{{"Dir/Inner", 5003}, {"Top", 16}}));
  std::string why;
  EXPECT_TRUE(ZipWithinLimits((dir.path() / "a.zip").string(), &why));
  ContainerLimits small;
  small.max_member_bytes = 1000;
  EXPECT_FALSE(ZipWithinLimits((dir.path() / "a.zip").string(), &why, small));  // the 5003-byte part
  EXPECT_EQ(why, "the part Dir/Inner would inflate to 5003 bytes");
  small = {};
  small.max_total_bytes = 5010;
  EXPECT_FALSE(ZipWithinLimits((dir.path() / "a.zip").string(), &why, small));
  EXPECT_EQ(why, "the package would inflate to more than 5010 bytes");
  // A file that is no zip passes: its library says what it is.
  EXPECT_FALSE(ReadZipDirectory(test::WriteFile(dir.path() / "b.txt", "no zip here")));
  EXPECT_TRUE(ZipWithinLimits((dir.path() / "b.txt").string(), &why));
}

TEST(ZipDirectory, APartClaimingGigabytesIsRefused) {
  std::string why;
  EXPECT_FALSE(ZipWithinLimits(std::string(QUARN_TEST_DATA) + "/visio/bomb.vsdx", &why));
  EXPECT_EQ(why, "the part visio/pages/page1.xml would inflate to 3072 MiB");
}

}  // namespace
}  // namespace quarn::revenge
