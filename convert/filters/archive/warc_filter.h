// Web archives in the WARC format (.warc, and .warc.gz and the other
// compressed forms through the archive filter) and in the older ARC format
// (.arc, .arc.gz: a line naming each record's address, type and length, then
// the response as fetched): the documents a crawler
// fetched, each the payload of a successful HTTP response (or of a resource
// record), introduced by its address on a line of its own and read by the
// filter its content type or its address names; pages, PDF files, office
// documents.  Requests, metadata, revisits, redirects and errors, pictures,
// style sheets and scripts are not documents and are passed over.  Chunked
// transfer and gzip, deflate and brotli content encodings are undone.  A
// damaged record costs only itself: reading goes on at the next record.  One
// object per document.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/members.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateWarcFilter(const ContainerLimits& limits = {});

// The extension that names a document of a MIME type ("text/html;
// charset=utf-8" -> ".html"), empty for types that are not documents
// (pictures, scripts, style sheets) or not known.
std::string ExtensionForMediaType(std::string_view type);

// The body of an HTTP message sent in chunks, joined; false when the
// chunks are damaged (out then holds those before the damage).
bool Unchunk(std::string_view body, std::string& out);

}  // namespace quarn
