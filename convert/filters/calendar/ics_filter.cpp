#include "convert/filters/calendar/ics_filter.h"

#include <libical/ical.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "convert/filters/sniff.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

namespace {

// A calendar is parsed whole; larger files are refused.
constexpr std::size_t kMaxCalendarBytes = std::size_t{128} << 20;

struct ComponentFree {
  void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return s;
}

// A date or time as people write it: "2024-01-02", "2024-01-02 10:00 UTC",
// "2024-01-02 10:00 (Europe/Berlin)".
std::string TimeText(icalproperty* p) {
  if (!p) return {};
  icaltimetype t = icalvalue_get_datetime(icalproperty_get_value(p));
  if (icaltime_is_null_time(t) || t.year <= 0) return {};
  char buf[64];
  if (t.is_date) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
  std::string out = buf;
  if (icaltime_is_utc(t)) {
    out += " UTC";
  } else if (icalparameter* tz = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER)) {
    if (const char* id = icalparameter_get_tzid(tz)) out += std::string(" (") + id + ")";
  }
  return out;
}

// "Name <address>" of an attendee or organizer.
std::string Person(icalproperty* p, const char* address) {
  std::string mail = address ? address : "";
  if (mail.size() > 7 && (mail.compare(0, 7, "mailto:") == 0 || mail.compare(0, 7, "MAILTO:") == 0))
    mail = mail.substr(7);
  std::string name;
  if (icalparameter* cn = icalproperty_get_first_parameter(p, ICAL_CN_PARAMETER))
    if (const char* s = icalparameter_get_cn(cn)) name = s;
  if (name.empty()) return mail;
  if (mail.empty() || mail == name) return name;
  return name + " <" + mail + ">";
}

void Line(TextSink& sink, std::string_view label, const std::string& value) {
  if (value.empty()) return;
  sink.Append(label);
  sink.Append(": ");
  sink.Line(OneLine(value));
}

std::string TextOf(icalcomponent* c, icalproperty_kind kind) {
  std::string out;
  for (icalproperty* p = icalcomponent_get_first_property(c, kind); p;
       p = icalcomponent_get_next_property(c, kind)) {
    const char* s = icalvalue_as_ical_string(icalproperty_get_value(p));
    // as_ical_string escapes; the text value is what people read.
    if (icalvalue_isa(icalproperty_get_value(p)) == ICAL_TEXT_VALUE)
      s = icalvalue_get_text(icalproperty_get_value(p));
    if (!s || !*s) continue;
    if (!out.empty()) out += ", ";
    out += s;
  }
  return out;
}

void Entry(icalcomponent* c, const char* label, TextSink& sink) {
  if (!sink.empty()) sink.Append("\n");
  std::string summary = TextOf(c, ICAL_SUMMARY_PROPERTY);
  sink.Append(label);
  sink.Append(": ");
  sink.Line(summary.empty() ? "(no title)" : OneLine(summary));
  std::string start = TimeText(icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY));
  std::string end = TimeText(icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY));
  if (end.empty()) end = TimeText(icalcomponent_get_first_property(c, ICAL_DUE_PROPERTY));
  Line(sink, "When", start.empty() ? end : end.empty() || end == start ? start : start + " to " + end);
  Line(sink, "Where", TextOf(c, ICAL_LOCATION_PROPERTY));
  if (icalproperty* o = icalcomponent_get_first_property(c, ICAL_ORGANIZER_PROPERTY))
    Line(sink, "Organizer", Person(o, icalproperty_get_organizer(o)));
  std::string attendees;
  for (icalproperty* a = icalcomponent_get_first_property(c, ICAL_ATTENDEE_PROPERTY); a;
       a = icalcomponent_get_next_property(c, ICAL_ATTENDEE_PROPERTY)) {
    std::string who = Person(a, icalproperty_get_attendee(a));
    if (who.empty()) continue;
    if (!attendees.empty()) attendees += ", ";
    attendees += who;
  }
  Line(sink, "Attendees", attendees);
  Line(sink, "Categories", TextOf(c, ICAL_CATEGORIES_PROPERTY));
  Line(sink, "Comment", TextOf(c, ICAL_COMMENT_PROPERTY));
  std::string description = TextOf(c, ICAL_DESCRIPTION_PROPERTY);
  if (!description.empty()) {
    std::string text;
    for (char ch : description)
      if (ch != '\r') text.push_back(ch);
    sink.Line(text);
  }
  sink.EndLine();
  sink.EndChunk();
}

void Walk(icalcomponent* c, TextSink& sink, std::size_t* entries, int depth = 0) {
  if (depth > 16) return;
  for (icalcomponent* child = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); child && !sink.full();
       child = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT)) {
    switch (icalcomponent_isa(child)) {
      case ICAL_VEVENT_COMPONENT: Entry(child, "Event", sink); ++*entries; break;
      case ICAL_VTODO_COMPONENT: Entry(child, "Task", sink); ++*entries; break;
      case ICAL_VJOURNAL_COMPONENT: Entry(child, "Journal", sink); ++*entries; break;
      case ICAL_VCALENDAR_COMPONENT: {
        std::string name;
        for (icalproperty* p = icalcomponent_get_first_property(child, ICAL_X_PROPERTY); p && name.empty();
             p = icalcomponent_get_next_property(child, ICAL_X_PROPERTY)) {
          const char* x = icalproperty_get_x_name(p);
          const char* s = icalproperty_get_x(p);
          if (x && s && std::string_view(x) == "X-WR-CALNAME") name = s;
        }
        Line(sink, "Calendar", name);
        Walk(child, sink, entries, depth + 1);
        break;
      }
      default: break;
    }
  }
}

class IcsFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    if (what.kind != ContentKind::kCalendar) {
      if (auto r = ExtractRedirected(path, "ics", sink)) return *r;
      return ExtractResult::UnknownFormat("not an iCalendar file: no BEGIN:VCALENDAR or BEGIN:VEVENT at the start");
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ExtractResult::Failed("cannot open the calendar");
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxCalendarBytes)
      return ExtractResult::Failed("the calendar is larger than 128 MiB");
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ExtractResult::Failed("cannot read the calendar");
    // iCalendar is UTF-8; older files in another character set are read as
    // that set would have it.
    std::string text = DecodeToUtf8(bytes, {});
    std::unique_ptr<icalcomponent, ComponentFree> root(icalparser_parse_string(text.c_str()));
    if (!root) return ExtractResult::Failed("the calendar cannot be parsed");
    std::size_t entries = 0;
    if (icalcomponent_isa(root.get()) != ICAL_XROOT_COMPONENT) {
      // One calendar, or one entry saved on its own: walked as the only child of a root.
      icalcomponent* wrapper = icalcomponent_new(ICAL_XROOT_COMPONENT);
      icalcomponent_add_component(wrapper, root.release());
      root.reset(wrapper);
    }
    Walk(root.get(), sink, &entries);
    if (entries == 0 && sink.empty()) return ExtractResult::Failed("the calendar holds no event, task or journal entry");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateIcsFilter() { return std::make_unique<IcsFilter>(); }

}  // namespace quarn
