#include "convert/filters/markup/xml_errors.h"

#include <cstdlib>

namespace quarn {

namespace {

bool Has(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// The parser's limits without XML_PARSE_HUGE, which no filter asks for.
constexpr const char* kTextLimit = "10 MB";

}  // namespace

std::string XmlLimitReason(const xmlError& error) {
  const std::string_view m = error.message ? error.message : "";
  if (error.code == XML_ERR_ENTITY_LOOP || Has(m, "entity reference loop") || Has(m, "amplification") ||
      Has(m, "entity value too long"))
    return "entity expansion refused";
  if (Has(m, "Excessive depth in document")) {
    const std::size_t colon = m.find(':');
    const long depth = colon == std::string_view::npos ? 0 : std::strtol(m.data() + colon + 1, nullptr, 10);
    return "nested deeper than " + std::to_string(depth > 0 ? depth : 256) + " levels";
  }
  if (Has(m, "too deep, use XML_PARSE_HUGE")) return "a declaration nested too deep";
  if (Has(m, "huge text node") || Has(m, "Huge input lookup") || Has(m, "text too long") ||
      Has(m, "CData section too big"))
    return std::string("a text run larger than ") + kTextLimit;
  if (Has(m, "AttValue length too long")) return std::string("an attribute value larger than ") + kTextLimit;
  if (Has(m, "Comment too big")) return std::string("a comment larger than ") + kTextLimit;
  if (Has(m, "PI ") && Has(m, "too big")) return std::string("a processing instruction larger than ") + kTextLimit;
  if (Has(m, "Name too long")) return "a name longer than 50000 characters";
  if (error.code == XML_ERR_NO_MEMORY) return "out of memory";
  return {};
}

std::string XmlErrorText(const xmlError& error) {
  std::string m = error.message ? error.message : "malformed XML";
  for (std::string_view advice : {" use XML_PARSE_HUGE option", ", use XML_PARSE_HUGE"})
    if (std::size_t at = m.find(advice); at != std::string::npos) m.erase(at, advice.size());
  while (!m.empty() && (m.back() == '\n' || m.back() == ' ' || m.back() == '\r')) m.pop_back();
  return "line " + std::to_string(error.line) + ": " + m;
}

std::string XmlPartProblem(const xmlError& error, std::string_view part) {
  const std::string limit = XmlLimitReason(error);
  if (!limit.empty()) return std::string(part) + ": " + limit;
  return "the part " + std::string(part) + " is not well-formed XML (" + XmlErrorText(error) + ")";
}

}  // namespace quarn
