#include "convert/filters/access/access_filter.h"

#include <mdbtools.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/item_lines.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// A field's text is read into a buffer of this size: a memo field longer
// than that is cut (real ones are notes and descriptions, far shorter).
constexpr std::size_t kFieldBytes = std::size_t{256} << 10;
// Access allows 255 fields a table; a damaged definition may claim any number.
constexpr unsigned kMaxColumns = 255;
// Access allows 32,768 objects a database.
constexpr std::size_t kMaxTables = 32768;

// Buffers the library writes fields into, one a column, each kFieldBytes
// long and ended by a NUL; left uninitialised, so that only the pages a
// value fills are ever touched.
using FieldBuffer = std::unique_ptr<char[]>;
FieldBuffer NewFieldBuffer() {
  FieldBuffer b = std::make_unique_for_overwrite<char[]>(kFieldBytes + 1);
  b[0] = b[kFieldBytes] = '\0';
  return b;
}

// An entry of the catalogue for the table defined at page.
MdbCatalogEntry CatalogEntry(MdbHandle* mdb, unsigned long page, std::string_view name) {
  MdbCatalogEntry entry{};
  entry.mdb = mdb;
  entry.object_type = MDB_TABLE;
  entry.table_pg = page;
  name.copy(entry.object_name, sizeof entry.object_name - 1);
  return entry;
}

struct MdbClose {
  void operator()(MdbHandle* mdb) const { mdb_close(mdb); }
};
struct TableFree {
  void operator()(MdbTableDef* table) const { mdb_free_tabledef(table); }
};

// Whether the library can walk a table's map of the pages holding its rows:
// it reads a missing or short map, or one of an unknown kind, past its end.
bool UsableMap(const MdbTableDef& table) {
  return table.usage_map && table.map_sz >= 5 && (table.usage_map[0] == 0 || table.usage_map[0] == 1);
}

// Kinds of field that hold pictures, files or other binary data: no text.
bool BinaryField(int type) { return type == MDB_OLE || type == MDB_BINARY || type == MDB_COMPLEX; }

// The text of one field as the library bound it, as a cell of a line.
std::string Cell(const MdbColumn& column, const char* value, int length) {
  if (length <= 0 || BinaryField(column.col_type)) return {};
  std::string s(value, ::strnlen(value, kFieldBytes));
  switch (column.col_type) {
    case MDB_BOOL:
      return s == "0" ? "No" : "Yes";
    case MDB_DATETIME: {
      // Dates without a time of day, as Access shows them.
      constexpr std::string_view kMidnight = " 00:00:00";
      if (s.size() > kMidnight.size() && s.compare(s.size() - kMidnight.size(), kMidnight.size(), kMidnight) == 0)
        s.resize(s.size() - kMidnight.size());
      return s;
    }
    case MDB_MONEY:
      // Currency is kept to four decimals; two are shown unless the others count.
      if (const std::size_t point = s.find('.');
          point != std::string::npos && s.size() == point + 5 && s.compare(point + 3, 2, "00") == 0)
        s.resize(point + 3);
      return s;
    default:
      return CellOnOneLine(s);
  }
}

// Reads one table: false, with the reason, when its definition is damaged.
// buffers are the field buffers of the tables read before, grown as needed.
bool ReadTable(MdbCatalogEntry entry, TextSink& sink, std::vector<FieldBuffer>& buffers, std::string& problem) {
  const std::unique_ptr<MdbTableDef, TableFree> table(mdb_read_table(&entry));
  if (!table || !mdb_read_columns(table.get()) || !table->columns) {
    problem = "its definition is damaged";
    return false;
  }
  if (!UsableMap(*table)) {
    problem = "its map of pages is damaged";
    return false;
  }
  const unsigned count = table->columns->len;
  if (count == 0) return true;
  if (count > kMaxColumns) {
    problem = "its definition claims " + std::to_string(count) + " fields";
    return false;
  }
  std::vector<MdbColumn*> columns(count);
  std::vector<std::string> names(count);
  for (unsigned i = 0; i < count; ++i) {
    columns[i] = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, i));
    names[i] = OneLine(std::string(columns[i]->name, ::strnlen(columns[i]->name, sizeof columns[i]->name)));
  }
  while (buffers.size() < count) buffers.push_back(NewFieldBuffer());
  std::vector<int> lengths(count);
  for (unsigned i = 0; i < count; ++i)
    mdb_bind_column(table.get(), static_cast<int>(i + 1), buffers[i].get(), &lengths[i]);
  mdb_rewind_table(table.get());
  TableLines lines(sink, OneLine(entry.object_name), std::move(names));
  std::vector<std::string> cells(count);
  while (!sink.full() && mdb_fetch_row(table.get())) {
    for (unsigned i = 0; i < count; ++i) cells[i] = Cell(*columns[i], buffers[i].get(), lengths[i]);
    lines.Row(cells);
  }
  return true;
}

struct UserTable {
  std::string name;
  unsigned long page = 0;  // of its definition
};

// The tables the database's users made, from the catalogue (MSysObjects,
// always defined on page 2), in its order; nullopt when it cannot be read.
// Read here rather than by the library's own catalogue reader, which also
// decodes every object's property block and loops without end on a damaged
// one; the tables' text needs no property.
std::optional<std::vector<UserTable>> UserTables(MdbHandle* mdb, std::vector<FieldBuffer>& buffers) {
  MdbCatalogEntry entry = CatalogEntry(mdb, 2, "MSysObjects");
  const std::unique_ptr<MdbTableDef, TableFree> catalogue(mdb_read_table(&entry));
  if (!catalogue || !UsableMap(*catalogue) || !mdb_read_columns(catalogue.get())) return std::nullopt;
  char id_name[] = "Id", name_name[] = "Name", type_name[] = "Type", flags_name[] = "Flags";
  char* fields[] = {id_name, name_name, type_name, flags_name};
  while (buffers.size() < std::size(fields)) buffers.push_back(NewFieldBuffer());
  int lengths[std::size(fields)] = {};
  for (std::size_t i = 0; i < std::size(fields); ++i)
    if (mdb_bind_column_by_name(catalogue.get(), fields[i], buffers[i].get(), &lengths[i]) < 0) return std::nullopt;
  // A field the row leaves empty keeps the last row's bytes in its buffer.
  auto number = [&](std::size_t i) { return lengths[i] > 0 ? std::strtol(buffers[i].get(), nullptr, 10) : 0L; };
  mdb_rewind_table(catalogue.get());
  std::vector<UserTable> tables;
  while (tables.size() < kMaxTables && mdb_fetch_row(catalogue.get())) {
    // System tables carry one of two flags; other kinds of object (queries,
    // forms, linked tables) are not tables of rows here.
    if (lengths[0] <= 0 || lengths[1] <= 0 || (number(2) & 0x7F) != MDB_TABLE ||
        (static_cast<std::uint32_t>(number(3)) & 0x80000002U) != 0)
      continue;
    tables.push_back({buffers[1].get(), static_cast<unsigned long>(number(0)) & 0xFFFFFF});
  }
  return tables;
}

class AccessFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (SniffContent(path).filter != "access") return ExtractResult::UnknownFormat("not an Access database");
    const std::unique_ptr<MdbHandle, MdbClose> mdb(mdb_open(path.c_str(), MDB_NOFLAGS));
    if (!mdb) return ExtractResult::Failed("the database is damaged: its first page cannot be read");
    mdb_set_bind_size(mdb.get(), kFieldBytes);
    mdb_set_date_fmt(mdb.get(), "%Y-%m-%d %H:%M:%S");
    mdb_set_shortdate_fmt(mdb.get(), "%Y-%m-%d");
    mdb_set_boolean_fmt_numbers(mdb.get());
    std::vector<FieldBuffer> buffers;
    const std::optional<std::vector<UserTable>> tables = UserTables(mdb.get(), buffers);
    if (!tables) return ExtractResult::Failed("the database is damaged: its list of tables cannot be read");
    std::vector<std::string> reasons;
    for (const UserTable& t : *tables) {
      if (sink.full()) break;
      std::string problem;
      if (!ReadTable(CatalogEntry(mdb.get(), t.page, t.name), sink, buffers, problem))
        reasons.push_back("table \"" + OneLine(t.name) + "\" was not read: " + problem);
    }
    return ExtractResult::PartlyRead(reasons);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateAccessFilter() { return std::make_unique<AccessFilter>(); }

}  // namespace quarn
