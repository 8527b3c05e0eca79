#include "convert/filters/package/odf_number_styles.h"

#include <charconv>
#include <cstring>
#include <string>

namespace quarn::odf {

namespace {

constexpr const char* kNumberNs = "urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0";
constexpr const char* kStyleNs = "urn:oasis:names:tc:opendocument:xmlns:style:1.0";

std::string Attr(xmlTextReaderPtr r, const char* local, const char* ns) {
  xmlChar* v = xmlTextReaderGetAttributeNs(r, reinterpret_cast<const xmlChar*>(local), reinterpret_cast<const xmlChar*>(ns));
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

int Count(const std::string& v, int fallback, int most = 15) {
  int n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || n < 0) return fallback;
  return n > most ? most : n;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text)
    if (c != '"') out.push_back(c);
  return out + "\"";
}

// The text content of the element the reader is on.
std::string Content(xmlTextReaderPtr r) {
  if (xmlTextReaderIsEmptyElement(r) == 1) return {};
  xmlChar* v = xmlTextReaderReadString(r);
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

// "2021-03-04" or "2021-03-04T12:30:00" as a serial number.
bool ParseDate(std::string_view v, double* serial) { return IsoDateSerial(v, false, serial); }

// "PT12H30M15.5S" (a duration) as a fraction of a day.
bool ParseTime(std::string_view v, double* days) {
  if (v.size() < 3 || v.substr(0, 2) != "PT") return false;
  double total = 0;
  std::size_t at = 2;
  while (at < v.size()) {
    double n = 0;
    auto [p, ec] = std::from_chars(v.data() + at, v.data() + v.size(), n);
    if (ec != std::errc() || p == v.data() + v.size()) return false;
    char unit = *p;
    total += unit == 'H' ? n * 3600 : unit == 'M' ? n * 60 : unit == 'S' ? n : 0;
    at = static_cast<std::size_t>(p - v.data()) + 1;
  }
  *days = total / 86400;
  return true;
}

}  // namespace

void NumberStyles::Flush() {
  if (!current_.name.empty()) {
    codes_[current_.name] = current_.code;
    if (!current_.positive.empty()) positive_of_[current_.name] = current_.positive;
  }
  current_ = Building();
}

void NumberStyles::Element(xmlTextReaderPtr r) {
  const int depth = xmlTextReaderDepth(r);
  if (current_.depth >= 0 && depth <= current_.depth) Flush();
  const xmlChar* uri = xmlTextReaderConstNamespaceUri(r);
  const xmlChar* ln = xmlTextReaderConstLocalName(r);
  if (!uri || !ln) return;
  std::string_view l = reinterpret_cast<const char*>(ln);
  const bool number_ns = std::strcmp(reinterpret_cast<const char*>(uri), kNumberNs) == 0;
  if (number_ns && l.size() > 6 && l.substr(l.size() - 6) == "-style") {
    current_.name = Attr(r, "name", kStyleNs);
    current_.percentage = l == "percentage-style";
    current_.depth = depth;
    return;
  }
  if (current_.depth < 0) return;
  std::string& code = current_.code;
  if (!number_ns) {
    // <style:map style:condition="value()>=0" style:apply-style-name="N1P0"/>
    if (l == "map" && std::strcmp(reinterpret_cast<const char*>(uri), kStyleNs) == 0) {
      std::string cond = Attr(r, "condition", kStyleNs);
      if (cond == "value()>=0" || cond == "value()>0") current_.positive = Attr(r, "apply-style-name", kStyleNs);
    }
    return;
  }
  auto is_long = [&] { return Attr(r, "style", kNumberNs) == "long"; };
  if (l == "number") {
    int decimals = Count(Attr(r, "decimal-places", kNumberNs), 0);
    int min_decimals = Count(Attr(r, "min-decimal-places", kNumberNs), decimals);
    int min_int = Count(Attr(r, "min-integer-digits", kNumberNs), 1);
    std::string integer = min_int > 0 ? std::string(static_cast<std::size_t>(min_int), '0') : "#";
    if (Attr(r, "grouping", kNumberNs) == "true") integer = (integer.size() < 4 ? "#,##" : "#,") + integer;
    code += integer;
    if (decimals > 0) {
      code += '.';
      code.append(static_cast<std::size_t>(std::min(min_decimals, decimals)), '0');
      if (min_decimals < decimals) code.append(static_cast<std::size_t>(decimals - min_decimals), '#');
    }
  } else if (l == "scientific-number") {
    int decimals = Count(Attr(r, "decimal-places", kNumberNs), 2);
    int exp = Count(Attr(r, "min-exponent-digits", kNumberNs), 2, 4);
    code += "0";
    if (decimals > 0) code += "." + std::string(static_cast<std::size_t>(decimals), '0');
    code += "E+" + std::string(static_cast<std::size_t>(std::max(exp, 1)), '0');
  } else if (l == "fraction") {
    int min_int = Count(Attr(r, "min-integer-digits", kNumberNs), 0);
    int num = Count(Attr(r, "min-numerator-digits", kNumberNs), 1, 6);
    std::string den = Attr(r, "denominator-value", kNumberNs);
    int den_digits = Count(Attr(r, "min-denominator-digits", kNumberNs), 1, 6);
    if (min_int > 0) code += "# ";
    code += std::string(static_cast<std::size_t>(std::max(num, 1)), '?') + "/";
    code += !den.empty() ? den : std::string(static_cast<std::size_t>(std::max(den_digits, 1)), '?');
  } else if (l == "text" || l == "currency-symbol") {
    std::string text = Content(r);
    if (current_.percentage && l == "text" && text.find('%') != std::string::npos) {
      // The percent sign of a percentage style scales the value.
      std::size_t at = text.find('%');
      if (at > 0) code += Quoted(text.substr(0, at));
      code += '%';
      if (at + 1 < text.size()) code += Quoted(text.substr(at + 1));
    } else if (!text.empty()) {
      code += Quoted(text);
    }
  } else if (l == "day") {
    code += is_long() ? "dd" : "d";
  } else if (l == "month") {
    bool textual = Attr(r, "textual", kNumberNs) == "true";
    code += textual ? (is_long() ? "mmmm" : "mmm") : (is_long() ? "mm" : "m");
  } else if (l == "year") {
    code += is_long() ? "yyyy" : "yy";
  } else if (l == "day-of-week") {
    code += is_long() ? "dddd" : "ddd";
  } else if (l == "hours") {
    code += is_long() ? "hh" : "h";
  } else if (l == "minutes") {
    code += is_long() ? "mm" : "m";
  } else if (l == "seconds") {
    code += is_long() ? "ss" : "s";
    int decimals = Count(Attr(r, "decimal-places", kNumberNs), 0, 3);
    if (decimals > 0) code += "." + std::string(static_cast<std::size_t>(decimals), '0');
  } else if (l == "am-pm") {
    code += "AM/PM";
  } else if (l == "text-content") {
    code += "@";
  }
}

std::string NumberStyles::Code(std::string_view name) const {
  auto it = codes_.find(name);
  if (it == codes_.end()) return {};
  auto pos = positive_of_.find(name);
  if (pos != positive_of_.end()) {
    // The style shows negative numbers; the mapped one the others.
    auto p = codes_.find(pos->second);
    if (p != codes_.end()) return p->second + ";" + it->second;
  }
  return it->second;
}

std::string NumberStyles::Show(std::string_view type, std::string_view value, std::string_view data_style) const {
  if (value.empty()) return {};
  if (type == "boolean") return value == "true" || value == "1" ? "TRUE" : "FALSE";
  double v = 0;
  if (type == "date") {
    if (!ParseDate(value, &v)) return std::string(value);
  } else if (type == "time") {
    if (!ParseTime(value, &v)) return std::string(value);
  } else if (type == "float" || type == "percentage" || type == "currency") {
    auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (ec != std::errc() || p != value.data() + value.size()) return std::string(value);
  } else {
    return {};
  }
  std::string code = Code(data_style);
  if (code.empty()) {
    // No style to say how: a date as written, a number in General.
    if (type == "date" || type == "time") return std::string(value);
    return NumberFormat().FormatStored(value);
  }
  return NumberFormat(code).Format(v);
}

}  // namespace quarn::odf
