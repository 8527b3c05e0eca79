#include "convert/filters/package/olm_filter.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filters/common/item_lines.h"
#include "convert/filters/common/mail_date.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/markup/safe_xml.h"
#include "convert/filters/members.h"
#include "convert/filters/package/zip_archive.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

constexpr std::string_view kMessages = "com.microsoft.__Messages/";
constexpr std::string_view kAttachments = "com.microsoft.__Attachments/";
// An item's XML file may be this large (its bodies are in it; attachments are not).
constexpr std::uint64_t kMaxItemBytes = std::uint64_t{64} << 20;

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

bool Named(const xmlNode* n, std::string_view name) {
  return n && n->type == XML_ELEMENT_NODE && std::string_view(reinterpret_cast<const char*>(n->name)) == name;
}

const xmlNode* Child(const xmlNode* parent, std::string_view name) {
  if (!parent) return nullptr;
  for (const xmlNode* c = parent->children; c; c = c->next)
    if (Named(c, name)) return c;
  return nullptr;
}

std::string Content(const xmlNode* n) {
  if (!n) return {};
  xmlChar* s = xmlNodeGetContent(n);
  std::string out = s ? reinterpret_cast<const char*>(s) : "";
  xmlFree(s);
  return out;
}

std::string Attribute(const xmlNode* n, const char* name) {
  xmlChar* s = n ? xmlGetProp(n, reinterpret_cast<const xmlChar*>(name)) : nullptr;
  std::string out = s ? reinterpret_cast<const char*>(s) : "";
  xmlFree(s);
  return out;
}

bool HasWords(std::string_view s) { return s.find_first_not_of(" \t\r\n\xC2\xA0") != std::string_view::npos; }

// "Name <address>" for each address of a list, joined by commas.
std::string Addresses(const xmlNode* list) {
  std::string out;
  if (!list) return out;
  for (const xmlNode* a = list->children; a; a = a->next) {
    if (a->type != XML_ELEMENT_NODE) continue;
    std::string address = OneLine(Attribute(a, "OPFContactEmailAddressAddress"));
    if (address.empty()) address = OneLine(Attribute(a, "OPFCalendarAttendeeAddress"));
    std::string name = OneLine(Attribute(a, "OPFContactEmailAddressName"));
    if (name.empty()) name = OneLine(Attribute(a, "OPFCalendarAttendeeName"));
    std::string one = name.empty() || name == address ? address : address.empty() ? name : name + " <" + address + ">";
    if (one.empty()) continue;
    out += (out.empty() ? "" : ", ") + one;
  }
  return out;
}

std::string MailDate(const xmlNode* n) { return FileTimeAsMailDate(XmlDateTimeTicks(OneLine(Content(n)))); }

// The folder a message's file is in, below the account: "Inbox",
// "Inbox/Projects"; with the account's name when it has one.
std::string FolderOf(std::string_view entry) {
  const std::size_t at = entry.find(kMessages);
  if (at == std::string_view::npos) return {};
  std::string_view folder = entry.substr(at + kMessages.size());
  const std::size_t slash = folder.rfind('/');
  folder = slash == std::string_view::npos ? std::string_view() : folder.substr(0, slash);
  std::string name(folder.empty() ? std::string_view("(top)") : folder);
  constexpr std::string_view kAccounts = "Accounts/";
  if (entry.substr(0, kAccounts.size()) == kAccounts) {
    std::string_view account = entry.substr(kAccounts.size(), at - kAccounts.size());
    if (!account.empty() && account.back() == '/') account.remove_suffix(1);
    if (!account.empty()) name += " (" + std::string(account) + ")";
  }
  return name;
}

std::string BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

class OlmReader {
 public:
  OlmReader(ZipArchive& zip, TextSink& sink) : zip_(zip), sink_(sink) {}

  void Read() {
    // Messages in the archive's order, each folder named where it starts;
    // then the other items, which may sit anywhere.
    std::vector<std::string> others;
    for (const std::string& name : zip_.Names()) {
      if (sink_.full() || stopped_) break;
      if (name.empty() || name.back() == '/' || name.find(kAttachments) != std::string::npos) continue;
      if (name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0) continue;
      if (name.find(kMessages) != std::string::npos && BaseName(name).rfind("message_", 0) == 0) {
        Item(name);
      } else if (BaseName(name) != "Categories.xml") {
        others.push_back(name);
      }
    }
    for (const std::string& name : others) {
      if (sink_.full() || stopped_) break;
      Item(name);
    }
  }

  std::size_t items() const { return items_; }
  std::size_t unreadable() const { return unreadable_; }
  std::size_t missing() const { return missing_; }
  bool stopped() const { return stopped_; }

 private:
  void Item(const std::string& name) {
    std::string bytes, error;
    if (zip_.Size(name) > kMaxItemBytes || !zip_.Read(name, bytes, &error)) {
      ++unreadable_;
      return;
    }
    Doc doc(xmlReadMemory(bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX)), name.c_str(),
                          nullptr, kSafeXmlOptions | XML_PARSE_HUGE));
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
      ++unreadable_;
      return;
    }
    // Each kind of item by its root, whatever the file is called.
    for (const xmlNode* n = root->children; n && !sink_.full() && !stopped_; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      if (++sink_.budget().members > limits_.max_members) {
        stopped_ = true;
        return;
      }
      if (Named(root, "emails") && Named(n, "email")) Message(n, name);
      else if (Named(root, "contacts") && Named(n, "contact")) Contact(n);
      else if (Named(root, "appointments") && Named(n, "appointment")) Appointment(n);
      else if (Named(root, "tasks") && Named(n, "task")) Task(n);
      else if (Named(root, "notes") && Named(n, "note")) Note(n);
      else continue;
      ++items_;
      // An archive of many items is long work, not a hang.
      NoteProgress();
    }
  }

  void Header(std::string_view name, const std::string& value) { FieldLine(sink_, name, value); }
  void Separate() { ItemBreak(sink_); }

  // A plain body when it has words, else the HTML one as text.
  void Body(const xmlNode* plain, const xmlNode* html) {
    const std::string text = Content(plain);
    if (HasWords(text)) {
      std::string lines;
      for (char c : text)
        if (c != '\r') lines.push_back(c);
      sink_.Append(lines);
    } else if (const std::string page = Content(html); HasWords(page)) {
      ExtractHtmlText(page, "UTF-8", sink_, HtmlTitle::kDropped);
    }
    sink_.EndLine();
    sink_.EndChunk();
  }

  void Message(const xmlNode* m, const std::string& entry) {
    if (std::string folder = FolderOf(entry); folder != folder_name_) {
      folder_name_ = folder;
      Separate();
      sink_.Line("Folder: " + folder);
      sink_.EndChunk();
    }
    Separate();
    std::string from = Addresses(Child(m, "OPFMessageCopyFromAddresses"));
    if (from.empty()) from = Addresses(Child(m, "OPFMessageCopySenderAddress"));
    Header("From", from);
    Header("To", Addresses(Child(m, "OPFMessageCopyToAddresses")));
    Header("Cc", Addresses(Child(m, "OPFMessageCopyCCAddresses")));
    std::string date = MailDate(Child(m, "OPFMessageCopySentTime"));
    if (date.empty()) date = MailDate(Child(m, "OPFMessageCopyReceivedTime"));
    Header("Date", date);
    Header("Subject", Content(Child(m, "OPFMessageCopySubject")));
    sink_.EndChunk();
    Body(Child(m, "OPFMessageCopyBody"), Child(m, "OPFMessageCopyHTMLBody"));
    const xmlNode* list = Child(m, "OPFMessageCopyAttachmentList");
    for (const xmlNode* a = list ? list->children : nullptr; a && !sink_.full(); a = a->next)
      if (Named(a, "messageAttachment")) Attachment(a);
  }

  void Attachment(const xmlNode* a) {
    const std::string url = Attribute(a, "OPFAttachmentURL");
    std::string name = OneLine(Attribute(a, "OPFAttachmentName"));
    if (name.empty()) name = BaseName(url);
    if (name.empty()) name = "(unnamed)";
    std::string bytes, error;
    if (url.empty() || !zip_.Has(url)) {
      ++missing_;
      sink_.Line("Attachment: " + name + " (not in the archive)");
      sink_.EndChunk();
      return;
    }
    sink_.Line("Attachment: " + name);
    if (zip_.Size(url) <= limits_.max_member_bytes && zip_.Read(url, bytes, &error) && !bytes.empty() &&
        !IsPictureAttachment(bytes)) {
      TextSink member = MemberSink(sink_);
      ExtractResult r = ExtractMemberBytes(folder_, name, bytes, member, limits_);
      AppendMemberLines(member, sink_);
      if (r.status == ExtractResult::Status::kPassword) sink_.Line("(password-protected)");
    }
    sink_.EndChunk();
  }

  void Contact(const xmlNode* c) {
    std::string name = Content(Child(c, "OPFContactCopyDisplayName"));
    if (OneLine(name).empty())
      name = Content(Child(c, "OPFContactCopyFirstName")) + " " + Content(Child(c, "OPFContactCopyLastName"));
    Separate();
    Header("Contact", OneLine(name).empty() ? "(no name)" : name);
    Header("Organization", Content(Child(c, "OPFContactCopyBusinessCompany")));
    Header("Title", Content(Child(c, "OPFContactCopyBusinessTitle")));
    const xmlNode* emails = Child(c, "OPFContactCopyEmailAddressList");
    for (const xmlNode* e = emails ? emails->children : nullptr; e; e = e->next)
      if (e->type == XML_ELEMENT_NODE) Header("Email", Attribute(e, "OPFContactEmailAddressAddress"));
    Header("Phone", Content(Child(c, "OPFContactCopyBusinessPhone")));
    Header("Mobile", Content(Child(c, "OPFContactCopyCellPhone")));
    Header("Phone", Content(Child(c, "OPFContactCopyHomePhone")));
    for (const char* where : {"Business", "Home"}) {
      std::string address;
      for (const char* part : {"StreetAddress", "City", "State", "Zip", "Country"}) {
        const std::string v = OneLine(Content(Child(c, std::string("OPFContactCopy") + where + part)));
        if (!v.empty()) address += (address.empty() ? "" : ", ") + v;
      }
      Header("Address", address);
    }
    sink_.EndChunk();
    Body(Child(c, "OPFContactCopyNotes"), nullptr);
  }

  void Appointment(const xmlNode* e) {
    Separate();
    const std::string title = Content(Child(e, "OPFCalendarEventCopySummary"));
    Header("Appointment", OneLine(title).empty() ? "(no title)" : title);
    Header("Where", Content(Child(e, "OPFCalendarEventCopyLocation")));
    const std::string start = OneLine(Content(Child(e, "OPFCalendarEventCopyStartTime")));
    const std::string end = OneLine(Content(Child(e, "OPFCalendarEventCopyEndTime")));
    const bool all_day = OneLine(Content(Child(e, "OPFCalendarEventGetIsAllDayEvent"))).rfind('1', 0) == 0;
    std::string when = FileTimeAsCalendarTime(XmlDateTimeTicks(start), all_day);
    if (const std::string until = FileTimeAsCalendarTime(XmlDateTimeTicks(end), all_day);
        !when.empty() && !until.empty() && until != when)
      when += " to " + until;
    Header("When", when);
    Header("Organizer", Content(Child(e, "OPFCalendarEventCopyOrganizer")));
    Header("Attendees", Addresses(Child(e, "OPFCalendarEventCopyAttendeeList")));
    sink_.EndChunk();
    Body(Child(e, "OPFCalendarEventCopyDescriptionPlain"), Child(e, "OPFCalendarEventCopyDescription"));
  }

  void Task(const xmlNode* t) {
    Separate();
    const std::string title = Content(Child(t, "OPFTaskCopyName"));
    Header("Task", OneLine(title).empty() ? "(no title)" : title);
    Header("Due", FileTimeAsCalendarTime(XmlDateTimeTicks(OneLine(Content(Child(t, "OPFTaskCopyDueDateTime"))))));
    sink_.EndChunk();
    Body(Child(t, "OPFTaskCopyNotePlain"), Child(t, "OPFTaskCopyNote"));
  }

  void Note(const xmlNode* n) {
    Separate();
    const std::string title = Content(Child(n, "OPFNoteCopyTitle"));
    Header("Note", OneLine(title).empty() ? "(no title)" : title);
    sink_.EndChunk();
    // A note's text is HTML or plain, as it was typed.
    const std::string text = Content(Child(n, "OPFNoteCopyText"));
    if (text.find('<') != std::string::npos) Body(nullptr, Child(n, "OPFNoteCopyText"));
    else Body(Child(n, "OPFNoteCopyText"), nullptr);
  }

  ZipArchive& zip_;
  TextSink& sink_;
  PrivateFolder folder_;
  ContainerLimits limits_;
  std::string folder_name_;
  std::size_t items_ = 0, unreadable_ = 0, missing_ = 0;
  bool stopped_ = false;
};

class OlmFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "olm", sink)) return *r;
    // Archives of tens of gigabytes are common: what bounds the work is the
    // text limit, each entry's and the ratio limits.
    ZipLimits limits;
    limits.max_total_bytes = std::uint64_t{1} << 40;
    std::string error;
    std::unique_ptr<ZipArchive> zip = ZipArchive::Open(path, &error, limits);
    if (!zip) return ExtractResult::UnknownFormat("not an Outlook for Mac archive: " + error);
    OlmReader reader(*zip, sink);
    reader.Read();
    std::vector<std::string> notes;
    if (!zip->damage().empty()) notes.push_back(zip->damage());
    if (sink.full()) notes.push_back("the text was cut at the size limit");
    if (reader.stopped()) notes.push_back("the archive holds too many items; the rest are left out");
    if (reader.unreadable() > 0) notes.push_back(std::to_string(reader.unreadable()) + " item(s) could not be read");
    if (reader.missing() > 0)
      notes.push_back(std::to_string(reader.missing()) + " attachment(s) named by messages are not in the archive");
    if (reader.items() == 0 || sink.empty())
      return ExtractResult::Failed(notes.empty() ? "the archive holds no mail, contacts, events, tasks or notes"
                                                 : notes.front());
    return ExtractResult::PartlyRead(notes);
  }
};

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

bool IsOlmEntryName(std::string_view name) { return name.find(kMessages) != std::string_view::npos; }

std::uint64_t XmlDateTimeTicks(std::string_view s) {
  auto number = [&](std::size_t at, std::size_t digits, int* out) {
    if (at + digits > s.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(0, 4, &year) || s.size() < 10 || s[4] != '-' || !number(5, 2, &month) || s[7] != '-' ||
      !number(8, 2, &day))
    return 0;
  std::size_t at = 10;
  if (at < s.size() && (s[at] == 'T' || s[at] == ' ')) {
    if (!number(at + 1, 2, &hour) || at + 3 >= s.size() || s[at + 3] != ':' || !number(at + 4, 2, &minute)) return 0;
    at += 6;
    if (at < s.size() && s[at] == ':') {
      if (!number(at + 1, 2, &second)) return 0;
      at += 3;
    }
    while (at < s.size() && (s[at] == '.' || (s[at] >= '0' && s[at] <= '9'))) ++at;  // fractions
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return 0;
  std::int64_t offset = 0;  // seconds east of UTC
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
    int oh = 0, om = 0;
    if (!number(at + 1, 2, &oh)) return 0;
    const std::size_t m = at + 3 < s.size() && s[at + 3] == ':' ? at + 4 : at + 3;
    number(m, 2, &om);
    offset = (s[at] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
  }
  const std::int64_t unix_seconds =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
      minute * 60 + second - offset;
  const std::int64_t since_1601 = unix_seconds + 11644473600;
  if (since_1601 <= 0) return 0;
  return static_cast<std::uint64_t>(since_1601) * 10000000u;
}

std::unique_ptr<BuiltinFilter> CreateOlmFilter() { return std::make_unique<OlmFilter>(); }

}  // namespace quarn
