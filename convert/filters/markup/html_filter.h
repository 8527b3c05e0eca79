// Web pages (the "html" built-in filter), and the HTML-to-text step that
// other filters reuse for HTML they find inside their documents (e-book
// chapters, HTML-only mail).  The page is decoded to UTF-8 (byte-order mark,
// then the caller's hint, then the page's own <meta charset> or http-equiv
// declaration or XML declaration, then detection, then windows-1252) and
// streamed through libxml2's HTML push parser with SAX callbacks, so no tree
// is built and deep nesting costs nothing.  Never loads anything from the
// network.  Reentrant: every call has its own parser.
//
// The text is what a browser shows, as lines: script, style, template,
// noscript, iframe and svg content, the fallback text of video, audio and
// canvas, and comments are dropped, and so is a hidden <nav> (an e-book's page
// list); an e-book's content switch shows one branch; the first <title>
// becomes the first line (it is often the only name a saved page has); block
// elements end their line and <br> breaks it (a stray </p> or </br> too, as in
// browsers); form controls stand apart from the words around them, and a
// button shows its caption; a <q> is put between quotation marks; a table row
// is one line with its cells separated by tabs; list items are lines of their
// own; <pre> keeps its white space; other white space collapses to one space;
// entities are decoded and a no-break space becomes a space.  A picture shows
// its alternative text in its place, as text-only browsers do; a ruby shows
// its base, then its reading in parentheses: "東京(とうきょう)".
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateHtmlFilter();

// Whether a page's <title> is text: a saved page's title is often the only
// name it has, while a reader never shows the titles of a book's chapters
// (often the book's name, once per chapter).
enum class HtmlTitle { kShown, kDropped };

// Writes the text of the HTML in html_bytes into sink.  charset_hint, when
// not empty, is the character set the caller was told (a mail part's
// Content-Type); a byte-order mark still wins over it.  Ends no chunk: the
// caller decides where its chunks end.
ExtractResult ExtractHtmlText(std::string_view html_bytes, std::string_view charset_hint, TextSink& sink,
                              HtmlTitle title = HtmlTitle::kShown);

// The character set a page declares in its first bytes (<meta charset>,
// <meta http-equiv="Content-Type" content="...; charset=...">, or an XML
// declaration's encoding), as written; empty when it declares none.
std::string DeclaredHtmlCharset(std::string_view head);

// The encoding an XML declaration at the start of head names, in lower
// case; empty when there is none or it names none.
std::string DeclaredXmlEncoding(std::string_view head);

}  // namespace quarn
