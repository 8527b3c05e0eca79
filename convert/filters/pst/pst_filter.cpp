#include "convert/filters/pst/pst_filter.h"

#include <libpst/libpst.h>

#include <cstdlib>
#include <string>

#include "convert/conversion_options.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/common/item_lines.h"
#include "convert/filters/common/mail_date.h"
#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

constexpr int kMaxFolderDepth = 64;

struct ItemFree {
  void operator()(pst_item* item) const { pst_freeItem(item); }
};
using Item = std::unique_ptr<pst_item, ItemFree>;

std::string DateText(const FILETIME* t) {
  if (!t) return {};
  return FileTimeAsMailDate(static_cast<uint64_t>(t->dwHighDateTime) << 32 | t->dwLowDateTime);
}

class PstReader {
 public:
  PstReader(pst_file* pf, TextSink& sink) : pf_(pf), sink_(sink) {}

  void Folder(pst_desc_tree* first, int depth) {
    if (depth > kMaxFolderDepth) return;
    for (pst_desc_tree* d = first; d && !sink_.full() && !stopped_; d = d->next) {
      if (++sink_.budget().members > limits_.max_members) {
        stopped_ = true;
        return;
      }
      Item item(pst_parse_item(pf_, d, nullptr));
      if (!item) {
        ++failures_;
        continue;
      }
      if (item->folder && d->child) {
        std::string name = Str(item.get(), item->file_as);
        sink_.EndLine();
        if (!sink_.empty()) sink_.Append("\n");
        sink_.Line("Folder: " + (name.empty() ? std::string("(unnamed)") : OneLine(name)));
        sink_.EndChunk();
        Folder(d->child, depth + 1);
      } else if (item->email) {
        Message(item.get());
      } else {
        Other(item.get());
      }
      // A data file of many items is long work, not a hang.
      NoteProgress();
    }
  }

  std::size_t failures() const { return failures_; }
  bool stopped() const { return stopped_; }

 private:
  // A string of the item in UTF-8.
  std::string Str(pst_item* item, pst_string& s) {
    if (!s.str) return {};
    pst_convert_utf8(item, &s);
    return s.str ? std::string(s.str) : std::string();
  }

  void Header(std::string_view name, const std::string& value) { FieldLine(sink_, name, value); }
  void Separate() { ItemBreak(sink_); }

  void Message(pst_item* item) {
    Separate();
    pst_item_email* e = item->email;
    std::string name = Str(item, e->outlook_sender_name), address = Str(item, e->sender_address);
    std::string from = name.empty() ? address : address.empty() || address == name ? name : name + " <" + address + ">";
    Header("From", from);
    Header("To", Str(item, e->sentto_address));
    Header("Cc", Str(item, e->cc_address));
    Header("Date", DateText(e->sent_date ? e->sent_date : e->arrival_date));
    Header("Subject", Str(item, item->subject));
    sink_.EndChunk();
    Body(item);
    Attachments(item);
  }

  void Other(pst_item* item) {
    std::string title = Str(item, item->subject);
    if (title.empty()) title = Str(item, item->file_as);
    std::string body = Str(item, item->body);
    if (title.empty() && body.empty()) return;
    Separate();
    const char* kind = item->contact ? "Contact" : item->appointment ? "Appointment" : item->journal ? "Journal" : "Item";
    Header(kind, title.empty() ? "(no title)" : title);
    if (item->appointment) {
      Header("Where", Str(item, item->appointment->location));
      Header("When", DateText(item->appointment->start));
    }
    if (item->contact) {
      pst_item_contact* c = item->contact;
      Header("Organization", Str(item, c->company_name));
      Header("Email", Str(item, c->address1));
      Header("Phone", Str(item, c->business_phone));
      Header("Mobile", Str(item, c->mobile_phone));
      Header("Address", Str(item, c->business_address));
    }
    sink_.EndChunk();
    Body(item);
  }

  void Body(pst_item* item) {
    std::string body = Str(item, item->body);
    if (body.find_first_not_of(" \r\n\t") != std::string::npos) {
      std::string text;
      for (char c : body)
        if (c != '\r') text.push_back(c);
      sink_.Append(text);
    } else if (item->email) {
      std::string html = Str(item, item->email->htmlbody);
      if (!html.empty()) ExtractHtmlText(html, "UTF-8", sink_);
    }
    sink_.EndLine();
    sink_.EndChunk();
  }

  void Attachments(pst_item* item) {
    for (pst_item_attach* a = item->attach; a && !sink_.full(); a = a->next) {
      std::string name = Str(item, a->filename2);
      if (name.empty()) name = Str(item, a->filename1);
      name = OneLine(name);
      pst_binary data = a->data;
      bool owned = false;
      if (!data.data) {
        data = pst_attach_to_mem(pf_, a);
        owned = true;
      }
      if (name.empty() && !data.data) continue;
      sink_.Line("Attachment: " + (name.empty() ? std::string("(unnamed)") : name));
      if (data.data && data.size > 0 && data.size <= limits_.max_member_bytes &&
          !IsPictureAttachment(std::string_view(data.data, data.size))) {
        TextSink member = MemberSink(sink_);
        ExtractResult r = ExtractMemberBytes(folder_, name.empty() ? "attachment" : name,
                                             std::string_view(data.data, data.size), member, limits_);
        AppendMemberLines(member, sink_);
        if (r.status == ExtractResult::Status::kPassword) sink_.Line("(password-protected)");
      }
      if (owned) std::free(data.data);
      sink_.EndChunk();
    }
  }

  pst_file* pf_;
  TextSink& sink_;
  PrivateFolder folder_;
  ContainerLimits limits_;
  std::size_t failures_ = 0;
  bool stopped_ = false;
};

class PstFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    if (what.kind != ContentKind::kOutlookData) {
      if (auto r = ExtractRedirected(path, "pst", sink)) return *r;
      return ExtractResult::UnknownFormat("not an Outlook data file");
    }
    pst_file pf{};
    if (pst_open(&pf, path.c_str(), "windows-1252") != 0) return ExtractResult::Failed("the Outlook data file cannot be opened");
    struct Closer {
      pst_file* pf;
      ~Closer() { pst_close(pf); }
    } closer{&pf};
    if (pst_load_index(&pf) != 0) return ExtractResult::Failed("the Outlook data file is damaged: its index cannot be read");
    pst_load_extended_attributes(&pf);
    Item root(pst_parse_item(&pf, pf.d_head, nullptr));
    pst_desc_tree* top = root ? pst_getTopOfFolders(&pf, root.get()) : nullptr;
    if (!top) return ExtractResult::Failed("the Outlook data file has no folders that can be read");
    PstReader reader(&pf, sink);
    reader.Folder(top->child, 0);
    if (sink.empty()) return ExtractResult::Failed("the Outlook data file holds no text");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    if (reader.stopped()) return ExtractResult::Incomplete("the data file holds too many items; the rest are left out");
    if (reader.failures() > 0)
      return ExtractResult::Incomplete(std::to_string(reader.failures()) + " item(s) could not be read");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreatePstFilter() { return std::make_unique<PstFilter>(); }

}  // namespace quarn
