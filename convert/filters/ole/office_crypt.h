// Decryption of Office 97-2003 files for the passwords the programs use
// themselves when the person set none.  Excel encrypts workbooks whose
// structure or sheets are protected, or that are saved "read-only
// recommended", with "VelvetSweatshop" (RC4, RC4 through the CryptoAPI, or
// the XOR obfuscation of Excel 5/95 and of workbooks saved that way);
// PowerPoint encrypts presentations that have only a password to modify with
// "/01Hannes Ruescher/01" (RC4 through the CryptoAPI).  Both open without a
// question.  Only those passwords are tried; a file a person locked stays
// locked.  Reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarn {

// The password Excel encrypts with when none was given.
inline constexpr std::u16string_view kExcelDefaultPassword = u"VelvetSweatshop";
// The password PowerPoint encrypts with when only a password to modify was given.
inline constexpr std::u16string_view kPowerPointDefaultPassword = u"/01Hannes Ruescher/01";

// RC4 through the CryptoAPI: the keys a password gives, block by block.
class CryptoApiRc4 {
 public:
  // From the encryption's description as the files keep it (its version,
  // flags, header's size, header, then the verifier: salt, verifier and its
  // hash); null when it is of another kind or the password does not open it.
  static std::unique_ptr<CryptoApiRc4> Open(std::string_view info, std::u16string_view password);
  // The key of a block (cut to the key's size; a 40-bit key padded to 128 bits).
  std::string Key(std::uint32_t block) const;
  // XORs bytes[0, n) with the key stream of block, from its start.
  bool Apply(std::uint32_t block, char* bytes, std::size_t n) const;

 private:
  CryptoApiRc4(std::string h0, std::uint32_t bits) : h0_(std::move(h0)), bits_(bits) {}
  std::string h0_;
  std::uint32_t bits_;
};

// Office 2007 and later keep an encrypted package (the zip of a .docx,
// .xlsx, .pptx) in a compound file: its "EncryptionInfo" stream describes
// the encryption, its "EncryptedPackage" stream holds the package's size
// and then the package encrypted.  Standard encryption (AES in ECB mode,
// keys through SHA-1) and agile encryption (AES in CBC mode by segments,
// keys through the hash its description names) are read.
struct PackageDecryption {
  enum class Outcome { kDecrypted, kWrongPassword, kUnsupported, kDamaged };
  Outcome outcome = Outcome::kDamaged;
  std::string why;  // what is not read, or the damage
};

// Decrypts package (the "EncryptedPackage" stream) in place with password,
// leaving the package's own bytes in it when the outcome is kDecrypted.
PackageDecryption DecryptPackage(std::string_view info, std::string& package, std::u16string_view password);

// Decrypts, in place, the records of a BIFF8 workbook stream that follow its
// FILEPASS record (which starts at filepass_at), as MS-XLS lays them out: in
// blocks of 1024 bytes of the stream, each with its own key; record headers,
// and the records that are never encrypted, stay as they are.  False, with
// the stream unchanged, when the password does not open it or the
// encryption is of a kind not read here (XOR obfuscation, other providers).
bool DecryptWorkbook(std::string& stream, std::size_t filepass_at, std::u16string_view password);

}  // namespace quarn
