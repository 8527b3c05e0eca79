#include "convert/filters/ole/biff_crypt.h"

#include <gcrypt.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
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

// How the key of each block is made from the password.
class KeyMaker {
 public:
  virtual ~KeyMaker() = default;
  virtual std::string Key(std::uint32_t block) const = 0;
  // Whether the verifier and its hash (encrypted with block 0's key, one
  // after the other) agree.
  bool Verifies(std::string_view verifier, std::string_view hash, int algorithm) const {
    std::string both = std::string(verifier) + std::string(hash);
    if (!Rc4(Key(0), both.data(), both.size())) return false;
    const std::string expected = Hash(algorithm, std::string_view(both).substr(0, verifier.size()));
    return both.compare(verifier.size(), hash.size(), expected, 0, hash.size()) == 0 && hash.size() <= expected.size();
  }
};

// "Office 97/2000 compatible" RC4: MD5 of the password, of its first five
// bytes with the salt sixteen times over, then of that with the block number.
class Rc4Keys : public KeyMaker {
 public:
  Rc4Keys(std::u16string_view password, std::string_view salt) {
    std::string utf16;
    for (char16_t c : password) {
      utf16.push_back(static_cast<char>(c & 0xFF));
      utf16.push_back(static_cast<char>(c >> 8));
    }
    const std::string h0 = Hash(GCRY_MD_MD5, utf16).substr(0, 5);
    std::string buffer;
    for (int i = 0; i < 16; ++i) buffer += h0 + std::string(salt);
    h1_ = Hash(GCRY_MD_MD5, buffer).substr(0, 5);
  }
  std::string Key(std::uint32_t block) const override { return Hash(GCRY_MD_MD5, h1_ + LeBlock(block)); }

 private:
  std::string h1_;
};

// RC4 through the CryptoAPI: SHA-1 of the salt and the password, then of
// that with the block number, cut to the key's size (a 40-bit key is
// padded to 128 bits with zeros).
class CryptoApiKeys : public KeyMaker {
 public:
  CryptoApiKeys(std::u16string_view password, std::string_view salt, std::uint32_t key_bits) : bits_(key_bits) {
    std::string input(salt);
    for (char16_t c : password) {
      input.push_back(static_cast<char>(c & 0xFF));
      input.push_back(static_cast<char>(c >> 8));
    }
    h0_ = Hash(GCRY_MD_SHA1, input);
  }
  std::string Key(std::uint32_t block) const override {
    std::string key = Hash(GCRY_MD_SHA1, h0_ + LeBlock(block)).substr(0, bits_ / 8);
    if (bits_ == 40) key.resize(16, '\0');
    return key;
  }

 private:
  std::string h0_;
  std::uint32_t bits_;
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

}  // namespace

bool DecryptWorkbook(std::string& stream, std::size_t filepass_at, std::u16string_view password) {
  if (filepass_at + 4 > stream.size() || Le16(stream, filepass_at) != 0x002F) return false;
  const std::size_t length = Le16(stream, filepass_at + 2);
  if (filepass_at + 4 + length > stream.size() || length < 6) return false;
  const std::string_view body = std::string_view(stream).substr(filepass_at + 4, length);
  if (Le16(stream, filepass_at + 4) != 1) return false;  // XOR obfuscation: not read here
  const std::uint16_t major = Le16(stream, filepass_at + 6), minor = Le16(stream, filepass_at + 8);
  InitCrypto();
  std::unique_ptr<KeyMaker> keys;
  if (major == 1 && minor == 1) {
    if (body.size() < 6 + 48) return false;
    auto rc4 = std::make_unique<Rc4Keys>(password, body.substr(6, 16));
    if (!rc4->Verifies(body.substr(22, 16), body.substr(38, 16), GCRY_MD_MD5)) return false;
    keys = std::move(rc4);
  } else if (major >= 2 && major <= 4 && minor == 2) {
    // Flags, the header's size, the header (its key size at 16), then the
    // verifier: the salt's size and salt, the verifier, the hash's size and hash.
    if (body.size() < 14) return false;
    const std::uint32_t header_size = Le32(body, 10);
    if (header_size < 32 || header_size > body.size() - 14) return false;
    const std::string_view header = body.substr(14, header_size);
    std::uint32_t bits = Le32(header, 16);
    if (bits == 0) bits = 40;
    if (bits < 40 || bits > 128 || bits % 8 != 0) return false;
    std::string_view verifier = body.substr(14 + header_size);
    if (verifier.size() < 4) return false;
    const std::uint32_t salt_size = Le32(verifier, 0);
    if (salt_size != 16 || verifier.size() < 4 + 16 + 16 + 4 + 20) return false;
    const std::uint32_t hash_size = Le32(verifier, 36);
    if (hash_size != 20) return false;
    auto api = std::make_unique<CryptoApiKeys>(password, verifier.substr(4, 16), bits);
    if (!api->Verifies(verifier.substr(20, 16), verifier.substr(40, 20), GCRY_MD_SHA1)) return false;
    keys = std::move(api);
  } else {
    return false;
  }
  // Every record after the FILEPASS record: its header stays, its body is
  // decrypted with the stream's key at its place (a sheet's BOUNDSHEET
  // keeps its first four bytes, where the sheet starts, as they are).
  KeyStream key_stream(*keys);
  for (std::size_t at = filepass_at + 4 + length; at + 4 <= stream.size();) {
    const std::uint16_t type = Le16(stream, at);
    const std::size_t size = std::min<std::size_t>(Le16(stream, at + 2), stream.size() - at - 4);
    std::size_t from = at + 4;
    if (type == 0x0085) from += std::min<std::size_t>(4, size);
    if (!NeverEncrypted(type) && !key_stream.Apply(stream, from, at + 4 + size)) return false;
    at += 4 + size;
  }
  return true;
}

}  // namespace quarn
