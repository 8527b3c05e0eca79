#include "convert/filters/ole/encrypted_package_filter.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include "convert/filters/builtin.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/members.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// An encrypted package is decrypted in memory: up to this size.
constexpr std::size_t kMaxPackageBytes = std::size_t{1} << 30;
constexpr std::string_view kPackageFilters[] = {"docx", "xlsx", "xlsb", "pptx"};

// The package filter the document's own name gives: for a package too
// damaged to say by its content what it is.
std::string_view FilterForName(const std::string& path) {
  const std::string ext = LowerAscii(std::filesystem::path(path).extension().string());
  for (std::string_view name : kPackageFilters)
    if (const BuiltinFilterInfo* f = FindBuiltinFilter(name))
      if (std::find(f->extensions.begin(), f->extensions.end(), ext) != f->extensions.end()) return name;
  return {};
}

class EncryptedPackageFilter final : public BuiltinFilter {
 public:
  explicit EncryptedPackageFilter(std::u16string password) : password_(std::move(password)) {}

  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::Failed(why);
    std::optional<std::string> info = ReadCompoundStream(file.get(), "EncryptionInfo", std::size_t{1} << 20);
    std::optional<std::string> package = ReadCompoundStream(file.get(), "EncryptedPackage", kMaxPackageBytes);
    // Without a description of its encryption, the package's key is held by
    // a rights management server, not a password.
    if (package && !info) return ExtractResult::RightsManaged();
    if (!info || !package)
      return ExtractResult::Failed("the encrypted document is damaged: a stream of it is missing");
    file.reset();
    const PackageDecryption decrypted = DecryptPackage(*info, *package, password_);
    switch (decrypted.outcome) {
      case PackageDecryption::Outcome::kDecrypted: break;
      case PackageDecryption::Outcome::kWrongPassword: return ExtractResult::Password();
      case PackageDecryption::Outcome::kUnsupported: return ExtractResult::Password();
      case PackageDecryption::Outcome::kDamaged:
        return ExtractResult::Failed("the encrypted document is damaged: " + decrypted.why);
    }
    PrivateFolder folder;
    MemberFile plain(folder, "package.zip");
    if (!plain.Write(*package) || !plain.Close()) return ExtractResult::Failed(plain.error());
    package.reset();
    const Sniffed what = SniffContent(plain.path());
    std::string_view filter = what.filter;
    if (std::find(std::begin(kPackageFilters), std::end(kPackageFilters), filter) == std::end(kPackageFilters))
      filter = what.kind == ContentKind::kZip ? FilterForName(path) : std::string_view();
    if (filter.empty())
      return ExtractResult::Failed("the encrypted document is damaged: what it holds is no Office package");
    return ExtractWithBuiltin(filter, plain.path(), sink);
  }

 private:
  std::u16string password_;
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateEncryptedPackageFilter(std::u16string_view password) {
  return std::make_unique<EncryptedPackageFilter>(std::u16string(password));
}

}  // namespace quarn
