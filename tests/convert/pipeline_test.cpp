#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/main.h"
#include "convert/charset.h"
#include "convert/filter.h"
#include "convert/filter_host.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A temporary folder and a registry whose ".script" files are read by the
// scripted test plug-in: each line of such a file is one answer it gives.
class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterised test's name holds a "/": one folder, not two.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir = fs::temp_directory_path() / ("quarn-pipe-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string error;
    ASSERT_TRUE(registry.LoadRegText(
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.script\\PersistentHandler]\n"
        "@=\"{5155524E-7E57-4000-8000-0000000000A1}\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-0000000000A1}\\"
        "PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}]\n"
        "@=\"{5155524E-7E57-4000-8000-000000000001}\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-000000000001}\\InprocServer32]\n"
        "@=\"" QUARN_SCRIPTED_FILTER "\"\n",
        "", &error))
        << error;
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path Script(const std::string& lines, const std::string& name = "doc.script") {
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << lines;
    return p;
  }
  FilterText Extract(const std::string& lines, FilterLimits limits = {}) {
    return ExtractFilterText(registry, Script(lines).string(), limits);
  }

  fs::path dir;
  Registry registry;
};

TEST_F(Pipeline, ChunksAreSeparatedByOneSpaceAndPiecesJoinDirectly) {
  FilterText t = Extract("chunk\ntext Hello\nlast , world\nnomore\nchunk\ntext again\nnomore\nend\nend\n");
  // One space after every pass, but none after the last chunk: the text ends where the document's does.
  EXPECT_EQ(t.text, "Hello, world again");
  EXPECT_TRUE(t.problem.empty());
}

TEST_F(Pipeline, LoopEndsOnlyAfterTheSecondEndOfChunks) {
  // Between the two ends the plug-in still delivers a chunk, and it is read.
  FilterText t = Extract("end\nchunk\ntext late\nnomore\nend\nchunk\ntext never\n");
  EXPECT_EQ(t.text, "late");
}

TEST_F(Pipeline, NoChunksGiveTwoSpacesAndNothingIsWritten) {
  fs::path out = dir / "out.txt";
  ConvertResult r = ConvertWithFilter(registry, Script("end\nend\n").string(), out.string());
  EXPECT_EQ(r.outcome, Outcome::kNoText);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Pipeline, TextWithoutAVisibleCharacterIsNoTextAndNothingIsWritten) {
  fs::path out = dir / "out.txt";
  for (const char* script : {"value\nend\nend\n", "chunk\nunits 9 20\nnomore\nchunk\nunits 20 A0 200B FEFF 3000 A\nnomore\nend\nend\n"}) {
    ConvertResult r = ConvertWithFilter(registry, Script(script).string(), out.string());
    EXPECT_EQ(r.outcome, Outcome::kNoText) << script;
    EXPECT_EQ(r.reason, "the document has no text");
    EXPECT_FALSE(fs::exists(out));
  }
  // One character that shows is enough.
  EXPECT_EQ(ConvertWithFilter(registry, Script("chunk\nunits 20 A0 2E A\nnomore\nend\nend\n").string(),
                              out.string()).outcome,
            Outcome::kWritten);
  EXPECT_EQ(ReadFile(out), " \u00a0.\n");
}

TEST_F(Pipeline, FailedGetChunkIsPassedOverAndStillAddsItsSpace) {
  EXPECT_EQ(Extract("chunkfail\nchunk\ntext a\nnomore\nchunkfail\nchunk\ntext b\nnomore\nend\nend\n").text, "a  b");
}

TEST_F(Pipeline, TextAfterANulIsCutAndUntouchedBufferContributesNothing) {
  EXPECT_EQ(Extract("chunk\nunits 41 42 0 43 44\nkeep\ntext E\nnomore\nend\nend\n").text, "ABE");
}

TEST_F(Pipeline, UnmappableCharactersBecomeSpacesInASingleByteCharset) {
  Utf16ToCodePage latin1("ISO-8859-1");
  std::string out;
  latin1.Append(u"caf\u00e9 \u4e2d!", out);
  EXPECT_EQ(out, "caf\xe9  !");
}

TEST_F(Pipeline, ThreeByteCharactersAreNeverTruncated) {
  // 16384 units of CJK need 49152 bytes of UTF-8: all of them must arrive.
  std::string cjk;
  for (int i = 0; i < 16384; ++i) cjk += "\xe4\xb8\xad";  // U+4E2D
  FilterText t = Extract("chunk\ntext " + cjk + "\nnomore\nend\nend\n");
  EXPECT_EQ(t.text, cjk);
}

TEST_F(Pipeline, SurrogatePairSplitAcrossTwoCallsIsOneCharacter) {
  // 16383 letters, then an emoji: its high surrogate ends the first call,
  // its low surrogate starts the second.
  std::string letters(16383, 'a');
  FilterText t = Extract("chunk\ntext " + letters + "\xF0\x9F\x98\x80z\nnomore\nend\nend\n");
  EXPECT_EQ(t.text, letters + "\xF0\x9F\x98\x80z");
}

TEST_F(Pipeline, LoneSurrogatesBecomeSpaces) {
  EXPECT_EQ(Extract("chunk\nunits 41 D800 42\nunits DC00 43\nnomore\nend\nend\n").text, "A B C");
  // A high surrogate at the end of a chunk does not pair with the next chunk.
  EXPECT_EQ(Extract("chunk\nunits 41 D83D\nnomore\nchunk\nunits DE00\nnomore\nend\nend\n").text,
            "A   ");
}

TEST_F(Pipeline, APluginThatKeepsFailingIsStoppedAndTheTextReportedIncomplete) {
  FilterText chunks = Extract("chunk\ntext kept\nnomore\nchunkfail *\n");
  EXPECT_THAT(chunks.text, HasSubstr("kept"));
  EXPECT_TRUE(chunks.incomplete);
  EXPECT_THAT(chunks.problem, HasSubstr("kept failing"));

  FilterText texts = Extract("chunk\ntext first\ntextfail *\n");
  EXPECT_THAT(texts.text, HasSubstr("first"));
  EXPECT_TRUE(texts.incomplete);

  // A plug-in answering success with no text forever is stopped too.
  FilterText idle = Extract("chunk\nkeep *\n");
  EXPECT_TRUE(idle.incomplete);
}

TEST_F(Pipeline, EndlessTextIsCutAtTheLimit) {
  FilterLimits limits;
  limits.max_text_bytes = 100000;
  FilterText t = Extract("chunk\ntext \xc3\xa9\xc3\xa9\xc3\xa9 *\n", limits);
  EXPECT_LE(t.text.size(), limits.max_text_bytes);
  EXPECT_GT(t.text.size(), limits.max_text_bytes - 4);
  EXPECT_TRUE(t.incomplete);
  EXPECT_EQ(static_cast<unsigned char>(t.text.back()), 0xA9);  // ends on a whole character
}

TEST_F(Pipeline, FailuresToCreateLoadOrInitialiseYieldNoText) {
  EXPECT_EQ(Extract("loadfail\n").text, "");
  EXPECT_EQ(Extract("initfail\n").text, "");
  EXPECT_EQ(ExtractFilterText(registry, (dir / "x.unregistered").string()).text, "");
  Registry broken;
  broken.SetDefault("Software\\Classes\\.bad\\PersistentHandler", {RegType::kString, "{H}", {}});
  broken.SetDefault(
      "Software\\Classes\\CLSID\\{H}\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}",
      {RegType::kString, "not-a-class-id", {}});
  FilterText t = ExtractFilterText(broken, Script("chunk\n", "x.bad").string());
  EXPECT_EQ(t.text, "");
  EXPECT_FALSE(t.problem.empty());
}

TEST(ThinSpaces, PassesOfTenEightFourAndTwo) {
  EXPECT_EQ(ThinSpaces("a            b"), "a  b");  // 12 -> 3 -> 3 -> 3 -> 2
  EXPECT_EQ(ThinSpaces("a   b"), "a  b");           // three spaces become two
  EXPECT_EQ(ThinSpaces("a  b"), "a b");
  EXPECT_EQ(ThinSpaces(std::string(100, ' ')), std::string(ThinnedRunLength(100), ' '));
  EXPECT_EQ(ThinnedRunLength(100), 2u);  // 100 -> 10 -> 3 -> 3 -> 2
}

// The one-pass thinning must equal four literal replace-all passes.
TEST(ThinSpaces, EqualsFourLiteralPasses) {
  auto literal = [](std::string text) {
    for (std::string run : {std::string(10, ' '), std::string(8, ' '), std::string(4, ' '), std::string(2, ' ')}) {
      std::string out;
      std::size_t i = 0;
      for (std::size_t j; (j = text.find(run, i)) != std::string::npos; i = j + run.size()) {
        out.append(text, i, j - i);
        out.push_back(' ');
      }
      out.append(text, i);
      text = out;
    }
    return text;
  };
  std::string sample;
  for (int n = 0; n < 60; ++n) sample += "x" + std::string(n, ' ');
  EXPECT_EQ(ThinSpaces(sample), literal(sample));
}

class SaveText : public Pipeline {};

TEST_F(SaveText, WritesExactlyTheBytesAndReplacesAnExistingFile) {
  fs::path out = dir / "a.txt";
  std::ofstream(out) << "old content that is longer";
  ::chmod(out.c_str(), 0640);
  SaveTextFile(out.string(), std::string("new\0text", 8));
  EXPECT_EQ(ReadFile(out), std::string("new\0text", 8));
  EXPECT_EQ(fs::status(out).permissions() & fs::perms::all, fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left
}

TEST_F(SaveText, CreationFailureNamesTheAbsolutePathAndKeepsTheOldFile) {
  fs::path ro = dir / "ro";
  fs::create_directories(ro);
  std::ofstream(ro / "a.txt") << "precious";
  ::chmod(ro.c_str(), 0555);
  if (::access((ro / "x").c_str(), W_OK) == 0 || ::geteuid() == 0) {
    // root writes anywhere: make the folder vanish instead
    ::chmod(ro.c_str(), 0755);
    try {
      SaveTextFile((dir / "missing" / "a.txt").string(), "x");
      FAIL();
    } catch (const FileError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot create file \"" + (dir / "missing" / "a.txt").string() + "\". No such file or directory");
    }
    return;
  }
  EXPECT_THROW(SaveTextFile((ro / "a.txt").string(), "new"), FileError);
  EXPECT_EQ(ReadFile(ro / "a.txt"), "precious");
  ::chmod(ro.c_str(), 0755);
}

TEST_F(SaveText, RelativePathsAreMadeAbsoluteInTheMessage) {
  fs::path cwd = fs::current_path();
  fs::current_path(dir);
  try {
    SaveTextFile("no/such/folder.txt", "x");
    ADD_FAILURE();
  } catch (const FileError& e) {
    EXPECT_THAT(e.what(), HasSubstr("\"" + (dir / "no/such/folder.txt").string() + "\". "));
  }
  fs::current_path(cwd);
}

TEST_F(SaveText, FailedWriteIsAnErrorAndLeavesNoTruncatedFile) {
  if (!fs::exists("/dev/full")) GTEST_SKIP();
  EXPECT_THROW(SaveTextFile("/dev/full", "text"), FileError);  // a device is written in place
}

TEST_F(SaveText, SymbolicLinkIsFollowedAndStaysALink) {
  fs::path real = dir / "real.txt", link = dir / "link.txt";
  std::ofstream(real) << "old";
  fs::create_symlink(real, link);
  SaveTextFile(link.string(), "through the link");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(real), "through the link");
}

TEST_F(SaveText, PipeIsWrittenDirectly) {
  fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = ReadFile(fifo); });
  SaveTextFile(fifo.string(), "piped");
  reader.join();
  EXPECT_EQ(got, "piped");
}

// Every way a text file is put in place: through an unnamed temporary file,
// and through a named one where the file system has no unnamed files.
class SaveRoutes : public Pipeline, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    Pipeline::SetUp();
    UseUnnamedTemporaryFiles(GetParam());
  }
  void TearDown() override {
    UseUnnamedTemporaryFiles(true);
    Pipeline::TearDown();
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};
INSTANTIATE_TEST_SUITE_P(Unnamed, SaveRoutes, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Named, SaveRoutes, ::testing::Values(false));

TEST_P(SaveRoutes, WritesTheWholeTextUnderItsNameAndNothingElse) {
  SaveOptions options;
  options.origin = "doc.md";
  EXPECT_EQ(SaveTextFile((dir / "a.txt").string(), "new", options).outcome, Saved::kWritten);
  std::ofstream(dir / "b.txt") << "old";
  EXPECT_EQ(SaveTextFile((dir / "b.txt").string(), "replaced", options).outcome, Saved::kWritten);
  EXPECT_EQ(ReadFile(dir / "a.txt"), "new");
  EXPECT_EQ(ReadFile(dir / "b.txt"), "replaced");
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
  if (::getxattr((dir / "a.txt").c_str(), kOriginAttribute, nullptr, 0) < 0 && errno == ENOTSUP) return;
  EXPECT_TRUE(WrittenByUs((dir / "a.txt").string()));
  EXPECT_TRUE(WrittenByUs((dir / "b.txt").string()));
  std::ofstream(dir / "c.txt") << "the user's";
  EXPECT_FALSE(WrittenByUs((dir / "c.txt").string()));
}

TEST_P(SaveRoutes, TheDocumentIsComparedByWhatIsOpenAtTheMomentOfTheRename) {
  // The document's name was elsewhere when its conversion began; by the time
  // the text is put in place, the output name holds the very file the
  // conversion has open.
  fs::path doc = dir / "doc.md", out = dir / "doc.txt";
  std::ofstream(doc) << "the document";
  std::ofstream(out) << "an earlier text";
  const int fd = ::open(doc.c_str(), O_RDONLY);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  fs::rename(doc, out);
  SaveOptions options;
  options.input = IdentityOf(st);
  const SaveResult r = SaveTextFile(out.string(), "converted text", options);
  ::close(fd);
  EXPECT_EQ(r.outcome, Saved::kSameFile);
  EXPECT_EQ(ReadFile(out), "the document");
  EXPECT_EQ(Names(), (std::vector<std::string>{"doc.txt"}));
}

// Records what it was asked, and says no to one name.
class RecordingGate : public OutputGate {
 public:
  std::string Admit(const OutputSlot& slot) override {
    asked.push_back(slot);
    return slot.name == refuse ? "refused: " + slot.path : std::string();
  }
  void Placed(const OutputSlot& slot, bool written, FileIdentity file) override {
    placed.push_back({slot.name, written});
    files.push_back(file);
  }
  std::string refuse;
  std::vector<OutputSlot> asked;
  std::vector<std::pair<std::string, bool>> placed;
  std::vector<FileIdentity> files;
};

TEST_P(SaveRoutes, TheGateIsAskedRightBeforeAndARefusalWritesNothing) {
  RecordingGate gate;
  gate.refuse = "no.txt";
  SaveOptions options;
  options.gate = &gate;
  std::ofstream(dir / "no.txt") << "kept";
  const SaveResult r = SaveTextFile((dir / "no.txt").string(), "text", options);
  EXPECT_EQ(r.outcome, Saved::kRefused);
  EXPECT_EQ(r.reason, "refused: " + (dir / "no.txt").string());
  EXPECT_EQ(ReadFile(dir / "no.txt"), "kept");
  EXPECT_TRUE(gate.placed.empty());

  EXPECT_EQ(SaveTextFile((dir / "yes.txt").string(), "text", options).outcome, Saved::kWritten);
  ASSERT_EQ(gate.asked.size(), 2u);
  EXPECT_TRUE(gate.asked[0].exists);
  EXPECT_FALSE(gate.asked[1].exists);
  struct stat folder {}, written {};
  ::stat(dir.c_str(), &folder);
  ::stat((dir / "yes.txt").c_str(), &written);
  EXPECT_EQ(gate.asked[1].folder, IdentityOf(folder));
  ASSERT_EQ(gate.placed.size(), 1u);
  EXPECT_EQ(gate.placed[0], std::make_pair(std::string("yes.txt"), true));
  EXPECT_EQ(gate.files[0], IdentityOf(written));
  EXPECT_EQ(Names(), (std::vector<std::string>{"no.txt", "yes.txt"}));
}

TEST(TemporaryNames, OnlyTheFormOfTheProgramsOwnTemporaryFiles) {
  EXPECT_TRUE(IsTemporaryTextName(".a.txt.0123456789ab~"));
  EXPECT_TRUE(IsTemporaryTextName(".notes.txt.ffffffffffff~"));
  EXPECT_FALSE(IsTemporaryTextName("a.txt.0123456789ab~"));
  EXPECT_FALSE(IsTemporaryTextName(".a.txt.0123456789AB~"));
  EXPECT_FALSE(IsTemporaryTextName(".a.txt.0123456789a~"));
  EXPECT_FALSE(IsTemporaryTextName(".a.txt~"));
}

class Convert : public Pipeline {};

TEST_F(Convert, OutputPathReplacesTheExtensionOrAppendsOne) {
  EXPECT_EQ(OutputPathFor("/docs/report.pdf"), "/docs/report.txt");
  EXPECT_EQ(OutputPathFor("a.b.doc"), "a.b.txt");
  EXPECT_EQ(OutputPathFor("/d.x/README"), "/d.x/README.txt");
  EXPECT_EQ(OutputPathFor("odd."), "odd.txt");
}

TEST_F(Convert, WritesBesideTheInputOrToTheNamedOutput) {
  fs::path in = Script("chunk\ntext body\nnomore\nend\nend\n");
  EXPECT_EQ(ConvertFile(registry, in.string(), "").outcome, Outcome::kWritten);
  EXPECT_EQ(ReadFile(dir / "doc.txt"), "body");
  fs::path out = dir / "out.dat";
  EXPECT_EQ(ConvertFile(registry, in.string(), out.string()).outcome, Outcome::kWritten);
  EXPECT_EQ(ReadFile(out), "body");
}

TEST_F(Convert, TheOutputNeverReplacesTheInput) {
  fs::path in = Script("chunk\ntext body\nnomore\nend\nend\n", "notes.txt");
  registry.SetDefault("Software\\Classes\\.txt\\PersistentHandler",
                      *registry.FindDefault("Software\\Classes\\.script\\PersistentHandler"));
  std::string before = ReadFile(in);
  EXPECT_EQ(ConvertFile(registry, in.string(), "").outcome, Outcome::kSameFile);
  fs::create_symlink(in, dir / "alias.txt");
  EXPECT_EQ(ConvertFile(registry, in.string(), (dir / "alias.txt").string()).outcome, Outcome::kSameFile);
  EXPECT_EQ(ReadFile(in), before);
}

TEST_F(Convert, UnreadableInputsAndFoldersFailWithAReason) {
  ConvertResult missing = ConvertFile(registry, (dir / "gone.script").string(), "");
  EXPECT_EQ(missing.outcome, Outcome::kFailed);
  EXPECT_THAT(missing.reason, HasSubstr("No such file"));
  EXPECT_EQ(ConvertFile(registry, dir.string(), "").outcome, Outcome::kFailed);
}

TEST_F(Convert, OutputThatCannotBeCreatedIsAFailureNotAnException) {
  fs::path in = Script("chunk\ntext body\nnomore\nend\nend\n");
  ConvertResult r = ConvertFile(registry, in.string(), (dir / "no" / "out.txt").string());
  EXPECT_EQ(r.outcome, Outcome::kFailed);
  EXPECT_THAT(r.reason, HasSubstr("Cannot create file \""));
}

TEST_F(Convert, WrongRegistryValueTypeIsAFailureWithItsMessage) {
  registry.SetDefault("Software\\Classes\\.script\\PersistentHandler", {RegType::kDword, "\1\0\0\0", {}});
  ConvertResult r = ConvertFile(registry, Script("chunk\n").string(), "");
  EXPECT_EQ(r.outcome, Outcome::kFailed);
  EXPECT_EQ(r.reason, "Invalid data type for ''");
}

TEST(ExamplePlugin, FortuneFilterLoadsRelativeToItsRegFileAndGivesOneChunkPerCookie) {
  fs::path dir = fs::temp_directory_path() / ("quarn-fortune-" + std::to_string(::getpid()));
  fs::create_directories(dir / "reg");
  fs::copy_file(QUARN_FORTUNE_FILTER, dir / "reg" / "libquarn_fortune.so", fs::copy_options::overwrite_existing);
  fs::copy_file(QUARN_FORTUNE_REG, dir / "reg" / "fortune.reg", fs::copy_options::overwrite_existing);
  std::ofstream(dir / "cookies.fortune") << "Look before you leap.\n%\nHaste makes waste.\n%\n";
  Registry r;
  r.AddBuiltins();
  r.LoadFolder(dir / "reg");
  ConvertResult result = ConvertFile(r, (dir / "cookies.fortune").string(), "");
  EXPECT_EQ(result.outcome, Outcome::kWritten) << result.reason;
  EXPECT_EQ(ReadFile(dir / "cookies.txt"), "Look before you leap.\n Haste makes waste.\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quarn
