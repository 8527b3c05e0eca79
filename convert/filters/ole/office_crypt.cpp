#include "convert/filters/ole/office_crypt.h"

#include <gcrypt.h>
#include <glib.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quarn {

namespace {

constexpr std::size_t kBlock = 1024;

std::uint16_t Le16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

std::uint32_t Le32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

void InitCrypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

std::string Hash(int algorithm, std::string_view bytes) {
  std::string out(gcry_md_get_algo_dlen(algorithm), '\0');
  gcry_md_hash_buffer(algorithm, out.data(), bytes.data(), bytes.size());
  return out;
}

// The password as its UTF-16LE bytes.
std::string Utf16Le(std::u16string_view password) {
  std::string out;
  for (char16_t c : password) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string LeBlock(std::uint32_t block) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(block >> (8 * i));
  return out;
}

// RC4 applied to bytes in place, from the start of the key's stream.
bool Rc4(std::string_view key, char* bytes, std::size_t n) {
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, GCRY_CIPHER_ARCFOUR, GCRY_CIPHER_MODE_STREAM, 0) != 0) return false;
  const bool ok = gcry_cipher_setkey(h, key.data(), key.size()) == 0 && gcry_cipher_encrypt(h, bytes, n, nullptr, 0) == 0;
  gcry_cipher_close(h);
  return ok;
}

// Whether a verifier and its hash, encrypted one after the other with the
// key of block 0, agree.
bool VerifierMatches(const std::string& key0, std::string_view verifier, std::string_view hash, int algorithm) {
  std::string both = std::string(verifier) + std::string(hash);
  if (!Rc4(key0, both.data(), both.size())) return false;
  const std::string expected = Hash(algorithm, std::string_view(both).substr(0, verifier.size()));
  return hash.size() <= expected.size() && both.compare(verifier.size(), hash.size(), expected, 0, hash.size()) == 0;
}

// How the key of each block is made from the password.
class KeyMaker {
 public:
  virtual ~KeyMaker() = default;
  virtual std::string Key(std::uint32_t block) const = 0;
  bool Verifies(std::string_view verifier, std::string_view hash, int algorithm) const {
    return VerifierMatches(Key(0), verifier, hash, algorithm);
  }
};

// "Office 97/2000 compatible" RC4: MD5 of the password, of its first five
// bytes with the salt sixteen times over, then of that with the block number.
class Rc4Keys : public KeyMaker {
 public:
  Rc4Keys(std::u16string_view password, std::string_view salt) {
    const std::string h0 = Hash(GCRY_MD_MD5, Utf16Le(password)).substr(0, 5);
    std::string buffer;
    for (int i = 0; i < 16; ++i) buffer += h0 + std::string(salt);
    h1_ = Hash(GCRY_MD_MD5, buffer).substr(0, 5);
  }
  std::string Key(std::uint32_t block) const override { return Hash(GCRY_MD_MD5, h1_ + LeBlock(block)); }

 private:
  std::string h1_;
};

// RC4 through the CryptoAPI as a workbook's key maker.
class CryptoApiKeys : public KeyMaker {
 public:
  explicit CryptoApiKeys(std::unique_ptr<CryptoApiRc4> keys) : keys_(std::move(keys)) {}
  std::string Key(std::uint32_t block) const override { return keys_->Key(block); }

 private:
  std::unique_ptr<CryptoApiRc4> keys_;
};

// The key stream of the workbook, block by block.
class KeyStream {
 public:
  explicit KeyStream(const KeyMaker& keys) : keys_(keys) {}
  bool Apply(std::string& stream, std::size_t from, std::size_t to) {
    for (std::size_t p = from; p < to; ++p) {
      const std::size_t block = p / kBlock;
      if (block != block_) {
        bytes_.fill(0);
        if (!Rc4(keys_.Key(static_cast<std::uint32_t>(block)), bytes_.data(), bytes_.size())) return false;
        block_ = block;
      }
      stream[p] = static_cast<char>(stream[p] ^ bytes_[p % kBlock]);
    }
    return true;
  }

 private:
  const KeyMaker& keys_;
  std::size_t block_ = static_cast<std::size_t>(-1);
  std::array<char, kBlock> bytes_{};
};

// The records whose bodies are never encrypted.
bool NeverEncrypted(std::uint16_t type) {
  switch (type) {
    case 0x0809:  // BOF
    case 0x002F:  // FILEPASS
    case 0x0194:  // USREXCL
    case 0x0195:  // FILELOCK
    case 0x00E1:  // INTERFACEHDR
    case 0x0196:  // RRDINFO
    case 0x0138:  // RRDHEAD
      return true;
    default:
      return false;
  }
}

// XOR obfuscation (Excel 5/95 workbooks, and later ones saved that way):
// a 16-byte array made from the password, applied to every byte of a
// record's body from the place in the stream where the body ends, each
// result turned right by five bits.  The password counts as bytes (a character's low byte, or its
// high one when that is zero), fifteen at most.
class XorObfuscation {
 public:
  explicit XorObfuscation(std::u16string_view password) {
    for (char16_t c : password.substr(0, 15)) {
      const auto low = static_cast<std::uint8_t>(c & 0xFF);
      bytes_.push_back(low != 0 ? low : static_cast<std::uint8_t>(c >> 8));
    }
    if (!bytes_.empty()) MakeArray();
  }

  bool Opens(std::uint16_t key, std::uint16_t verifier) const {
    return !bytes_.empty() && key == Key() && verifier == Verifier();
  }

  // Deobfuscates body[from, size) of a record whose body starts at offset
  // body_at of the stream.
  void Apply(char* body, std::size_t body_at, std::size_t from, std::size_t size) const {
    const std::size_t end = body_at + size;
    for (std::size_t j = from; j < size; ++j) {
      const auto v = static_cast<std::uint8_t>(static_cast<std::uint8_t>(body[j]) ^ array_[(end + j) % 16]);
      body[j] = static_cast<char>(static_cast<std::uint8_t>(v >> 5 | v << 3));
    }
  }

 private:
  static std::uint8_t XorRor(std::uint8_t a, std::uint8_t b) {
    const auto v = static_cast<std::uint8_t>(a ^ b);
    return static_cast<std::uint8_t>(v >> 1 | v << 7);
  }

  std::uint16_t Key() const {
    static constexpr std::array<std::uint16_t, 15> kInitialCode = {
        0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E,
        0x1872, 0xE139, 0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
    static constexpr std::array<std::uint16_t, 105> kXorMatrix = {
        0xAEFC, 0x4DD9, 0x9BB2, 0x2745, 0x4E8A, 0x9D14, 0x2A09, 0x7B61, 0xF6C2, 0xFDA5, 0xEB6B, 0xC6F7, 0x9DCF,
        0x2BBF, 0x4563, 0x8AC6, 0x05AD, 0x0B5A, 0x16B4, 0x2D68, 0x5AD0, 0x0375, 0x06EA, 0x0DD4, 0x1BA8, 0x3750,
        0x6EA0, 0xDD40, 0xD849, 0xA0B3, 0x5147, 0xA28E, 0x553D, 0xAA7A, 0x44D5, 0x6F45, 0xDE8A, 0xAD35, 0x4A4B,
        0x9496, 0x390D, 0x721A, 0xEB23, 0xC667, 0x9CEF, 0x29FF, 0x53FE, 0xA7FC, 0x5FD9, 0x47D3, 0x8FA6, 0x0F6D,
        0x1EDA, 0x3DB4, 0x7B68, 0xF6D0, 0xB861, 0x60E3, 0xC1C6, 0x93AD, 0x377B, 0x6EF6, 0xDDEC, 0x45A0, 0x8B40,
        0x06A1, 0x0D42, 0x1A84, 0x3508, 0x6A10, 0xAA51, 0x4483, 0x8906, 0x022D, 0x045A, 0x08B4, 0x1168, 0x76B4,
        0xED68, 0xCAF1, 0x85C3, 0x1BA7, 0x374E, 0x6E9C, 0x3730, 0x6E60, 0xDCC0, 0xA9A1, 0x4363, 0x86C6, 0x1DAD,
        0x3331, 0x6662, 0xCCC4, 0x89A9, 0x0373, 0x06E6, 0x0DCC, 0x1021, 0x2042, 0x4084, 0x8108, 0x1231, 0x2462,
        0x48C4};
    std::uint16_t key = kInitialCode[bytes_.size() - 1];
    std::size_t element = kXorMatrix.size() - 1;
    for (auto it = bytes_.rbegin(); it != bytes_.rend(); ++it) {
      std::uint8_t c = *it;
      for (int bit = 0; bit < 7; ++bit, --element) {
        if (c & 0x40) key ^= kXorMatrix[element];
        c = static_cast<std::uint8_t>(c << 1);
      }
    }
    return key;
  }

  std::uint16_t Verifier() const {
    std::uint16_t v = 0;
    auto step = [&v](std::uint8_t b) { v = static_cast<std::uint16_t>(((v >> 14) & 1) | ((v << 1) & 0x7FFF)) ^ b; };
    for (auto it = bytes_.rbegin(); it != bytes_.rend(); ++it) step(*it);
    step(static_cast<std::uint8_t>(bytes_.size()));
    return v ^ 0xCE4B;
  }

  void MakeArray() {
    static constexpr std::array<std::uint8_t, 15> kPad = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80,
                                                          0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};
    const std::uint16_t key = Key();
    const auto high = static_cast<std::uint8_t>(key >> 8), low = static_cast<std::uint8_t>(key & 0xFF);
    // The password's bytes from the front (an odd count starts with the
    // first pad byte after them), the pad bytes from the back; an even
    // count of pad places ends with the first pad byte too.
    int i = static_cast<int>(bytes_.size());
    if (i % 2 == 1) {
      array_[i] = XorRor(kPad[0], high);
      --i;
      array_[i] = XorRor(bytes_.back(), low);
    }
    while (i > 0) {
      --i;
      array_[i] = XorRor(bytes_[i], high);
      --i;
      array_[i] = XorRor(bytes_[i], low);
    }
    for (int at = 15, pad = 15 - static_cast<int>(bytes_.size()); pad > 0; at -= 2, pad -= 2) {
      array_[at] = XorRor(kPad[pad], high);
      array_[at - 1] = XorRor(kPad[pad - 1], low);
    }
  }

  std::vector<std::uint8_t> bytes_;
  std::array<std::uint8_t, 16> array_{};
};

// Calls decrypt(body, from, size) for every record after the FILEPASS record
// that ends at first: from is where its encrypted part starts (a sheet's
// BOUNDSHEET keeps its first four bytes, where the sheet starts, as they
// are); the records that are never encrypted are passed over.
template <typename Decrypt>
bool ForEachEncryptedRecord(std::string& stream, std::size_t first, Decrypt decrypt) {
  for (std::size_t at = first; at + 4 <= stream.size();) {
    const std::uint16_t type = Le16(stream, at);
    const std::size_t size = std::min<std::size_t>(Le16(stream, at + 2), stream.size() - at - 4);
    const std::size_t from = type == 0x0085 ? std::min<std::size_t>(4, size) : 0;
    if (!NeverEncrypted(type) && !decrypt(stream.data() + at + 4, from, size)) return false;
    at += 4 + size;
  }
  return true;
}


// Iterated hashing of the password: H0 = H(salt + password), then
// H(i + H(i-1)) for each of spins rounds (i as 32 bits, little-endian).
std::string SpunHash(int algorithm, std::string_view salt, std::u16string_view password, std::uint32_t spins) {
  std::string h = Hash(algorithm, std::string(salt) + Utf16Le(password));
  std::string round(4 + h.size(), '\0');
  for (std::uint32_t i = 0; i < spins; ++i) {
    round.replace(0, 4, LeBlock(i));
    round.replace(4, h.size(), h);
    gcry_md_hash_buffer(algorithm, h.data(), round.data(), round.size());
  }
  return h;
}

// AES over bytes in place (a whole number of blocks), in ECB mode or in CBC
// mode from iv; false when the key or the mode is refused.
bool AesDecrypt(std::string_view key, std::string_view iv, char* bytes, std::size_t n) {
  const int algorithm = key.size() == 16 ? GCRY_CIPHER_AES128 : key.size() == 24 ? GCRY_CIPHER_AES192
                        : key.size() == 32 ? GCRY_CIPHER_AES256 : 0;
  if (algorithm == 0 || n % 16 != 0) return false;
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, algorithm, iv.empty() ? GCRY_CIPHER_MODE_ECB : GCRY_CIPHER_MODE_CBC, 0) != 0) return false;
  bool ok = gcry_cipher_setkey(h, key.data(), key.size()) == 0;
  if (ok && !iv.empty()) ok = gcry_cipher_setiv(h, iv.data(), iv.size()) == 0;
  ok = ok && gcry_cipher_decrypt(h, bytes, n, nullptr, 0) == 0;
  gcry_cipher_close(h);
  return ok;
}

// Spins beyond what the format allows are a hostile file's, not Office's.
constexpr std::uint32_t kMaxSpins = 10'000'000;
constexpr std::size_t kSegment = 4096;

using Outcome = PackageDecryption::Outcome;

PackageDecryption Result(Outcome outcome, std::string why = {}) { return {outcome, std::move(why)}; }

// The package's size first, then its encrypted bytes: the bytes to decrypt
// (a whole number of blocks) and the size to keep.
bool PackageParts(const std::string& package, std::size_t* size) {
  if (package.size() < 8) return false;
  const std::uint64_t declared = Le32(package, 0) | static_cast<std::uint64_t>(Le32(package, 4)) << 32;
  *size = static_cast<std::size_t>(std::min<std::uint64_t>(declared, package.size() - 8));
  return true;
}

// Standard encryption: AES in ECB mode with a key made from SHA-1 of the
// password, spun 50,000 times, and block 0.
PackageDecryption DecryptStandard(std::string_view info, std::string& package, std::u16string_view password) {
  // Version, flags, the header's size, the header (its algorithm at 8, its
  // key size at 16), then the verifier.
  const std::uint32_t header_size = Le32(info, 8);
  if (header_size < 32 || header_size > info.size() - 12)
    return Result(Outcome::kDamaged, "its encryption header is damaged");
  const std::string_view header = info.substr(12, header_size);
  const std::uint32_t algorithm = Le32(header, 8), bits = Le32(header, 16);
  if (algorithm != 0x660E && algorithm != 0x660F && algorithm != 0x6610)
    return Result(Outcome::kUnsupported, "it is encrypted with an algorithm other than AES");
  if (bits != 128 && bits != 192 && bits != 256) return Result(Outcome::kDamaged, "its key size is damaged");
  const std::string_view verifier = info.substr(12 + header_size);
  if (verifier.size() < 4 + 16 + 16 + 4 + 32 || Le32(verifier, 0) != 16)
    return Result(Outcome::kDamaged, "its password verifier is damaged");
  std::string h = SpunHash(GCRY_MD_SHA1, verifier.substr(4, 16), password, 50000);
  h = Hash(GCRY_MD_SHA1, h + LeBlock(0));
  std::string x1(64, '\x36'), x2(64, '\x5C');
  for (std::size_t i = 0; i < h.size(); ++i) {
    x1[i] = static_cast<char>(x1[i] ^ h[i]);
    x2[i] = static_cast<char>(x2[i] ^ h[i]);
  }
  const std::string key = (Hash(GCRY_MD_SHA1, x1) + Hash(GCRY_MD_SHA1, x2)).substr(0, bits / 8);
  std::string check(verifier.substr(20, 16));
  std::string check_hash(verifier.substr(40, 32));
  if (!AesDecrypt(key, {}, check.data(), check.size()) || !AesDecrypt(key, {}, check_hash.data(), check_hash.size()))
    return Result(Outcome::kDamaged, "its password verifier is damaged");
  if (Hash(GCRY_MD_SHA1, check) != check_hash.substr(0, 20)) return Result(Outcome::kWrongPassword);
  std::size_t size = 0;
  if (!PackageParts(package, &size)) return Result(Outcome::kDamaged, "the encrypted package is cut short");
  const std::size_t whole = (package.size() - 8) / 16 * 16;
  if (!AesDecrypt(key, {}, package.data() + 8, whole))
    return Result(Outcome::kDamaged, "the package cannot be decrypted");
  package.erase(0, 8);
  package.resize(std::min(size, whole));
  return Result(Outcome::kDecrypted);
}

// An attribute of an element of the agile description, base64 decoded
// when asked.
std::optional<std::string> Attribute(xmlNode* node, const char* name, bool base64) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!value) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  if (!base64) return text;
  gsize n = 0;
  guchar* bytes = g_base64_decode(text.c_str(), &n);
  std::string out(reinterpret_cast<const char*>(bytes), n);
  g_free(bytes);
  return out;
}

xmlNode* Child(xmlNode* parent, const char* name) {
  for (xmlNode* n = parent ? parent->children : nullptr; n; n = n->next)
    if (n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, reinterpret_cast<const xmlChar*>(name)) == 0) return n;
  return nullptr;
}

int HashByName(const std::string& name) {
  if (name == "SHA1" || name == "SHA-1") return GCRY_MD_SHA1;
  if (name == "SHA256") return GCRY_MD_SHA256;
  if (name == "SHA384") return GCRY_MD_SHA384;
  if (name == "SHA512") return GCRY_MD_SHA512;
  return 0;
}

// bytes cut or padded with 0x36 to size.
std::string Fitted(std::string bytes, std::size_t size) {
  bytes.resize(size, '\x36');
  return bytes;
}

// Agile encryption: the description is XML; the password's spun hash,
// with a block key each, opens the verifier and the package's own key;
// the package is decrypted by segments of 4096 bytes, each in CBC mode from
// a vector of its own.
PackageDecryption DecryptAgile(std::string_view xml, std::string& package, std::u16string_view password) {
  struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
  };
  const std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) return Result(Outcome::kDamaged, "its encryption description is damaged");
  xmlNode* root = xmlDocGetRootElement(doc.get());
  xmlNode* key_data = Child(root, "keyData");
  xmlNode* key_encryptors = Child(root, "keyEncryptors");
  xmlNode* password_key = nullptr;
  for (xmlNode* e = key_encryptors ? key_encryptors->children : nullptr; e && !password_key; e = e->next)
    if (e->type == XML_ELEMENT_NODE) password_key = Child(e, "encryptedKey");
  if (!key_data || !password_key) return Result(Outcome::kUnsupported, "it is not encrypted with a password");
  for (xmlNode* n : {key_data, password_key}) {
    if (Attribute(n, "cipherAlgorithm", false).value_or("") != "AES" ||
        Attribute(n, "cipherChaining", false).value_or("") != "ChainingModeCBC")
      return Result(Outcome::kUnsupported, "it is encrypted with a cipher other than AES");
  }
  const int data_hash = HashByName(Attribute(key_data, "hashAlgorithm", false).value_or(""));
  const int key_hash = HashByName(Attribute(password_key, "hashAlgorithm", false).value_or(""));
  if (data_hash == 0 || key_hash == 0) return Result(Outcome::kUnsupported, "it names a hash that is not read here");
  const std::string spins_text = Attribute(password_key, "spinCount", false).value_or("");
  const std::string bits_text = Attribute(password_key, "keyBits", false).value_or("");
  const std::string data_bits_text = Attribute(key_data, "keyBits", false).value_or("");
  const std::string block_text = Attribute(key_data, "blockSize", false).value_or("");
  auto number = [](const std::string& t) -> std::uint64_t {
    if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoull(t);
  };
  const std::uint64_t spins = number(spins_text), bits = number(bits_text), data_bits = number(data_bits_text),
                      block = number(block_text);
  if (spins > kMaxSpins || (bits != 128 && bits != 192 && bits != 256) ||
      (data_bits != 128 && data_bits != 192 && data_bits != 256) || block != 16)
    return Result(Outcome::kDamaged, "its encryption description is damaged");
  const std::string key_salt = Attribute(password_key, "saltValue", true).value_or("");
  const std::string data_salt = Attribute(key_data, "saltValue", true).value_or("");
  std::string verifier_input = Attribute(password_key, "encryptedVerifierHashInput", true).value_or("");
  std::string verifier_hash = Attribute(password_key, "encryptedVerifierHashValue", true).value_or("");
  std::string package_key = Attribute(password_key, "encryptedKeyValue", true).value_or("");
  if (key_salt.size() != 16 || data_salt.size() != 16 || verifier_input.empty() || verifier_input.size() % 16 != 0 ||
      verifier_hash.empty() || verifier_hash.size() % 16 != 0 || package_key.size() < data_bits / 8 ||
      package_key.size() % 16 != 0)
    return Result(Outcome::kDamaged, "its encryption description is damaged");
  const std::string spun = SpunHash(key_hash, key_salt, password, static_cast<std::uint32_t>(spins));
  auto key_for = [&](std::string_view block_key) {
    return Fitted(Hash(key_hash, spun + std::string(block_key)), bits / 8);
  };
  const std::string input_key = key_for("\xFE\xA7\xD2\x76\x3B\x4B\x9E\x79");
  const std::string hash_key = key_for("\xD7\xAA\x0F\x6D\x30\x61\x34\x4E");
  const std::string value_key = key_for("\x14\x6E\x0B\xE7\xAB\xAC\xD0\xD6");
  if (!AesDecrypt(input_key, key_salt, verifier_input.data(), verifier_input.size()) ||
      !AesDecrypt(hash_key, key_salt, verifier_hash.data(), verifier_hash.size()) ||
      !AesDecrypt(value_key, key_salt, package_key.data(), package_key.size()))
    return Result(Outcome::kDamaged, "its password verifier is damaged");
  const std::string expected = Hash(key_hash, verifier_input.substr(0, key_salt.size()));
  if (verifier_hash.size() < expected.size() || verifier_hash.compare(0, expected.size(), expected) != 0)
    return Result(Outcome::kWrongPassword);
  package_key.resize(data_bits / 8);
  std::size_t size = 0;
  if (!PackageParts(package, &size)) return Result(Outcome::kDamaged, "the encrypted package is cut short");
  package.erase(0, 8);
  package.resize((package.size() + 15) / 16 * 16, '\0');
  for (std::size_t at = 0, segment = 0; at < package.size(); at += kSegment, ++segment) {
    const std::size_t n = std::min(kSegment, package.size() - at);
    const std::string iv = Fitted(Hash(data_hash, data_salt + LeBlock(static_cast<std::uint32_t>(segment))), 16);
    if (!AesDecrypt(package_key, iv, package.data() + at, n))
      return Result(Outcome::kDamaged, "the package cannot be decrypted");
  }
  package.resize(size);
  return Result(Outcome::kDecrypted);
}

}  // namespace

PackageDecryption DecryptPackage(std::string_view info, std::string& package, std::u16string_view password) {
  if (info.size() < 8) return Result(Outcome::kDamaged, "its encryption description is damaged");
  const std::uint32_t version = Le32(info, 0);
  const std::uint32_t major = version & 0xFFFF, minor = version >> 16;
  InitCrypto();
  if (major == 4 && minor == 4) return DecryptAgile(info.substr(8), package, password);
  if ((major == 3 || major == 4) && minor == 2) {
    if (info.size() < 12 + 32) return Result(Outcome::kDamaged, "its encryption header is damaged");
    return DecryptStandard(info, package, password);
  }
  return Result(Outcome::kUnsupported, "its kind of encryption is not read");
}

// SHA-1 of the salt and the password, then of that with the block number.
std::unique_ptr<CryptoApiRc4> CryptoApiRc4::Open(std::string_view info, std::u16string_view password) {
  // Version, flags, the header's size, the header (its key size at 16), then
  // the verifier: the salt's size and salt, the verifier, the hash's size and hash.
  if (info.size() < 12) return nullptr;
  const std::uint32_t version = Le32(info, 0);
  const std::uint32_t major = version & 0xFFFF, minor = version >> 16;
  if (major < 2 || major > 4 || minor != 2) return nullptr;
  const std::uint32_t header_size = Le32(info, 8);
  if (header_size < 32 || header_size > info.size() - 12) return nullptr;
  const std::string_view header = info.substr(12, header_size);
  std::uint32_t bits = Le32(header, 16);
  if (bits == 0) bits = 40;
  if (bits < 40 || bits > 128 || bits % 8 != 0) return nullptr;
  const std::string_view verifier = info.substr(12 + header_size);
  if (verifier.size() < 4 + 16 + 16 + 4 + 20 || Le32(verifier, 0) != 16 || Le32(verifier, 36) != 20) return nullptr;
  InitCrypto();
  const std::string input = std::string(verifier.substr(4, 16)) + Utf16Le(password);
  std::unique_ptr<CryptoApiRc4> keys(new CryptoApiRc4(Hash(GCRY_MD_SHA1, input), bits));
  if (!VerifierMatches(keys->Key(0), verifier.substr(20, 16), verifier.substr(40, 20), GCRY_MD_SHA1)) return nullptr;
  return keys;
}

std::string CryptoApiRc4::Key(std::uint32_t block) const {
  std::string key = Hash(GCRY_MD_SHA1, h0_ + LeBlock(block)).substr(0, bits_ / 8);
  if (bits_ == 40) key.resize(16, '\0');
  return key;
}

bool CryptoApiRc4::Apply(std::uint32_t block, char* bytes, std::size_t n) const {
  InitCrypto();
  return Rc4(Key(block), bytes, n);
}

bool DecryptWorkbook(std::string& stream, std::size_t filepass_at, std::u16string_view password) {
  if (filepass_at + 4 > stream.size() || Le16(stream, filepass_at) != 0x002F) return false;
  const std::size_t length = Le16(stream, filepass_at + 2);
  if (filepass_at + 4 + length > stream.size() || length < 4) return false;
  const std::string_view body = std::string_view(stream).substr(filepass_at + 4, length);
  const std::size_t first = filepass_at + 4 + length;
  // XOR obfuscation: the key and the verifier alone (Excel 5/95), or after
  // the encryption's type 0.
  if (length == 4 || Le16(stream, filepass_at + 4) == 0) {
    const std::size_t at = length == 4 ? 0 : 2;
    if (at + 4 > body.size()) return false;
    const XorObfuscation xor_array(password);
    if (!xor_array.Opens(Le16(stream, filepass_at + 4 + at), Le16(stream, filepass_at + 6 + at))) return false;
    return ForEachEncryptedRecord(stream, first, [&](char* data, std::size_t from, std::size_t size) {
      xor_array.Apply(data, static_cast<std::size_t>(data - stream.data()), from, size);
      return true;
    });
  }
  if (length < 6 || Le16(stream, filepass_at + 4) != 1) return false;
  const std::uint16_t major = Le16(stream, filepass_at + 6), minor = Le16(stream, filepass_at + 8);
  InitCrypto();
  std::unique_ptr<KeyMaker> keys;
  if (major == 1 && minor == 1) {
    if (body.size() < 6 + 48) return false;
    auto rc4 = std::make_unique<Rc4Keys>(password, body.substr(6, 16));
    if (!rc4->Verifies(body.substr(22, 16), body.substr(38, 16), GCRY_MD_MD5)) return false;
    keys = std::move(rc4);
  } else if (major >= 2 && major <= 4 && minor == 2) {
    std::unique_ptr<CryptoApiRc4> api = CryptoApiRc4::Open(body.substr(2), password);
    if (!api) return false;
    keys = std::make_unique<CryptoApiKeys>(std::move(api));
  } else {
    return false;
  }
  // Every record's body is decrypted with the stream's key at its place.
  KeyStream key_stream(*keys);
  return ForEachEncryptedRecord(stream, first, [&](char* data, std::size_t from, std::size_t size) {
    const std::size_t start = static_cast<std::size_t>(data - stream.data());
    return key_stream.Apply(stream, start + from, start + size);
  });
}

}  // namespace quarn
