#!/usr/bin/env python3
"""Writes the small PDF samples of the PDF tests (run once; the output is
committed).  The PDFs are written byte by byte so that every feature a test
relies on is visible here: document information, page text in two fonts,
Greek letters through a font encoding, a page without text, a damaged file.
The encrypted samples are made from two_pages.pdf with `mutool clean`."""
import os
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def pdf_text(s):
    """A PDF text string: literal for ASCII, UTF-16BE with a byte-order mark otherwise."""
    if all(ord(c) < 128 for c in s):
        return b"(" + s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)").encode() + b")"
    return b"<FEFF" + s.encode("utf-16-be").hex().upper().encode() + b">"


def write_pdf(path, pages, info=None, compress=False, oblique=False, annots=None, crop=None, form=None,
              files=None, extra_fonts=None):
    """pages: list of content-stream byte strings; every page gets the fonts F1
    (Helvetica) and F2 (Helvetica with Greek letters at codes 128..), and F3
    (Helvetica-Oblique) when oblique; annots: for each page, a list of
    annotation dictionaries (bytes) written into its /Annots; crop: a crop
    box (bytes, "[x0 y0 x1 y1]") for every page; form: the entries of an interactive form whose fields are
    every page's widget annotations, with Helv and ZaDb as its fonts; files:
    embedded files (name, bytes, page): in the document's EmbeddedFiles
    when page is None, else attached to a comment on that page; extra_fonts:
    more fonts for every page, {name: font dictionary}."""
    objects = []  # object bodies, numbered from 1

    def add(body):
        objects.append(body)
        return len(objects)

    greek = b"/Alpha /lambda /phi /alpha /space /beta /eta /tau /alpha /omega /Omega /sigma"
    f1 = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
    f2 = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding << /Type /Encoding "
             b"/BaseEncoding /WinAnsiEncoding /Differences [128 " + greek + b"] >> >>")
    fonts = b"/F1 %d 0 R /F2 %d 0 R" % (f1, f2)
    if oblique:
        fonts += b" /F3 %d 0 R" % add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Oblique "
                                      b"/Encoding /WinAnsiEncoding >>")
    for name, body in (extra_fonts or {}).items():
        fonts += b" /%s %d 0 R" % (name.encode(), add(body))
    zadb = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >>") if form else None
    tree = []  # the EmbeddedFiles name tree's (name, file entry) pairs
    annots = [list(a) for a in annots] if annots else [[] for _ in pages]
    for name, data, on_page in files or []:
        stream = add(b"<< /Type /EmbeddedFile /Length %d /Params << /Size %d >> >>\nstream\n" % (len(data), len(data)) +
                     data + b"\nendstream")
        entry = b"<< /F %s /UF %s /EF << /F %d 0 R >> >>" % (pdf_text(name), pdf_text(name), stream)
        if on_page is None:
            tree.append((name, add(entry)))
        else:
            annots[on_page].append(b"<< /Type /Annot /Subtype /FileAttachment /Rect [500 700 520 720] /FS " + entry +
                                   b" /Contents " + pdf_text(name) + b" >>")
    widgets = []  # object numbers of every page's annotations, when they are a form's fields
    if form:
        # A field may name EMPTYAP as its appearance: a stale one that draws nothing.
        empty_ap = add(b"<< /Type /XObject /Subtype /Form /BBox [0 0 100 20] /Length 13 >>\nstream\n"
                       b"/Tx BMC\nEMC\n\nendstream")
        for page_annots in annots or []:
            widgets.append([add(a.replace(b"EMPTYAP", b"%d 0 R" % empty_ap)) for a in page_annots])
        annots = [[b"%d 0 R" % n for n in nums] for nums in widgets]
    pages_num = len(objects) + 1 + 2 * len(pages)  # the page tree comes after every page
    kids = []
    for number, content in enumerate(pages):
        data = zlib.compress(content) if compress else content
        filt = b" /Filter /FlateDecode" if compress else b""
        stream = add(b"<< /Length %d%s >>\nstream\n" % (len(data), filt) + data + b"\nendstream")
        page_annots = annots[number] if annots else []
        extra = b" /Annots [" + b" ".join(page_annots) + b"]" if page_annots else b""
        if crop:
            extra += b" /CropBox " + crop
        kids.append(add(b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 612 792] /Contents %d 0 R "
                        b"/Resources << /Font << %s >> >>%s >>" % (pages_num, stream, fonts, extra)))
    assert add(b"<< /Type /Pages /Kids [" + b" ".join(b"%d 0 R" % k for k in kids) +
               b"] /Count %d >>" % len(kids)) == pages_num
    acroform = b""
    if form:
        fields = b" ".join(b"%d 0 R" % n for nums in widgets for n in nums)
        acroform = b" /AcroForm << /Fields [%s] %s /DR << /Font << /Helv %d 0 R /ZaDb %d 0 R >> >> >>" % (
            fields, form, f1, zadb)
    names = b""
    if tree:
        names = b" /Names << /EmbeddedFiles << /Names [" + b" ".join(
            pdf_text(n) + b" %d 0 R" % o for n, o in sorted(tree)) + b"] >> >>"
    catalog = add(b"<< /Type /Catalog /Pages %d 0 R%s%s >>" % (pages_num, acroform, names))
    info_num = None
    if info:
        info_num = add(b"<< " + b" ".join(b"/" + k.encode() + b" " + pdf_text(v) for k, v in info.items()) + b" >>")

    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    trailer = b"<< /Size %d /Root %d 0 R" % (len(objects) + 1, catalog)
    if info_num:
        trailer += b" /Info %d 0 R" % info_num
    out += b"trailer\n" + trailer + b" >>\nstartxref\n%d\n%%%%EOF\n" % xref
    with open(path, "wb") as f:
        f.write(out)


def text_lines(font, size, x, y, lines, leading=None):
    leading = leading or size * 1.3
    body = b"BT /%s %d Tf %d %d Td %.1f TL\n" % (font.encode(), size, x, y, leading)
    for i, line in enumerate(lines):
        body += (b"" if i == 0 else b"T* ") + line + b" Tj\n"
    return body + b"ET\n"


def main():
    os.chdir(HERE)
    page1 = (text_lines("F1", 14, 72, 720, [b"(First page: the quarterly report)"]) +
             text_lines("F1", 11, 72, 600, [b"(Revenue grew in every region.)", b"(Costs stayed flat.)"]))
    # Greek through the F2 encoding: "Alpha beta omega" in Greek letters.
    page2 = (text_lines("F1", 14, 72, 720, [b"(Second page: the appendix)"]) +
             text_lines("F2", 14, 72, 600, [b"(\x80\x81\x82\x83\x84\x85\x86\x87\x88\x84\x89)"]))
    info = {"Title": "Quarterly report \u2014 \u03a3\u03b7\u03bc\u03b5\u03af\u03c9\u03c3\u03b7",
            "Author": "Ana Example", "Subject": "Test sample", "Keywords": "quarn, pdf, sample",
            "Creator": "make_samples.py"}
    write_pdf("two_pages.pdf", [page1, page2], info, compress=True)

    # A page with only a drawn frame: the document opens but has no text.
    write_pdf("no_text.pdf", [b"0.5 w 72 72 468 648 re S\n"], {"Title": "Frame only"})

    # Header and one torn object: nothing MuPDF can repair into a page tree.
    with open("damaged.pdf", "wb") as f:
        f.write(b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R\nstream\n\x00\xff garbage\n")

    # A title too long for the information buffer, in two-byte characters.
    write_pdf("long_title.pdf", [text_lines("F1", 12, 72, 720, [b"(Short body.)"])],
              {"Title": "\u00e9" * 3000})

    # User password "secret": the empty password does not open it.  Owner
    # password only: anyone may read it.
    subprocess.run(["mutool", "clean", "-E", "aes-128", "-U", "secret", "-O", "owner",
                    "two_pages.pdf", "password.pdf"], check=True)
    subprocess.run(["mutool", "clean", "-E", "rc4-128", "-U", "", "-O", "owner",
                    "two_pages.pdf", "owner_only.pdf"], check=True)

    if len(sys.argv) > 1:  # also the bundled example
        write_pdf(sys.argv[1], [text_lines("F1", 16, 72, 720, [b"(Quarn sample PDF)"]) +
                                text_lines("F1", 11, 72, 660, [b"(This page was written by hand, byte by byte.)",
                                                               b"(Its text layer is read by the pdf filter.)"])],
                  {"Title": "Quarn sample", "Author": "Quarn"})


if __name__ == "__main__":
    main()
