// The SQLite database filter (.sqlite, .sqlite3, .db3, and any file whose
// content is a SQLite database: applications keep messages, histories,
// notes and catalogues in them), on libsqlite3: every table by name, then a
// line of its column names and one tab-separated line a row, in the table's
// own order.  Text as stored (line breaks as spaces, so that a row stays a
// line), numbers as SQLite writes them, binary values left out.  SQLite's own
// tables and the tables a full-text index keeps for itself are not text, nor
// views.  The database is opened read-only and as it is on disk: what a
// write-ahead log beside it holds is not read, and the reason says so.  One
// object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateSqliteFilter();

}  // namespace quarn
