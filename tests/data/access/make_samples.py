#!/usr/bin/env python3
"""Writes small Access (Jet 4, Access 2000-2003) databases for the tests.

No tool on Debian writes Access files, so this writes the pages itself, after
the layout mdbtools documents in its HACKING file: page 0 names the engine,
page 2 defines the catalogue table MSysObjects, a data page holds its rows
(one a table), each table has a definition page, its rows on data pages and
its page usage map as a row of a map page.

  contacts.mdb    two tables of every common kind of field (text with
                  accents, memo with line breaks and a tab, long, currency,
                  double, date with and without a time, Yes/No, empty
                  fields), an empty table, and a system table with rows
  bad-table.mdb   as contacts.mdb, but the catalogue sends one table to a page
                  that is not a table definition
  truncated.mdb   the first page of contacts.mdb only
  access97.mdb    contacts.mdb's tables as Jet 3 (Access 97) writes them:
                  2 KiB pages, text in windows-1252, one-byte row offsets

Run from this folder: python3 make_samples.py
"""
import datetime
import struct

PAGE = 4096
JET3 = False  # set while a Jet 3 database is written
BOOL, LONG, MONEY, DOUBLE, DATETIME, TEXT, OLE, MEMO, INT = 0x01, 0x04, 0x05, 0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x03
FIXED_SIZE = {BOOL: 0, INT: 2, LONG: 4, MONEY: 8, DOUBLE: 8, DATETIME: 8}


def ucs2(s):
    """Text as the engine stores it: UCS-2 in Jet 4, the code page in Jet 3."""
    return s.encode("cp1252" if JET3 else "utf-16-le")


def page_header_database():
    p = bytearray(PAGE)
    p[0:4] = b"\x00\x01\x00\x00"
    p[4:20] = b"Standard Jet DB\x00"
    p[0x14] = 0 if JET3 else 1
    # The database key, masked as Access stores it: no encryption.
    p[0x3E:0x42] = bytes.fromhex("fb8abc4e")
    return p


def data_page(owner, rows):
    """A data page of owner's rows (bytes each), stored from the page's end."""
    p = bytearray(PAGE)
    p[0] = 0x01
    p[1] = 0x01
    p[4:8] = struct.pack("<I", owner)
    first = 10 if JET3 else 14  # the row offsets follow the count of rows
    p[first - 2:first] = struct.pack("<H", len(rows))
    end = PAGE
    for i, row in enumerate(rows):
        start = end - len(row)
        assert start >= first + 2 * len(rows), "rows overflow the page"
        p[start:end] = row
        p[first + 2 * i:first + 2 + 2 * i] = struct.pack("<H", start)
        end = start
    p[2:4] = struct.pack("<H", end - (first + 2 * len(rows)))
    return p


def usage_map(pages):
    """A type 0 usage map of the given pages."""
    first = 0
    bits = bytearray(64)
    for n in pages:
        bits[(n - first) // 8] |= 1 << ((n - first) % 8)
    return b"\x00" + struct.pack("<I", first) + bytes(bits)


class Table:
    def __init__(self, name, columns, rows, system=False):
        self.name = name
        self.columns = columns  # [(name, type)]
        self.rows = rows  # [[value or None]]
        self.system = system

    def layout(self):
        fixed_offset, var_index, out = 0, 0, []
        for number, (name, kind) in enumerate(self.columns):
            if kind in FIXED_SIZE:
                out.append((name, kind, number, True, fixed_offset, 0))
                fixed_offset += FIXED_SIZE[kind]
            else:
                out.append((name, kind, number, False, 0, var_index))
                var_index += 1
        return out

    def definition(self, map_pointer):
        cols = self.layout()
        n_var = sum(1 for c in cols if not c[3])
        p = bytearray(PAGE)
        p[0] = 0x02
        p[1] = 0x01
        if JET3:
            body = bytearray(0x2B)
            struct.pack_into("<I", body, 0x0C, len(self.rows))
            body[0x14] = 0x53 if self.system else 0x4E
            struct.pack_into("<HHHII", body, 0x15, len(cols), n_var, len(cols), 0, 0)
            struct.pack_into("<II", body, 0x23, map_pointer, map_pointer)
        else:
            body = bytearray(0x3F)
            struct.pack_into("<I", body, 0x10, len(self.rows))
            body[0x28] = 0x53 if self.system else 0x4E
            struct.pack_into("<HHH", body, 0x29, len(cols), n_var, len(cols))
            struct.pack_into("<II", body, 0x2F, 0, 0)
            struct.pack_into("<II", body, 0x37, map_pointer, map_pointer)
        for name, kind, number, fixed, f_off, v_idx in cols:
            length = FIXED_SIZE.get(kind, (255 if JET3 else 510) if kind == TEXT else 0)
            flags = (0x01 if fixed else 0x00) | 0x02
            if JET3:
                entry = bytearray(18)
                entry[0] = kind
                struct.pack_into("<HHH", entry, 1, number, v_idx, number)
                if kind == TEXT:
                    struct.pack_into("<HH", entry, 7, 0x409, 0x4E4)  # sort order, windows-1252
                entry[13] = flags
                struct.pack_into("<HH", entry, 14, f_off, length)
            else:
                entry = bytearray(25)
                entry[0] = kind
                struct.pack_into("<HHH", entry, 5, number, v_idx, number)
                if kind == TEXT:
                    struct.pack_into("<H", entry, 11, 0x409)
                entry[15] = flags
                struct.pack_into("<HH", entry, 21, f_off, length)
            body += entry
        for name, *_ in cols:
            body += (struct.pack("<B", len(ucs2(name))) if JET3 else struct.pack("<H", len(ucs2(name)))) + ucs2(name)
        body += b"\xff\xff"
        p[8:8 + len(body) - 8] = body[8:]
        struct.pack_into("<I", p, 8, len(body))
        return p

    def row(self, values):
        cols = self.layout()
        fixed = bytearray()
        var_parts = []
        null_mask = bytearray((len(cols) + 7) // 8)
        for (name, kind, number, is_fixed, f_off, v_idx), value in zip(cols, values):
            present = value is not None and (kind != BOOL or value)
            if present:
                null_mask[number // 8] |= 1 << (number % 8)
            if is_fixed:
                fixed += encode_fixed(kind, value)
            else:
                var_parts.append(b"" if value is None else encode_var(kind, value))
        # Counts and offsets take one byte in Jet 3 (rows kept below 256
        # bytes, so without a jump table), two in Jet 4.
        unit = "<B" if JET3 else "<H"
        row = bytearray(struct.pack(unit, len(cols))) + fixed
        offsets = []
        for part in var_parts:
            offsets.append(len(row))
            row += part
        eod = len(row)
        row += struct.pack(unit, eod)
        for off in reversed(offsets):
            row += struct.pack(unit, off)
        row += struct.pack(unit, len(offsets)) + null_mask
        assert not JET3 or len(row) < 256, "a Jet 3 row this long needs a jump table"
        return bytes(row)


def encode_fixed(kind, value):
    if value is None or kind == BOOL:
        return bytes(FIXED_SIZE[kind])
    if kind == INT:
        return struct.pack("<h", value)
    if kind == LONG:
        return struct.pack("<i", value)
    if kind == MONEY:
        return struct.pack("<q", round(value * 10000))
    if kind == DOUBLE:
        return struct.pack("<d", value)
    if kind == DATETIME:
        days = (value - datetime.datetime(1899, 12, 30)).total_seconds() / 86400
        return struct.pack("<d", days)
    raise ValueError(kind)


def encode_var(kind, value):
    if kind == TEXT:
        return ucs2(value)
    if kind == MEMO:
        data = ucs2(value)
        # Kept in the row itself, after the memo's 12-byte header.
        return struct.pack("<III", len(data) | 0x80000000, 0, 0) + data
    if kind == OLE:
        return struct.pack("<III", len(value) | 0x80000000, 0, 0) + value
    raise ValueError(kind)


def database(tables, broken=None):
    """Pages: 0 header, 1 empty, 2 MSysObjects, 3 its rows, 4 usage maps,
    then each table's definition and data page."""
    catalogue_columns = [("Id", LONG), ("ParentId", LONG), ("Name", TEXT), ("Type", INT), ("Flags", LONG),
                         ("LvProp", OLE)]
    pages = {0: page_header_database(), 1: bytearray(PAGE)}
    maps = [usage_map([3])]
    entries = [[2, 0, "MSysObjects", 1, 0x80000002 - (1 << 32), None]]
    next_page = 5
    for t in tables:
        tdef, data = next_page, next_page + 1
        next_page += 2
        maps.append(usage_map([data]))
        map_pointer = (4 << 8) | (len(maps) - 1)
        pages[tdef] = t.definition(map_pointer)
        pages[data] = data_page(tdef, [t.row(r) for r in t.rows])
        flags = 0x80000002 - (1 << 32) if t.system else 0
        entries.append([data if t.name == broken else tdef, 0, t.name, 1, flags, None])
    catalogue = Table("MSysObjects", catalogue_columns, entries, system=True)
    pages[2] = catalogue.definition((4 << 8) | 0)
    pages[3] = data_page(2, [catalogue.row(e) for e in entries])
    pages[4] = data_page(0, maps)
    return b"".join(bytes(pages.get(n, bytearray(PAGE))) for n in range(next_page))


def western(tables):
    """The tables with the names windows-1252 has no letters for replaced."""
    swap = {"Łucja Nowak": "Lucía Núñez", "Met at the fair in Poznań.": "Met at the fair in Málaga."}
    for t in tables:
        t.rows = [[swap.get(v, v) if isinstance(v, str) else v for v in row] for row in t.rows]
    return tables


def sample_tables():
    customers = Table("Customers", [("ID", LONG), ("Name", TEXT), ("City", TEXT), ("Joined", DATETIME),
                                    ("Active", BOOL), ("Balance", MONEY), ("Notes", MEMO)], [
        [1, "Anna Müller", "Zürich", datetime.datetime(2019, 3, 1), True, 1250.5,
         "Prefers letters.\r\nCall before noon.\tNever on Fridays."],
        [2, "Olivier Dubois", None, datetime.datetime(2021, 11, 23), False, None, None],
        [3, "Łucja Nowak", "Kraków", None, True, 0, "Met at the fair in Poznań."],
    ])
    orders = Table("Orders", [("OrderId", LONG), ("Customer", TEXT), ("Amount", DOUBLE), ("Shipped", DATETIME)], [
        [1001, "Anna Müller", 99.75, datetime.datetime(2022, 5, 17, 14, 30)],
        [1002, "Łucja Nowak", 12.5, datetime.datetime(2023, 1, 2)],
    ])
    archive = Table("Archive", [("Year", INT), ("Summary", TEXT)], [])
    storage = Table("MSysAccessStorage", [("Id", LONG), ("Name", TEXT)], [[1, "hidden system row"]], system=True)
    return [customers, orders, archive, storage]


def main():
    global JET3, PAGE
    whole = database(sample_tables())
    with open("contacts.mdb", "wb") as f:
        f.write(whole)
    with open("bad-table.mdb", "wb") as f:
        f.write(database(sample_tables(), broken="Customers"))
    with open("truncated.mdb", "wb") as f:
        f.write(whole[:PAGE])
    JET3, PAGE = True, 2048
    with open("access97.mdb", "wb") as f:
        f.write(database(western(sample_tables())))


if __name__ == "__main__":
    main()
