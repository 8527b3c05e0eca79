// Decryption of Excel 97-2003 workbook streams (RC4, RC4 through the
// CryptoAPI, and the XOR obfuscation of Excel 5/95 and of workbooks saved
// that way), for the password Excel itself uses when the person set none:
// workbooks whose structure or sheets are protected, or that are saved
// "read-only recommended", are encrypted with "VelvetSweatshop" and open
// without a question.  Only that password is tried; a workbook a person
// locked stays locked.  Reentrant.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarn {

// The password Excel encrypts with when none was given.
inline constexpr std::u16string_view kExcelDefaultPassword = u"VelvetSweatshop";

// Decrypts, in place, the records of a BIFF8 workbook stream that follow its
// FILEPASS record (which starts at filepass_at), as MS-XLS lays them out: in
// blocks of 1024 bytes of the stream, each with its own key; record headers,
// and the records that are never encrypted, stay as they are.  False, with
// the stream unchanged, when the password does not open it or the
// encryption is of a kind not read here (XOR obfuscation, other providers).
bool DecryptWorkbook(std::string& stream, std::size_t filepass_at, std::u16string_view password);

}  // namespace quarn
