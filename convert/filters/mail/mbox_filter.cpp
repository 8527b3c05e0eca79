#include "convert/filters/mail/mbox_filter.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "convert/filters/eml_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

struct GUnref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};

class MboxFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "mbox", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.kind == ContentKind::kEmpty) return ExtractResult::UnknownFormat("the mailbox is empty");
    if (what.kind != ContentKind::kMbox)
      return ExtractResult::UnknownFormat("not a mailbox: it does not start with a \"From \" line");
    InitMailLibrary();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ExtractResult::Failed(std::string("cannot open the mailbox: ") + std::strerror(errno));
    std::unique_ptr<GMimeStream, GUnref> stream(g_mime_stream_fs_new(fd));  // owns fd
    std::unique_ptr<GMimeParser, GUnref> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MBOX);
    // A Content-Length header marks where a body ends even when the body holds
    // "From " lines that no one escaped.
    g_mime_parser_set_respect_content_length(parser.get(), TRUE);
    std::size_t messages = 0;
    while (!sink.full() && !g_mime_parser_eos(parser.get())) {
      std::unique_ptr<GMimeMessage, GUnref> message(g_mime_parser_construct_message(parser.get(), nullptr));
      if (!message) break;
      if (messages++ > 0) {
        sink.EndLine();
        sink.Line("\n----------------------------------------");
        sink.EndChunk();
      }
      WriteMailMessage(message.get(), sink);
    }
    if (messages == 0) return ExtractResult::Failed("no message could be read from the mailbox");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (!g_mime_parser_eos(parser.get()))
      return ExtractResult::Incomplete("the mailbox is damaged after message " + std::to_string(messages));
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateMboxFilter() { return std::make_unique<MboxFilter>(); }

}  // namespace quarn
