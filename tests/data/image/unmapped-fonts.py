#!/usr/bin/env python3
"""Writes a one-page PDF whose body is set in a font that maps its glyphs to
no character, as fonts embedded without their character maps are: a Type 3
font whose glyphs have names no reader knows and codes below 32, each glyph
drawn with a letter of Helvetica.  The page number at its foot is in
Helvetica itself.  The body can only be read from the page's picture.
Usage: unmapped-fonts.py TEXT-FILE OUT.pdf"""
import sys
import textwrap

# Helvetica's advance widths, in thousandths of an em.
WIDTHS = dict(zip("abcdefghijklmnopqrstuvwxyz",
                  [556, 556, 500, 556, 556, 278, 556, 556, 222, 222, 500, 222, 833,
                   556, 556, 556, 556, 333, 500, 278, 556, 500, 722, 500, 500, 500]))
WIDTHS.update(zip("ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                  [667, 667, 722, 722, 667, 611, 778, 722, 278, 500, 667, 556, 833,
                   722, 778, 667, 778, 722, 667, 611, 722, 667, 944, 667, 667, 611]))
WIDTHS.update({",": 278, ".": 278, ":": 278, "-": 333, "'": 191})


def main():
    text, out = sys.argv[1], sys.argv[2]
    words = open(text, encoding="utf-8").read().split("\n")[0]  # the first paragraph
    lines = textwrap.wrap(words, 70)
    letters = sorted(set("".join(lines)) - {" "})
    # Codes 1..31 hold no character in any encoding; past them, codes 128
    # and up (undefined in the standard encoding) with names no one knows.
    codes = [c for c in range(1, 32)] + [c for c in range(128, 160)]
    code = dict(zip(letters, codes))
    assert len(code) == len(letters), "too many letters"

    objects = []

    def add(body):
        objects.append(body)
        return len(objects)

    helv = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
    procs = {}
    for ch in letters:
        w = WIDTHS.get(ch, 556)
        glyph = ch.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)").encode("latin-1")
        s = b"%d 0 d0 BT /H 1000 Tf 0 0 Td (%s) Tj ET" % (w, glyph)
        procs[ch] = add(b"<< /Length %d >>\nstream\n" % len(s) + s + b"\nendstream")
    charprocs = b"<< " + b" ".join(b"/x%02x %d 0 R" % (code[ch], procs[ch]) for ch in letters) + b" >>"
    differences = b" ".join(b"%d /x%02x" % (code[ch], code[ch]) for ch in letters) + b" 32 /space"
    width_of = {code[ch]: WIDTHS.get(ch, 556) for ch in letters}
    width_of[32] = 278
    widths = b" ".join(b"%d" % width_of.get(c, 0) for c in range(1, 160))
    font = add(b"<< /Type /Font /Subtype /Type3 /FontBBox [0 -220 1000 950] /FontMatrix [0.001 0 0 0.001 0 0] "
               b"/CharProcs " + charprocs + b" /Encoding << /Type /Encoding /Differences [" + differences +
               b"] >> /FirstChar 1 /LastChar 159 /Widths [" + widths + b"] /Resources << /Font << /H %d 0 R >> >> >>"
               % helv)

    def encode(line):
        return b"(" + b"".join(b"\\%03o" % (32 if ch == " " else code[ch]) for ch in line) + b")"

    content = (b"BT /T3 12 Tf 72 720 Td 16 TL " + b" T* ".join(encode(l) + b" Tj" for l in lines) + b" ET\n"
               b"BT /H 10 Tf 290 40 Td (Page 1) Tj ET\n")
    stream = add(b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream")
    pages = len(objects) + 2
    page = add(b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 612 792] /Contents %d 0 R "
               b"/Resources << /Font << /T3 %d 0 R /H %d 0 R >> >> >>" % (pages, stream, font, helv))
    assert add(b"<< /Type /Pages /Kids [%d 0 R] /Count 1 >>" % page) == pages
    catalog = add(b"<< /Type /Catalog /Pages %d 0 R >>" % pages)

    data = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(data))
        data += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    data += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    data += b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, catalog, xref)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
