#!/usr/bin/env python3
"""Writes small dBASE and FoxPro tables for the tests, after the published
layout of the format (a 32-byte header, 32-byte field descriptions, fixed-
length records, memo files beside the table).

  clients.dbf + clients.dbt   dBASE III with memos, no language driver:
                              windows-1252 text found from the bytes; a
                              deleted record
  stock.dbf + stock.fpt       Visual FoxPro: integers, currency, doubles,
                              date-times, memos by binary block number (one a
                              picture), the _NullFlags system field
  cities.dbf + cities.cpg     a shapefile's attribute table in UTF-8, named
                              by its .cpg file
  kontakty.dbf                windows-1251, named by the language driver byte
  dos.dbf                     code page 850, named by the language driver byte
  truncated.dbf               clients.dbf's header with two of its records

Run from this folder: python3 make_samples.py
"""
import struct


def header(version, records, fields, record_length, language_driver, backlink=False):
    descriptors = b""
    offset = 1
    for name, kind, width, decimals in fields:
        d = bytearray(32)
        d[0:len(name)] = name.encode("ascii")
        d[11] = ord(kind)
        struct.pack_into("<I", d, 12, offset)
        d[16] = width
        d[17] = decimals
        descriptors += bytes(d)
        offset += width
    assert offset == record_length, (offset, record_length)
    length = 32 + len(descriptors) + 1 + (263 if backlink else 0)
    h = bytearray(32)
    h[0] = version
    h[1:4] = bytes([124, 3, 1])  # 2024-03-01
    struct.pack_into("<IHH", h, 4, records, length, record_length)
    h[29] = language_driver
    return bytes(h) + descriptors + b"\r" + (bytes(263) if backlink else b"")


def table(version, fields, rows, language_driver=0, backlink=False):
    """rows: lists of field bytes (each padded here), a leading '*' row flag."""
    record_length = 1 + sum(w for _, _, w, _ in fields)
    body = b""
    for deleted, values in rows:
        record = b"*" if deleted else b" "
        for (name, kind, width, _), value in zip(fields, values):
            pad = b"\0" if kind in "IYBT0" or (kind == "M" and width == 4) else b" "
            value = value[:width]
            record += (value.rjust(width, pad) if kind in "N" else value.ljust(width, pad))
        assert len(record) == record_length
        body += record
    return header(version, len(rows), fields, record_length, language_driver, backlink) + body + b"\x1a"


def dbase3_memo(texts):
    """A .dbt of dBASE III: 512-byte blocks, each memo ended by 0x1A 0x1A;
    returns the file and each memo's first block."""
    out = bytearray(512)
    blocks = []
    for t in texts:
        blocks.append(len(out) // 512)
        data = t + b"\x1a\x1a"
        data += bytes(-len(data) % 512)
        out += data
    struct.pack_into("<I", out, 0, len(out) // 512)
    return bytes(out), blocks


def fox_memo(items, block=64):
    """A .fpt of FoxPro: a header of 512 bytes (the block size at offset 6,
    big-endian), then blocks of a type (1 text, 0 picture) and a length."""
    out = bytearray(512)
    struct.pack_into(">H", out, 6, block)
    blocks = []
    for kind, data in items:
        blocks.append(len(out) // block)
        memo = struct.pack(">II", kind, len(data)) + data
        memo += bytes(-len(memo) % block)
        out += memo
    struct.pack_into(">I", out, 0, len(out) // block)
    return bytes(out), blocks


def write(name, data):
    with open(name, "wb") as f:
        f.write(data)


def main():
    # dBASE III with memos, windows-1252, no language driver.
    memo, blocks = dbase3_memo([
        "Prefers letters.\r\nCall before noon.\tNever on Fridays.".encode("cp1252"),
        "Met at the trade fair in Köln; ordered the café tables.".encode("cp1252"),
    ])
    fields = [("NAME", "C", 20, 0), ("CITY", "C", 15, 0), ("JOINED", "D", 8, 0), ("ACTIVE", "L", 1, 0),
              ("BALANCE", "N", 10, 2), ("NOTES", "M", 10, 0)]
    rows = [
        (False, [b"Anna M\xfcller", b"Z\xfcrich", b"20190301", b"T", b"1250.50", str(blocks[0]).encode()]),
        (True, [b"Removed Person", b"Nowhere", b"20000101", b"F", b"0.00", b""]),
        (False, [b"Fran\xe7ois Dubois", b"", b"20211123", b"F", b"", b""]),
        (False, [b"J\xfcrgen Wei\xdf", b"K\xf6ln", b"", b"?", b"-3.75", str(blocks[1]).encode()]),
    ]
    clients = table(0x83, fields, rows)
    write("clients.dbf", clients)
    write("clients.dbt", memo)
    record_length = 1 + sum(f[2] for f in fields)
    header_length = struct.unpack_from("<H", clients, 8)[0]
    write("truncated.dbf", clients[:header_length + 2 * record_length])

    # Visual FoxPro.
    memo, blocks = fox_memo([(1, "Oak shelf, oiled.\r\nShips flat.".encode("cp1252")),
                             (0, b"\x89PNG\r\n\x1a\n not text"),
                             (1, "Lampe für den Schreibtisch".encode("cp1252"))])
    julian_2022_05_17 = 2459717
    fields = [("ITEM", "C", 20, 0), ("QTY", "I", 4, 0), ("PRICE", "Y", 8, 4), ("WEIGHT", "B", 8, 0),
              ("UPDATED", "T", 8, 0), ("DESCR", "M", 4, 0), ("_NullFlags", "0", 1, 0)]
    rows = [
        (False, [b"Shelf", struct.pack("<i", 12), struct.pack("<q", 1999000), struct.pack("<d", 7.25),
                 struct.pack("<II", julian_2022_05_17, (14 * 3600 + 30 * 60) * 1000), struct.pack("<I", blocks[0]),
                 b"\0"]),
        (False, [b"Poster", struct.pack("<i", -3), struct.pack("<q", 45678), struct.pack("<d", 0.5),
                 struct.pack("<II", julian_2022_05_17 + 1, 0), struct.pack("<I", blocks[1]), b"\0"]),
        (False, [b"Lamp", struct.pack("<i", 0), struct.pack("<q", 0), struct.pack("<d", 1.0), bytes(8),
                 struct.pack("<I", blocks[2]), b"\0"]),
    ]
    write("stock.dbf", table(0x30, fields, rows, language_driver=0x03, backlink=True))
    write("stock.fpt", memo)

    # A shapefile's attribute table in UTF-8.
    fields = [("NAME", "C", 30, 0), ("POP", "N", 9, 0)]
    rows = [(False, ["Kraków".encode(), b"800653"]), (False, ["Zürich".encode(), b"421878"]),
            (False, ["Αθήνα".encode(), b"643452"])]
    write("cities.dbf", table(0x03, fields, rows, language_driver=0x57))
    write("cities.cpg", b"UTF-8\n")

    # Windows-1251 by the language driver byte.
    fields = [("FIO", "C", 30, 0), ("GOROD", "C", 20, 0)]
    rows = [(False, ["Иван Петров".encode("cp1251"), "Москва".encode("cp1251")]),
            (False, ["Ольга Смирнова".encode("cp1251"), "Казань".encode("cp1251")])]
    write("kontakty.dbf", table(0x03, fields, rows, language_driver=0xC9))

    # Code page 850 by the language driver byte.
    fields = [("NAME", "C", 20, 0)]
    rows = [(False, ["Gärtnerei Blümel".encode("cp850")]), (False, ["Straße 5".encode("cp850")])]
    write("dos.dbf", table(0x03, fields, rows, language_driver=0x02))


if __name__ == "__main__":
    main()
