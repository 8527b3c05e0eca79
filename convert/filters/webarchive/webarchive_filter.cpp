#include "convert/filters/webarchive/webarchive_filter.h"

#include <plist/plist.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "convert/filters/markup/html_filter.h"
#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// An archive may be this large (a page with its pictures); real ones stay
// far below.
constexpr std::uint64_t kMaxArchiveBytes = std::uint64_t{512} << 20;
// Frames inside frames are read this deep.
constexpr int kMaxFrameDepth = 5;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

std::string_view StringItem(plist_t dict, const char* key) {
  plist_t item = plist_dict_get_item(dict, key);
  if (!item || plist_get_node_type(item) != PLIST_STRING) return {};
  std::uint64_t length = 0;
  const char* s = plist_get_string_ptr(item, &length);
  return s ? std::string_view(s, length) : std::string_view();
}

std::string_view DataItem(plist_t dict, const char* key) {
  plist_t item = plist_dict_get_item(dict, key);
  if (!item || plist_get_node_type(item) != PLIST_DATA) return {};
  std::uint64_t length = 0;
  const char* s = plist_get_data_ptr(item, &length);
  return s ? std::string_view(s, length) : std::string_view();
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

class ArchiveReader {
 public:
  explicit ArchiveReader(TextSink& sink) : sink_(sink) {}

  // Reads the archive in dict and the archives of its frames.
  void Read(plist_t dict, int depth) {
    if (sink_.full()) return;
    if (plist_t main = plist_dict_get_item(dict, "WebMainResource"); main && plist_get_node_type(main) == PLIST_DICT)
      ReadResource(main, depth);
    plist_t frames = plist_dict_get_item(dict, "WebSubframeArchives");
    if (!frames || plist_get_node_type(frames) != PLIST_ARRAY) return;
    if (depth + 1 > kMaxFrameDepth) {
      Note("frames nested more than " + std::to_string(kMaxFrameDepth) + " deep were not read");
      return;
    }
    for (std::uint32_t i = 0; i < plist_array_get_size(frames) && !sink_.full(); ++i)
      if (plist_t frame = plist_array_get_item(frames, i); frame && plist_get_node_type(frame) == PLIST_DICT)
        Read(frame, depth + 1);
  }

  bool read_any() const { return resources_ > 0; }
  const std::string& problem() const { return problem_; }

 private:
  void ReadResource(plist_t resource, int depth) {
    const std::string_view bytes = DataItem(resource, "WebResourceData");
    std::string mime(StringItem(resource, "WebResourceMIMEType"));
    for (char& c : mime) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (bytes.empty()) return;
    ++resources_;
    if (mime.empty() || StartsWith(mime, "text/html") || StartsWith(mime, "application/xhtml")) {
      // A frame's title is not shown, as a browser shows only the page's.
      const ExtractResult r = ExtractHtmlText(bytes, StringItem(resource, "WebResourceTextEncodingName"), sink_,
                                              depth == 0 ? HtmlTitle::kShown : HtmlTitle::kDropped);
      if (!r.ok() && r.status != ExtractResult::Status::kFailed) Note(r.reason);
    } else {
      // What Safari showed as it is: a text file, a PDF, a picture (read by
      // OCR as a picture file is; a frame's pictures are not, as in mail).
      std::string name = "page";
      if (mime == "application/pdf") name += ".pdf";
      else if (StartsWith(mime, "text/plain")) name += ".txt";
      else if (depth == 0 && mime == "image/png") name += ".png";
      else if (depth == 0 && (mime == "image/jpeg" || mime == "image/jpg")) name += ".jpg";
      else if (depth == 0 && mime == "image/gif") name += ".gif";
      else if (depth == 0 && mime == "image/tiff") name += ".tif";
      else if (depth == 0 && mime == "image/webp") name += ".webp";
      else if (StartsWith(mime, "image/")) return;
      else name += ".bin";
      TextSink member = MemberSink(sink_);
      const ExtractResult r = ExtractMemberBytes(folder_, name, bytes, member);
      AppendMemberText(member, sink_);
      if (!r.ok() && r.status != ExtractResult::Status::kFailed) Note(r.reason);
    }
    sink_.EndLine();
    sink_.EndChunk();
  }

  void Note(const std::string& why) {
    if (problem_.empty()) problem_ = why;
  }

  TextSink& sink_;
  PrivateFolder folder_;
  int resources_ = 0;
  std::string problem_;
};

class WebArchiveFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ExtractResult::Failed("cannot open the web archive");
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxArchiveBytes)
      return ExtractResult::Failed("the web archive is larger than 512 MiB");
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ExtractResult::Failed("cannot read the web archive");

    const bool binary = StartsWith(bytes, "bplist00");
    const bool xml = bytes.find("<plist") < 512;
    if (!binary && !xml) {
      if (auto redirected = ExtractRedirected(path, "webarchive", sink)) return *redirected;
      return ExtractResult::UnknownFormat("the file is not a property list");
    }
    plist_t parsed = nullptr;
    if (binary)
      plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    else
      plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    std::unique_ptr<void, PlistFree> root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT) return ExtractResult::Failed("the web archive is damaged");
    if (!plist_dict_get_item(parsed, "WebMainResource"))
      return ExtractResult::UnknownFormat("a property list that holds no web page");

    ArchiveReader reader(sink);
    reader.Read(parsed, 0);
    if (!reader.read_any()) return ExtractResult::Failed("the web archive holds no page");
    if (sink.empty())
      return ExtractResult::Failed(reader.problem().empty() ? "the archived page has no text" : reader.problem());
    if (!reader.problem().empty())
      return sink.empty() ? ExtractResult::Failed(reader.problem()) : ExtractResult::Incomplete(reader.problem());
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateWebArchiveFilter() { return std::make_unique<WebArchiveFilter>(); }

}  // namespace quarn
