#include "convert/filters/mail/mhtml_filter.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "convert/filters/common/text_decode.h"
#include "convert/filters/mail/eml_filter.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

struct GUnref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};

bool IsType(GMimeObject* object, const char* type, const char* subtype) {
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// The part with that Content-ID ("<id>" or "id"), depth first.
GMimeObject* FindById(GMimeObject* object, std::string_view id) {
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multi = GMIME_MULTIPART(object);
    for (int i = 0, n = g_mime_multipart_get_count(multi); i < n; ++i)
      if (GMimeObject* hit = FindById(g_mime_multipart_get_part(multi, i), id)) return hit;
    return nullptr;
  }
  const char* own = g_mime_object_get_content_id(object);
  return own && id == own ? object : nullptr;
}

// The first part of that type, depth first.
GMimeObject* FindFirst(GMimeObject* object, const char* type, const char* subtype) {
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multi = GMIME_MULTIPART(object);
    for (int i = 0, n = g_mime_multipart_get_count(multi); i < n; ++i)
      if (GMimeObject* hit = FindFirst(g_mime_multipart_get_part(multi, i), type, subtype)) return hit;
    return nullptr;
  }
  return GMIME_IS_PART(object) && IsType(object, type, subtype) ? object : nullptr;
}

// The page: the part a multipart/related names as its start, else its first
// HTML part.
GMimeObject* RootPage(GMimeObject* body) {
  if (GMIME_IS_MULTIPART(body) && IsType(body, "multipart", "related")) {
    if (const char* start = g_mime_content_type_get_parameter(g_mime_object_get_content_type(body), "start")) {
      std::string id(start);
      if (id.size() > 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
      if (GMimeObject* hit = FindById(body, id); hit && GMIME_IS_PART(hit)) return hit;
    }
  }
  if (GMimeObject* html = FindFirst(body, "text", "html")) return html;
  return FindFirst(body, "text", "plain");
}

std::string Content(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (!wrapper) return {};
  std::unique_ptr<GMimeStream, GUnref> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(wrapper, mem.get());
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) : std::string();
}

class MhtmlFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    // A page saved as plain HTML under the web-archive name reads as a page.
    if (what.kind != ContentKind::kMail) {
      if (auto r = ExtractRedirected(path, "mhtml", sink)) return *r;
      return ExtractResult::UnknownFormat("not a web archive: no MIME header at the start");
    }
    InitMailLibrary();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ExtractResult::Failed(std::string("cannot open the web archive: ") + std::strerror(errno));
    std::unique_ptr<GMimeStream, GUnref> stream(g_mime_stream_fs_new(fd));
    std::unique_ptr<GMimeParser, GUnref> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    std::unique_ptr<GMimeMessage, GUnref> message(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject* body = message ? g_mime_message_get_mime_part(message.get()) : nullptr;
    GMimeObject* page = body ? RootPage(body) : nullptr;
    if (!page) return ExtractResult::Failed("the web archive holds no page");
    GMimeContentType* type = g_mime_object_get_content_type(page);
    const char* label = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    std::string bytes = Content(GMIME_PART(page));
    const std::string charset = LabelledCharset(bytes, label ? label : "");
    if (IsType(page, "text", "html")) {
      ExtractResult r = ExtractHtmlText(bytes, charset, sink);
      if (r.status == ExtractResult::Status::kFailed) return r;
    } else {
      sink.Append(DecodeCharset(bytes, charset));
    }
    sink.EndLine();
    if (sink.empty()) return ExtractResult::Failed("the page has no text");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateMhtmlFilter() { return std::make_unique<MhtmlFilter>(); }

}  // namespace quarn
