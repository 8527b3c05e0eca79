#!/usr/bin/env python3
"""Writes the Excel binary workbook samples beside this script.

No tool here writes the format (LibreOffice only reads it), so the records
are written by hand; LibreOffice reading the files back as the sheets below
shows that they are what Excel writes:
  soffice --headless --convert-to csv:"Text - txt - csv (StarCalc)":44,34,76,1,,0,false,true,false,false,false,-1 sample.xlsb

sample.xlsb  two sheets: shared, inline and rich strings, RK numbers (whole
             and hundredths), doubles, booleans, errors, formulas with cached
             results, number formats (custom and built-in), a blank styled
             cell, a skipped row, a comment.
date1904.xlsb  a date in a workbook that counts from 1904.
damaged.xlsb  a sheet with a cell past the last column, a string longer than
             its record, then a record longer than what is left of the part.
"""
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def record(rtype, body=b""):
    head = bytearray()
    if rtype < 0x80:
        head.append(rtype)
    else:
        head += bytes([(rtype & 0x7F) | 0x80, rtype >> 7])
    size = len(body)
    while True:
        b = size & 0x7F
        size >>= 7
        head.append(b | (0x80 if size else 0))
        if not size:
            break
    return bytes(head) + body


def wide(s):
    data = s.encode("utf-16-le")
    return struct.pack("<I", len(data) // 2) + data


def rich(s, runs=()):
    if runs:
        return bytes([1]) + wide(s) + struct.pack("<I", len(runs)) + b"".join(struct.pack("<HH", i, f) for i, f in runs)
    return bytes([0]) + wide(s)


def cell(col, style=0):
    return struct.pack("<II", col, style & 0xFFFFFF)


def row(rw):
    return record(0, struct.pack("<IIHHBI", rw, 0, 300, 0, 0, 0))


def rk_int(value, x100=False):
    return struct.pack("<I", ((value << 2) | 2 | (1 if x100 else 0)) & 0xFFFFFFFF)


def rk_double(value):
    bits = struct.unpack("<Q", struct.pack("<d", value))[0]
    assert bits & 0xFFFFFFFF == 0
    return struct.pack("<I", (bits >> 32) & 0xFFFFFFFC)


def formula(rgce):
    return struct.pack("<H", 0) + struct.pack("<I", len(rgce)) + rgce + struct.pack("<I", 0)


ONE_PLUS_TWO = bytes([0x1E, 1, 0, 0x1E, 2, 0, 0x03])  # =1+2
STRING_AB = bytes([0x17, 2, 0]) + "ab".encode("utf-16-le")  # ="ab"

CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>
<Default Extension="bin" ContentType="application/vnd.ms-excel.sheet.binary.macroEnabled.main"/>
<Default Extension="xml" ContentType="application/xml"/>
{overrides}
</Types>"""
ROOT_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.bin"/>
</Relationships>"""
REL = '<Relationship Id="{id}" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/{kind}" Target="{target}"/>'


def rels(items):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            + "".join(REL.format(id=i, kind=k, target=t) for i, k, t in items) + "</Relationships>")


def workbook(sheets, date1904=False):
    out = record(131)
    out += record(153, struct.pack("<II", 1 if date1904 else 0, 0) + wide(""))
    out += record(143)
    for n, (name, rel_id) in enumerate(sheets):
        out += record(156, struct.pack("<II", 0, n + 1) + wide(rel_id) + wide(name))
    out += record(144)
    return out + record(132)


def styles(formats, xf_formats):
    out = record(278)
    out += record(615, struct.pack("<I", len(formats)))
    for ifmt, code in formats:
        out += record(44, struct.pack("<H", ifmt) + wide(code))
    out += record(616)
    # A cell style format first (its own list), then the cells' formats.
    out += record(626, struct.pack("<I", 1)) + record(47, struct.pack("<HHHHHBBHH", 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0))
    out += record(627)
    out += record(617, struct.pack("<I", len(xf_formats)))
    for ifmt in xf_formats:
        out += record(47, struct.pack("<HHHHHBBHH", 0, ifmt, 0, 0, 0, 0, 0, 0, 0))
    out += record(618)
    return out + record(279)


def sst(strings):
    out = record(159, struct.pack("<II", len(strings), len(strings)))
    for s in strings:
        out += record(19, rich(s))
    return out + record(160)


def sheet(rows):
    out = record(129) + record(145)
    for rw, cells in rows:
        out += row(rw)
        out += b"".join(cells)
    return out + record(146) + record(130)


def comments(author, items):
    out = record(628) + record(630) + record(632, wide(author)) + record(631) + record(633)
    for rw, col, text in items:
        out += record(635, struct.pack("<IIIII", 0, rw, rw, col, col) + bytes(16))
        out += record(637, rich(text))
        out += record(636)
    return out + record(634) + record(629)


def package(path, parts, overrides):
    ov = "\n".join('<Override PartName="/{}" ContentType="{}"/>'.format(p, t) for p, t in overrides)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES.format(overrides=ov))
        z.writestr("_rels/.rels", ROOT_RELS)
        for name, data in parts:
            z.writestr(name, data)


def sample():
    strings = ["Item", "Amount", "Share", "Coffee", "Grüße aus Köln"]
    budget = sheet([
        (0, [record(7, cell(0) + struct.pack("<I", 0)), record(7, cell(1) + struct.pack("<I", 1)),
             record(7, cell(2) + struct.pack("<I", 2))]),
        (1, [record(6, cell(0) + wide("Tea")), record(2, cell(1, 1) + rk_int(1234)),
             record(5, cell(2, 2) + struct.pack("<d", 0.25))]),
        (2, [record(7, cell(0) + struct.pack("<I", 3)), record(2, cell(1) + rk_int(1250, x100=True)),
             record(9, cell(2) + struct.pack("<d", 3.0) + formula(ONE_PLUS_TWO))]),
        (3, [record(1, cell(0, 1)), record(4, cell(1) + bytes([1])), record(3, cell(2) + bytes([0x07]))]),
        (5, [record(62, cell(0) + rich("Rich text", [(0, 0), (5, 0)])),
             record(5, cell(3, 3) + struct.pack("<d", 45366.0))]),
        (6, [record(8, cell(1) + wide("ab") + formula(STRING_AB)),
             record(11, cell(2) + bytes([0x2A]) + formula(bytes([0x1C, 0x2A])))]),
    ])
    second = sheet([
        (0, [record(7, cell(0) + struct.pack("<I", 4)), record(2, cell(1) + rk_double(1.5)),
             record(10, cell(2) + bytes([0]) + formula(bytes([0x1D, 0])))]),
        (2, [record(6, cell(4) + wide("far column"))]),
    ])
    package(os.path.join(HERE, "sample.xlsb"), [
        ("xl/workbook.bin", workbook([("Budget", "rId1"), ("Zweite Übersicht", "rId2")])),
        ("xl/_rels/workbook.bin.rels", rels([("rId1", "worksheet", "worksheets/sheet1.bin"),
                                             ("rId2", "worksheet", "worksheets/sheet2.bin"),
                                             ("rId3", "sharedStrings", "sharedStrings.bin"),
                                             ("rId4", "styles", "styles.bin")])),
        ("xl/worksheets/sheet1.bin", budget),
        ("xl/worksheets/_rels/sheet1.bin.rels", rels([("rId1", "comments", "../comments1.bin")])),
        ("xl/worksheets/sheet2.bin", second),
        ("xl/sharedStrings.bin", sst(strings)),
        ("xl/styles.bin", styles([(164, "#,##0.00"), (165, "0.00%")], [0, 164, 165, 14])),
        ("xl/comments1.bin", comments("Ann", [(1, 1, "Check the amount")])),
    ], [("xl/workbook.bin", "application/vnd.ms-excel.sheet.binary.macroEnabled.main"),
        ("xl/worksheets/sheet1.bin", "application/vnd.ms-excel.worksheet"),
        ("xl/worksheets/sheet2.bin", "application/vnd.ms-excel.worksheet"),
        ("xl/sharedStrings.bin", "application/vnd.ms-excel.sharedStrings"),
        ("xl/styles.bin", "application/vnd.ms-excel.styles"),
        ("xl/comments1.bin", "application/vnd.ms-excel.comments")])


def date1904():
    package(os.path.join(HERE, "date1904.xlsb"), [
        ("xl/workbook.bin", workbook([("Dates", "rId1")], date1904=True)),
        ("xl/_rels/workbook.bin.rels", rels([("rId1", "worksheet", "worksheets/sheet1.bin"),
                                             ("rId2", "styles", "styles.bin")])),
        ("xl/worksheets/sheet1.bin", sheet([(0, [record(5, cell(0, 1) + struct.pack("<d", 43904.0))])])),
        ("xl/styles.bin", styles([], [0, 14])),
    ], [("xl/workbook.bin", "application/vnd.ms-excel.sheet.binary.macroEnabled.main"),
        ("xl/worksheets/sheet1.bin", "application/vnd.ms-excel.worksheet"),
        ("xl/styles.bin", "application/vnd.ms-excel.styles")])


def damaged():
    rows = sheet([(0, [record(6, cell(0) + wide("kept")), record(6, cell(0xFFFFFFF0) + wide("far away")),
                       record(6, cell(1) + struct.pack("<I", 1000) + "short".encode("utf-16-le")),
                       record(6, cell(2) + wide("also kept"))])])
    rows = rows[:-len(record(146) + record(130))] + bytes([0x06, 0xFF, 0x7F]) + wide("cut")
    package(os.path.join(HERE, "damaged.xlsb"), [
        ("xl/workbook.bin", workbook([("S", "rId1")])),
        ("xl/_rels/workbook.bin.rels", rels([("rId1", "worksheet", "worksheets/sheet1.bin")])),
        ("xl/worksheets/sheet1.bin", rows),
    ], [("xl/workbook.bin", "application/vnd.ms-excel.sheet.binary.macroEnabled.main"),
        ("xl/worksheets/sheet1.bin", "application/vnd.ms-excel.worksheet")])


if __name__ == "__main__":
    sample()
    date1904()
    damaged()
