#include "convert/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "convert/filter.h"
#include "convert/filter_host.h"
#include "convert/filters/builtin.h"
#include "convert/filters/module.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

Registry Parse(std::string_view text, bool expect_ok = true) {
  Registry r;
  std::string error;
  EXPECT_EQ(r.LoadRegText(text, "/origin", &error), expect_ok) << error;
  return r;
}

TEST(RegistryFile, ReadsBothHeadersAndDefaultValuesOnly) {
  Registry v5 = Parse(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.abc]\r\n"
      "@=\"abcfile\"\r\n"
      "\"Named\"=\"ignored\"\r\n");
  EXPECT_EQ(v5.ReadDefaultText("Software\\Classes\\.abc"), "abcfile");
  EXPECT_EQ(v5.size(), 1u);
  Registry v4 = Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\.abc]\n@=\"old\"\n");
  EXPECT_EQ(v4.ReadDefaultText("SOFTWARE\\CLASSES\\.ABC"), "old");
}

TEST(RegistryFile, DecodesEscapesAndExpandableStrings) {
  Registry r = Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\K1]\n"
      "@=\"C:\\\\dir\\\\\\\"quoted\\\"\"\n"
      "[HKEY_LOCAL_MACHINE\\K2]\n"
      // "%A%" then "lib" in UTF-16LE, continued over two lines, with a NUL
      "@=hex(2):25,00,41,00,25,00,\\\n"
      "  6c,00,69,00,62,00,00,00\n");
  EXPECT_EQ(r.ReadDefaultText("K1"), "C:\\dir\\\"quoted\"");
  EXPECT_EQ(r.ReadDefaultText("K2"), "%A%lib");  // taken verbatim, cut at its NUL
}

TEST(RegistryFile, RemovalHeadersDeleteWholeTrees) {
  Registry r = Parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n@=\"a\"\n[HKEY_LOCAL_MACHINE\\A\\B]\n@=\"b\"\n"
      "[HKEY_LOCAL_MACHINE\\AB]\n@=\"kept\"\n[-HKEY_LOCAL_MACHINE\\a]\n");
  EXPECT_EQ(r.ReadDefaultText("A"), "");
  EXPECT_EQ(r.ReadDefaultText("A\\B"), "");
  EXPECT_EQ(r.ReadDefaultText("AB"), "kept");
}

TEST(RegistryFile, ClassesRootMapsBelowTheMachineAndOtherRootsAreIgnored) {
  Registry r = Parse(
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\.x]\n@=\"xfile\"\n[HKEY_CURRENT_USER\\Software\\Classes\\.y]\n@=\"no\"\n");
  EXPECT_EQ(r.ReadDefaultText("Software\\Classes\\.x"), "xfile");
  EXPECT_EQ(r.ReadDefaultText("Software\\Classes\\.y"), "");
}

TEST(RegistryFile, Utf16FileWithByteOrderMark) {
  std::string utf8 = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n@=\"Ωmega\"\r\n";
  std::u16string wide = u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n@=\"Ωmega\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : wide) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  Registry r = Parse(bytes);
  EXPECT_EQ(r.ReadDefaultText("K"), "Ωmega");
}

TEST(RegistryFile, MalformedFilesChangeNothingAndNameTheLine) {
  Registry r;
  r.SetDefault("K", {RegType::kString, "before", {}});
  std::string error;
  EXPECT_FALSE(r.LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"new\"\n@=hex(2):zz\n", "", &error));
  EXPECT_EQ(error.substr(0, 2), "4:");
  EXPECT_EQ(r.ReadDefaultText("K"), "before");
  for (std::string_view bad : {"", "not a registry\n", "REGEDIT4\n@=\"value before key\"\n",
                               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"open\n",
                               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=dword:123\n"}) {
    EXPECT_FALSE(r.LoadRegText(bad, "", &error)) << bad;
  }
}

TEST(RegistryFile, FolderSkipsBadFilesWithAWarningAndLaterFilesOverride) {
  auto dir = std::filesystem::temp_directory_path() / ("quarn-reg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "a.reg") << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"first\"\n";
  std::ofstream(dir / "b.reg") << "garbage\n";
  std::ofstream(dir / "c.reg") << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"last\"\n";
  std::ofstream(dir / "d.txt") << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"not a reg file\"\n";
  Registry r;
  ::testing::internal::CaptureStderr();
  r.LoadFolder(dir);
  std::string warnings = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.ReadDefaultText("K"), "last");
  EXPECT_THAT(warnings, HasSubstr("b.reg:1:"));
  EXPECT_EQ(r.FindDefault("K")->origin_dir, dir.string());
  std::filesystem::remove_all(dir);
}

TEST(RegistryValue, OtherTypesWithDataAreAnErrorEmptyOnesReadEmpty) {
  Registry r = Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\D]\n@=dword:00000001\n[HKEY_LOCAL_MACHINE\\E]\n@=hex:\n");
  try {
    r.ReadDefaultText("D");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for ''");
  }
  EXPECT_EQ(r.ReadDefaultText("E"), "");
  EXPECT_EQ(r.ReadDefaultText("Missing"), "");
}

// The lookup order of FindFilterClass.
class Lookup : public ::testing::Test {
 protected:
  void Set(const std::string& key, const std::string& value) {
    r.SetDefault("Software\\Classes\\" + key, {RegType::kString, value, {}});
  }
  static constexpr const char* kIFilter = "\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}";
  Registry r;
};

TEST_F(Lookup, PersistentHandlerOfTheExtensionWinsOverTheProgramId) {
  Set(".abc\\PersistentHandler", "{H1}");
  Set(".abc", "abcfile");
  Set("abcfile\\CLSID", "{C}");
  Set("CLSID\\{C}\\PersistentHandler", "{H2}");
  Set(std::string("CLSID\\{H1}") + kIFilter, "{F1}");
  Set(std::string("CLSID\\{H2}") + kIFilter, "{F2}");
  EXPECT_EQ(FindFilterClass(r, "/d/x.abc"), "{F1}");
}

TEST_F(Lookup, ProgramIdRouteWhenTheExtensionHasNoHandler) {
  Set(".abc", "abcfile");
  Set("abcfile\\CLSID", "{C}");
  Set("CLSID\\{C}\\PersistentHandler", "{H2}");
  Set(std::string("CLSID\\{H2}") + kIFilter, "{F2}");
  EXPECT_EQ(FindFilterClass(r, "/d/x.abc"), "{F2}");
  EXPECT_EQ(FindFilterClass(r, "/d/x.ABC"), "{F2}");  // keys ignore case
  EXPECT_EQ(FindFilterClass(r, "/d.abc/x"), "");       // no extension after the last "/"
  EXPECT_EQ(FindFilterClass(r, "/d/x.abd"), "");
}

TEST_F(Lookup, ExtensionIsTheTextFromTheLastDotAfterTheLastSlash) {
  EXPECT_EQ(ExtensionOf("/a.b/c.d.pdf"), ".pdf");
  EXPECT_EQ(ExtensionOf("/a.b/c"), "");
  EXPECT_EQ(ExtensionOf("c."), ".");
  EXPECT_EQ(ExtensionOf(".bashrc"), ".bashrc");
}

// The list behind "quarn --list-extensions" and the completions: exactly the
// extensions the lookup resolves, by either route, whatever the case of the
// keys, and none whose chain is broken or holds a value of the wrong type.
TEST_F(Lookup, RegisteredExtensionsAreThoseTheLookupResolves) {
  Set(".ABC\\PersistentHandler", "{H1}");
  Set(std::string("CLSID\\{H1}") + kIFilter, "{F1}");
  Set(".prog", "progfile");
  Set("progfile\\CLSID", "{C}");
  Set("CLSID\\{C}\\PersistentHandler", "{H1}");
  Set(".broken\\PersistentHandler", "{Nowhere}");  // no filter class behind it
  Set(".empty", "");
  r.SetDefault("Software\\Classes\\.typed\\PersistentHandler", {RegType::kDword, "\x01\0\0\0", {}});
  Set(".\\PersistentHandler", "{H1}");  // names no extension
  EXPECT_EQ(r.ExtensionKeys(), (std::vector<std::string>{".abc", ".broken", ".empty", ".prog", ".typed"}));
  EXPECT_EQ(RegisteredExtensions(r), (std::vector<std::string>{".abc", ".prog"}));

  // A removal takes an extension away again.
  std::string error;
  ASSERT_TRUE(r.LoadRegText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.abc]\n", "", &error)) << error;
  EXPECT_EQ(RegisteredExtensions(r), (std::vector<std::string>{".prog"}));
}

TEST(BuiltinRegistrations, EveryBuiltinExtensionIsListedOnce) {
  Registry r;
  r.AddBuiltins();
  const std::vector<std::string> listed = RegisteredExtensions(r);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  for (const BuiltinFilterInfo& info : BuiltinFilters())
    for (std::string_view ext : info.extensions) {
      EXPECT_TRUE(std::binary_search(listed.begin(), listed.end(), std::string(ext))) << ext;
      // The keys are made from the table as it stands, without folding.
      EXPECT_TRUE(ext.size() > 1 && ext[0] == '.' && std::none_of(ext.begin(), ext.end(), [](char c) {
                    return c >= 'A' && c <= 'Z';
                  })) << ext;
      EXPECT_FALSE(FindFilterClass(r, "Upper" + std::string(ext)).empty()) << ext;
    }
}

TEST(BuiltinRegistrations, EveryBuiltinExtensionFindsItsFilter) {
  Registry r;
  r.AddBuiltins();
  EXPECT_FALSE(FindFilterClass(r, "a.txt").empty());
  EXPECT_EQ(FindFilterClass(r, "a.TXT"), FindFilterClass(r, "a.txt"));
  EXPECT_EQ(FindFilterClass(r, "a.unknown-ext"), "");
}

// Every built-in filter can be created, whether it lives in the program or in
// a module; a module that is not there is a reason, not a crash.
TEST(BuiltinRegistrations, EveryBuiltinCanBeCreatedAndMissingModulesSayWhy) {
  for (const BuiltinFilterInfo& info : BuiltinFilters()) {
    std::string error;
    EXPECT_NE(CreateBuiltinFilter(info, &error), nullptr) << info.name << ": " << error;
  }
  std::string error;
  EXPECT_EQ(LoadFilterModule("spreadsheets-on-mars", &error), nullptr);
  EXPECT_THAT(error, HasSubstr("no filter module"));
  const BuiltinFilterInfo missing{"ghost", "{}", "{}", {}, nullptr, "ghost"};
  EXPECT_EQ(CreateBuiltinFilter(missing, &error), nullptr);
  EXPECT_THAT(error, HasSubstr("ghost"));
}

// The registry folders of $XDG_DATA_DIRS come in its order, after the
// program's own, each that exists once by its real path (a link to one is
// the same folder); empty entries and missing folders add nothing.
TEST(RegistryFolders, DataFoldersInTheirOrderEachOnceByItsRealPath) {
  char made[] = "/tmp/quarn-folders-XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::filesystem::path root = std::filesystem::canonical(made);
  std::filesystem::create_directories(root / "a/quarn/registry");
  std::filesystem::create_directories(root / "b/quarn/registry");
  std::filesystem::create_directory_symlink(root / "a", root / "c");
  const char* before = std::getenv("XDG_DATA_DIRS");
  const std::string kept = before ? before : "";
  const std::string dirs = ":" + (root / "a").string() + ":/nowhere::" + (root / "c").string() + ":" +
                           (root / "b").string() + ":";
  ::setenv("XDG_DATA_DIRS", dirs.c_str(), 1);
  const std::vector<std::string> folders = Registry::StandardFolders();
  if (before) {
    ::setenv("XDG_DATA_DIRS", kept.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_DIRS");
  }
  std::filesystem::remove_all(root);
  ASSERT_GE(folders.size(), 2u);
  EXPECT_EQ(folders[folders.size() - 2], (root / "a/quarn/registry").string());
  EXPECT_EQ(folders.back(), (root / "b/quarn/registry").string());
  EXPECT_EQ(std::count(folders.begin(), folders.end(), (root / "a/quarn/registry").string()), 1);
  // The build's own folder, beside the program's: the first.
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  const std::filesystem::path own = std::filesystem::path(exe).parent_path().parent_path() / "share/quarn/registry";
  if (std::filesystem::is_directory(own)) {
    EXPECT_EQ(folders.front(), std::filesystem::canonical(own).string());
  }
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The built-ins' registrations are read from the filters' table until a
// removal copies them in among the keys: both must answer every question the
// same, in any case, including the extension two filters list (".pot").
TEST(BuiltinRegistrations, AnswerTheSameFromTheTableAndOnceCopiedIn) {
  Registry table;
  table.AddBuiltins();
  Registry keys;
  keys.AddBuiltins();
  keys.DeleteDefault("Software\\Nothing");  // a removal: the built-ins are copied in first
  const std::string addins = "\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}";
  std::vector<std::string> asked = {"",
                                    "Software\\Classes",
                                    "Software\\Classes\\.docx",
                                    "Software\\Classes\\.\\PersistentHandler",
                                    "Software\\Classes\\.unknown\\PersistentHandler",
                                    "Software\\Classes\\.docx\\PersistentHandler\\More",
                                    "Software\\Classes\\CLSID",
                                    "Software\\Classes\\CLSID\\{5155524E-F001-4000-8000-000000000001}",
                                    "Software\\Classes\\CLSID\\{5155524E-A001-4000-8000-000000000001}\\"
                                    "PersistentAddinsRegistered\\{00000000-0000-0000-0000-000000000000}"};
  for (const BuiltinFilterInfo& f : BuiltinFilters()) {
    for (std::string_view ext : f.extensions) {
      asked.push_back("Software\\Classes\\" + std::string(ext) + "\\PersistentHandler");
      asked.push_back("SOFTWARE\\CLASSES\\" + std::string(ext) + "\\persistenthandler");
    }
    asked.push_back("Software\\Classes\\CLSID\\" + std::string(f.handler_id) + addins);
    asked.push_back("software\\classes\\clsid\\" + Lower(f.handler_id) + Lower(addins));
    asked.push_back("Software\\Classes\\CLSID\\" + std::string(f.class_id) + "\\InprocServer32");
    asked.push_back("Software\\Classes\\CLSID\\" + Lower(f.class_id) + "\\inprocserver32");
    asked.push_back("Software\\Classes\\CLSID\\" + std::string(f.handler_id) + "\\InprocServer32");
    asked.push_back("Software\\Classes\\CLSID\\" + std::string(f.class_id) + addins);
  }
  for (const std::string& key : asked) {
    EXPECT_EQ(table.ReadDefaultText(key), keys.ReadDefaultText(key)) << key;
    const RegValue* a = table.FindDefault(key);
    const RegValue* b = keys.FindDefault(key);
    ASSERT_EQ(a != nullptr, b != nullptr) << key;
    if (a) {
      EXPECT_EQ(a->data, b->data) << key;
    }
  }
  EXPECT_EQ(table.ReadDefaultText("Software\\Classes\\.pot\\PersistentHandler"),
            std::string(FindBuiltinFilter("ppt")->handler_id));
  EXPECT_EQ(table.ExtensionKeys(), keys.ExtensionKeys());
  EXPECT_EQ(RegisteredExtensions(table), RegisteredExtensions(keys));
  EXPECT_EQ(table.size(), keys.size());
}

// Registration files change the built-ins' keys as any others: a key they
// set holds over the built-in one, also after a later removal copies the
// built-ins in, and a removed key is gone.
TEST(BuiltinRegistrations, RegistrationFilesOverrideAndRemoveThem) {
  Registry r;
  r.AddBuiltins();
  const std::string text_class = FindFilterClass(r, "a.txt");
  const std::string docx_class = FindFilterClass(r, "a.docx");
  const std::string docx_handler(FindBuiltinFilter("docx")->handler_id);
  ASSERT_FALSE(text_class.empty());
  ASSERT_FALSE(docx_class.empty());
  std::string error;
  ASSERT_TRUE(r.LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\.md\\PersistentHandler]\n@=\"" +
                                docx_handler + "\"\n",
                            "/origin", &error))
      << error;
  EXPECT_EQ(FindFilterClass(r, "a.MD"), docx_class);
  EXPECT_EQ(r.FindDefault("Software\\Classes\\.md\\PersistentHandler")->origin_dir, "/origin");

  ASSERT_TRUE(r.LoadRegText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.csv]\n", "", &error)) << error;
  EXPECT_EQ(FindFilterClass(r, "a.csv"), "");
  EXPECT_EQ(FindFilterClass(r, "a.txt"), text_class);
  EXPECT_EQ(FindFilterClass(r, "a.md"), docx_class);  // set later than the built-ins: still holds
  const std::vector<std::string> extensions = r.ExtensionKeys();
  EXPECT_FALSE(std::binary_search(extensions.begin(), extensions.end(), ".csv"));
  EXPECT_TRUE(std::binary_search(extensions.begin(), extensions.end(), ".md"));

  ASSERT_TRUE(r.LoadRegText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\" + docx_class + "]\n", "",
                            &error))
      << error;
  std::string why;
  EXPECT_FALSE(CreateFilterObject(r, docx_class, &why));
  EXPECT_THAT(why, HasSubstr("is not installed"));
  EXPECT_TRUE(CreateFilterObject(r, text_class, &why));
}

}  // namespace
}  // namespace quarn
