// The read-only registry that maps file extensions to filter plug-ins.  It is
// built once at start-up from the built-in filters' registrations and then
// from the *.reg files of the registry folders (later files override earlier
// ones), and read by any thread afterwards without a lock.  Only the default
// (unnamed) value of a key is ever read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarn {

enum class RegType : std::uint32_t {
  kNone = 0,
  kString = 1,        // REG_SZ
  kExpandString = 2,  // REG_EXPAND_SZ
  kBinary = 3,
  kDword = 4,
  kMultiString = 7,
  kQword = 11,
};

struct RegValue {
  RegType type = RegType::kString;
  std::string data;        // text as UTF-8 for the string types, raw bytes otherwise
  std::string origin_dir;  // folder of the .reg file that set it; empty for built-ins
};

class Registry {
 public:
  // Key paths are below HKEY_LOCAL_MACHINE, "\"-separated, compared without
  // regard to ASCII case.
  void SetDefault(std::string_view key, RegValue value);
  void DeleteDefault(std::string_view key);
  // Removes the key and everything below it.
  void DeleteTree(std::string_view key);

  // The default value of key, when the key has one.
  const RegValue* FindDefault(std::string_view key) const;

  // The default value as text: empty when the key or value is missing or
  // empty; a string cut at its first NUL.  Throws std::runtime_error
  // "Invalid data type for ''" for a non-empty value of another type.
  std::string ReadDefaultText(std::string_view key) const;

  // Adds the registrations of every built-in filter.  They are read from the
  // filters' table itself until a removal could touch one (nothing to build
  // at start-up); keys set later override them either way.
  void AddBuiltins();

  // Reads one .reg file.  A malformed file changes nothing and returns false
  // with "file:line: what" in *error.
  bool LoadRegFile(const std::filesystem::path& file, std::string* error);
  // Reads a .reg file's text; origin_dir is recorded on its values.
  bool LoadRegText(std::string_view bytes, const std::string& origin_dir, std::string* error);

  // Reads every *.reg file of folder, in name order; a malformed file is
  // skipped with one warning on standard error.
  void LoadFolder(const std::string& folder);

  // The folders Quarn reads, in order: share/quarn/registry below the
  // program's own prefix (its folder's parent), below the configured install
  // prefix, and below each folder of $XDG_DATA_DIRS: those that exist, by
  // their real paths, each once.
  static std::vector<std::string> StandardFolders();

  // Built-ins, then StandardFolders().
  static Registry LoadStandard();

  // The file-name extensions that have a key of their own below
  // Software\Classes (".pdf" for "Software\Classes\.pdf" or any key below
  // it), in lower case with their dot, sorted, each once.
  std::vector<std::string> ExtensionKeys() const;

  // How many keys have a default value.
  std::size_t size() const;

  // The shared objects that InprocServer32 keys name (every class's server
  // that is not a built-in), relative ones resolved against the folder of
  // the .reg file that named them.
  std::vector<std::filesystem::path> ServerLibraries() const;

 private:
  static std::string Fold(std::string_view key);
  // Puts the built-ins' registrations among the keys, under those set since.
  void CopyBuiltinsIn();
  std::unordered_map<std::string, RegValue> defaults_;  // folded key -> value
  bool builtins_ = false;  // the built-ins' registrations not yet among defaults_, read from their table
};

}  // namespace quarn
