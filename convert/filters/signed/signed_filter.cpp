#include "convert/filters/signed/signed_filter.h"

// pem.h first: cms.h declares its PEM readers through pem.h's macros.
#include <openssl/pem.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// A signature larger than this is not read (the document it holds counts
// against the same bound as an archive's member).
constexpr std::uint64_t kMaxSignedBytes = std::uint64_t{512} << 20;

struct CmsFree {
  void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct EncodeFree {
  void operator()(EVP_ENCODE_CTX* c) const { EVP_ENCODE_CTX_free(c); }
};
using Cms = std::unique_ptr<CMS_ContentInfo, CmsFree>;

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Whether the bytes are base64 text (as some systems pass signed files on):
// letters, digits, "+", "/", "=" and line breaks only.
bool IsBase64Text(std::string_view s) {
  std::size_t letters = 0;
  for (char c : s) {
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/' || c == '=';
    if (base64) ++letters;
    else if (c != '\r' && c != '\n' && c != ' ' && c != '\t') return false;
  }
  return letters >= 16;
}

std::string DecodeBase64(std::string_view s) {
  std::unique_ptr<EVP_ENCODE_CTX, EncodeFree> ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return {};
  EVP_DecodeInit(ctx.get());
  std::string out(s.size() / 4 * 3 + 3, '\0');
  auto* to = reinterpret_cast<unsigned char*>(out.data());
  int n = 0, total = 0;
  if (EVP_DecodeUpdate(ctx.get(), to, &n, reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size())) <
      0)
    return {};
  total = n;
  if (EVP_DecodeFinal(ctx.get(), to + total, &n) < 0) return {};
  out.resize(static_cast<std::size_t>(total + n));
  return out;
}

// The signature in its three written forms: DER, PEM, or DER in bare base64.
Cms Parse(std::string_view bytes) {
  std::string decoded;
  if (!bytes.empty() && bytes.front() != '\x30' && !StartsWith(bytes, "-----BEGIN") && IsBase64Text(bytes)) {
    decoded = DecodeBase64(bytes);
    bytes = decoded;
  }
  std::unique_ptr<BIO, BioFree> in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!in) return nullptr;
  Cms cms(StartsWith(bytes, "-----BEGIN") ? PEM_read_bio_CMS(in.get(), nullptr, nullptr, nullptr)
                                          : d2i_CMS_bio(in.get(), nullptr));
  // The parser's reasons stay in OpenSSL's queue of this thread otherwise.
  ERR_clear_error();
  return cms;
}

// The name the document inside had: the signed file's without ".p7m"; a
// message signed as a whole (its MIME entity) reads as a message.
std::string InnerName(const std::string& path, std::string_view content) {
  std::string name = MemberBaseName(path);
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (tail == ".p7m") name.resize(name.size() - 4);
  }
  if (name.find('.') == std::string::npos && SniffHead(content.substr(0, 4096)).kind == ContentKind::kMail)
    name += ".eml";
  return name;
}

class SignedFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ExtractResult::Failed("cannot open the signed file");
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxSignedBytes)
      return ExtractResult::Failed("the signed file is larger than 512 MiB");
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ExtractResult::Failed("cannot read the signed file");

    Cms cms = Parse(bytes);
    if (!cms) {
      if (auto redirected = ExtractRedirected(path, "signed", sink)) return *redirected;
      return ExtractResult::UnknownFormat("the signed file is damaged, or no signature");
    }
    switch (OBJ_obj2nid(CMS_get0_type(cms.get()))) {
      case NID_pkcs7_signed: break;
      case NID_pkcs7_enveloped:
      case NID_id_smime_ct_authEnvelopedData:
        return ExtractResult::Failed("the document is encrypted for the people it was sent to, and only their key reads it");
      default: return ExtractResult::UnknownFormat("a signature file of another kind, which holds no document");
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (!content || !*content || ASN1_STRING_length(*content) <= 0)
      return ExtractResult::Failed("a detached signature: the document it signs is a file of its own");
    const std::string_view document(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                                    static_cast<std::size_t>(ASN1_STRING_length(*content)));

    TextSink member = MemberSink(sink);
    PrivateFolder folder;
    ExtractResult result = ExtractMemberBytes(folder, InnerName(path, document), document, member);
    AppendMemberText(member, sink);
    if (member.pages() >= 0) sink.set_pages(member.pages());
    return result;
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateSignedFilter() { return std::make_unique<SignedFilter>(); }

}  // namespace quarn
