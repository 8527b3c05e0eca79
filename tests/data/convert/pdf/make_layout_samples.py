#!/usr/bin/env python3
"""Writes the PDF samples of the page layout tests (run once; the output is
committed).  Columns drawn line by line across the page and words set apart
by positioning alone are written byte by byte, with make_samples.py's writer;
hyphenation, right-to-left scripts and ligature characters are written by
LibreOffice from the flat documents in src/, as word processors write them."""
import os
import shutil
import subprocess
import tempfile

from make_samples import HERE, pdf_text, text_lines, write_pdf


def write_comments():
    """Reviewers' comments of each kind beside the page's text; kinds whose
    words are drawn (a text box) or repeated (a pop-up) or that are no
    comment (a link, a form field), hidden ones and empty ones; a page whose
    only text is a sticky note."""
    def annot(subtype, contents, extra=b""):
        return (b"<< /Type /Annot /Subtype /" + subtype + b" /Rect [72 600 90 618] /Contents " +
                pdf_text(contents) + extra + b" >>")
    first = [
        annot(b"Text", "A sticky note."),
        annot(b"Highlight", "Why this figure?", b" /QuadPoints [72 700 200 700 72 688 200 688]"),
        annot(b"Popup", "Why this figure?"),
        annot(b"FreeText", "Boxed words", b" /DA (/Helv 12 Tf 0 g)"),
        annot(b"Link", "Not a comment"),
        annot(b"Widget", "Not a comment", b" /FT /Tx /T (field)"),
        annot(b"Text", "Hidden note", b" /F 2"),
        annot(b"Text", "  "),
        annot(b"Ink", "Gr\u00fc\u00dfe\rsecond line", b" /InkList [[72 600 80 610]]"),
    ]
    write_pdf("comments.pdf", [text_lines("F1", 12, 72, 700, [b"(The body of page one.)"]), b""],
              annots=[first, [annot(b"Text", "Only a note on this page.")]])


def write_overprints():
    """Words drawn again over themselves, as fake bold and shadows are: a
    heading three times a quarter point apart, a grey shadow a point off, a
    bold word drawn twice inside a sentence (the pen goes back), a caption
    only partly over a label (both words stay), letters that repeat closely
    in condensed type, and the next page's own copy of the heading."""
    page = b""
    for dx, dy in ((0, 0), (0.25, 0), (0, 0.25)):
        page += b"BT /F1 14 Tf %.2f %.2f Td (Fake bold heading) Tj ET\n" % (72 + dx, 700 + dy)
    page += (b"0.5 g BT /F1 14 Tf 73 659 Td (Shadowed words) Tj ET 0 g BT /F1 14 Tf 72 660 Td (Shadowed words) Tj ET\n"
             b"BT /F1 11 Tf 72 620 Td (Only one ) Tj ET BT /F1 11 Tf 120.8 620 Td (bold) Tj ET "
             b"BT /F1 11 Tf 121.1 620 Td (bold) Tj ET BT /F1 11 Tf 143 620 Td ( word here.) Tj ET\n"
             b"BT /F1 11 Tf 72 580 Td (Submarine) Tj ET BT /F1 11 Tf 72 580 Td (Submit) Tj ET\n"
             b"BT /F1 10 Tf -0.5 Tc 72 540 Td (Hillbilly skiing, 1111 iii) Tj ET\n")
    write_pdf("overprints.pdf", [page, text_lines("F1", 14, 72, 700, [b"(Fake bold heading)"])])


def write_drop_caps():
    """Drop caps drawn before their lines, as word processors draw them: an
    all-capital first word ("T" and "HE"), and a large "Q" beside a question
    in smaller type, whose own first word is whole ("What")."""
    page = (b"BT /F1 52 Tf 72 660 Td (T) Tj ET\n" +
            text_lines("F1", 12, 108, 690, [b"(HE FERRY left at seven, and the harbour)", b"(office opened its doors soon after,)",
                                            b"(as it does every morning of the year.)"], leading=15) +
            b"BT /F1 52 Tf 72 560 Td (Q) Tj ET\n" +
            text_lines("F1", 12, 114, 590, [b"(What does a ticket for the early)", b"(ferry cost on a weekday?)",
                                            b"(Four euros, and children travel free.)"], leading=15))
    write_pdf("drop_caps_drawn_first.pdf", [page])


def write_off_page():
    """Text a viewer does not show: beside the page, above it, under the part
    the crop box cuts off, and a word half on the page; then a page whose
    every word lies outside its box (a wrong box), which keeps them."""
    page = (b"BT /F1 12 Tf 72 700 Td (Visible words on the page.) Tj ET\n"
            b"BT /F1 12 Tf -300 700 Td (Left of the page.) Tj ET\n"
            b"BT /F1 12 Tf 72 900 Td (Above the page.) Tj ET\n"
            b"BT /F1 12 Tf 72 30 Td (Cut off by the crop box.) Tj ET\n"
            b"BT /F1 12 Tf 580 650 Td (Halfway) Tj ET\n")
    wrong = b"BT /F1 12 Tf 72 1000 Td (Every word is above the box.) Tj ET\n"
    write_pdf("off_page.pdf", [page, wrong], crop=b"[0 50 612 792]")


def write_form():
    """A filled form whose appearances the viewer draws (NeedAppearances):
    a text field without one, a ticked check box (drawn in Zapf Dingbats), a
    choice, a multi-line field whose appearance is stale (empty), and a
    hidden field."""
    page = (b"BT /F1 12 Tf 72 700 Td (Name:) Tj ET BT /F1 12 Tf 72 660 Td (Subscribe:) Tj ET\n"
            b"BT /F1 12 Tf 72 620 Td (Country:) Tj ET BT /F1 12 Tf 72 580 Td (Address:) Tj ET\n")
    field = (b"<< /Type /Annot /Subtype /Widget /FT /%s /T (%s) %s /Rect [%s] /DA (%s) >>")
    widgets = [field % (b"Tx", b"name", b"/V (Jane Q. Example)", b"140 695 400 715", b"/Helv 12 Tf 0 g"),
               field % (b"Btn", b"subscribe", b"/V /Yes /AS /Yes", b"140 655 155 670", b"/ZaDb 0 Tf 0 g"),
               field % (b"Ch", b"country", b"/Ff 131072 /V (Norway) /Opt [(Denmark) (Norway)]", b"140 615 300 635",
                        b"/Helv 12 Tf 0 g"),
               field % (b"Tx", b"address", b"/Ff 4096 /V (12 High Street\\rSpringfield) /AP << /N EMPTYAP >>",
                        b"140 545 400 595", b"/Helv 12 Tf 0 g"),
               field % (b"Tx", b"secret", b"/F 2 /V (Hidden value)", b"400 695 500 715", b"/Helv 12 Tf 0 g")]
    write_pdf("form.pdf", [page], annots=[widgets],
              form=b"/NeedAppearances true /DA (/Helv 0 Tf 0 g)")


def write_letter_spaced():
    """Titles set with wide tracking, which MuPDF reads as one-letter words:
    capitals with words, one capital word, small letters with words; and
    what stays apart: small letters evenly apart (a formula), a short run."""
    page = (b"BT /F1 10 Tf 3 Tc 72 700 Td (ANNUAL REPORT 2024) Tj ET\n"
            b"BT /F1 10 Tf 5 Tc 72 680 Td (CONTENTS) Tj ET\n"
            b"BT /F1 10 Tf 3 Tc 72 660 Td (spaced out words) Tj ET\n"
            b"BT /F1 10 Tf 72 640 Td (with x y z w v as variables) Tj ET\n"
            b"BT /F1 10 Tf 3 Tc 72 620 Td (NO) Tj ET\n")
    write_pdf("letter_spaced.pdf", [page])


def write_attachments():
    """Files embedded in a PDF: attached to the document (text, an XML
    invoice as e-invoices carry it, a whole PDF, a picture, a Unicode name)
    and to a comment on the page."""
    png = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010800000000"
                        "3a7e9b550000000a49444154789c63600000000200015e2b3c3a0000000049454e44ae426082")
    with open("two_pages.pdf", "rb") as f:
        nested = f.read()
    files = [("notes.txt", b"Minutes of the harbour meeting: the ferry keeps its timetable.\n", None),
             ("invoice.xml", b"<?xml version='1.0'?><Invoice><Seller>Harbour Office Ltd</Seller>"
                             b"<Total>119.00</Total></Invoice>", None),
             ("report.pdf", nested, None),
             ("logo.png", png, None),
             ("\u00dcbersicht.txt", "Gr\u00fc\u00dfe aus dem Hafen.\n".encode("utf-8"), None),
             ("figures.csv", b"month,passengers\nMay,1200\n", 0)]
    write_pdf("attachments.pdf", [text_lines("F1", 12, 72, 700, [b"(The covering letter.)"])], files=files)


def write_actual_text():
    """Marked content that gives the text its glyphs stand for (ActualText):
    one glyph drawn for two characters nobody could map, an emoji drawn as
    one glyph, two glyphs standing for one letter, a hyphen standing for
    nothing; a span over two lines and spans within a span, which change
    nothing or only as the outer span says."""
    page = (b"BT /F1 12 Tf 72 700 Td (Missing: ) Tj /Span <</ActualText <FEFF4E16>>> BDC (?) Tj EMC "
            b"/Span <</ActualText <FEFF754C>>> BDC (?) Tj EMC ET\n"
            b"BT /F1 12 Tf 72 660 Td (Flag: ) Tj /Span <</ActualText <FEFFD83CDDE9D83CDDEA>>> BDC (X) Tj EMC "
            b"( end) Tj ET\n"
            b"BT /F1 12 Tf 72 620 Td (Fewer: c) Tj /Span <</ActualText <FEFF0153>>> BDC (oe) Tj EMC (ur) Tj ET\n"
            b"BT /F1 12 Tf 72 580 Td (Co) Tj /Span <</ActualText ()>> BDC (-) Tj EMC (operate) Tj ET\n"
            b"/Span <</ActualText (Replaced)>> BDC BT /F1 12 Tf 72 540 Td (Two) Tj ET "
            b"BT /F1 12 Tf 72 520 Td (lines) Tj ET EMC\n"
            b"BT /F1 12 Tf 72 480 Td /Span <</ActualText (Outer)>> BDC /P BMC (In) Tj EMC "
            b"/Span <</ActualText (Inner)>> BDC (x) Tj EMC EMC ET\n")
    write_pdf("actual_text.pdf", [page])


def write_rtl_positioned():
    """Right-to-left words drawn from their left end, as typesetters draw
    them, with no space glyphs: the words are set apart by positioning
    alone.  Hebrew words; vowelled Arabic whose marks (no width) are drawn
    before their letters; a running head drawn in three pieces, its middle
    first, then its left and right ends; Hebrew words drawn from their
    right end, as some typesetters draw them; an Arabic word with a
    ligature in a left-to-right line; and words drawn upside down."""
    letters = ["\u05e9", "\u05dc", "\u05d5", "\u05dd", "\u05e2", "\u05e1", "\u05e4", "\u05e8", "\u05de", "\u05d3",
               "\u05e7", "\u0628", "\u0633", "\u0645", "\u0627", "\u0644", "\u0647", "\u0650", "\u064e", "2",
               "\ufefc"]
    code = {c: 128 + i for i, c in enumerate(letters)}
    # Helvetica has none of these glyphs: MuPDF puts in its own, 278 units wide.
    widths = b" ".join(b"0" if c in ("\u0650", "\u064e") else b"278" for c in letters)
    names = b" ".join(b"/uni%04X" % ord(c) for c in letters)
    font = (b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /FirstChar 128 /LastChar %d /Widths [%s] "
            b"/Encoding << /Type /Encoding /Differences [128 %s] >> >>" % (127 + len(letters), widths, names))

    def drawn(*words):
        """A TJ array of the words, each given in the order drawn, left to right, 0.3 em apart."""
        parts = [b"<" + "".join("%02X" % code[c] for c in w).encode() + b">"
                 for w in words]
        return b"[" + b" -300 ".join(parts) + b"] TJ"

    # "shalom olam" and "bismi allahi", written in reading order, drawn from the left.
    page = b"BT /F4 12 Tf 300 700 Td " + drawn("\u05dd\u05dc\u05d5\u05e2", "\u05dd\u05d5\u05dc\u05e9") + b" ET\n"
    page += (b"BT /F4 12 Tf 300 670 Td " +
             drawn("\u0650\u0647\u064e\u0644\u0644\u0627", "\u0650\u0645\u0633\u0650\u0628") + b" ET\n")
    # "sefer" at the right, "amud 2" in the middle, "perek" at the left.
    page += (b"BT /F4 12 Tf 250 640 Td " + drawn("2", "\u05d3\u05d5\u05de\u05e2") + b" ET\n"
             b"BT /F4 12 Tf 72 640 Td " + drawn("\u05e7\u05e8\u05e4") + b" ET\n"
             b"BT /F4 12 Tf 450 640 Td " + drawn("\u05e8\u05e4\u05e1") + b" ET\n")
    # The same words drawn from their right end, in reading order, each
    # glyph placed to the left of the one before.
    back = lambda w: b" 556 ".join(b"<%02X>" % code[c] for c in w)
    page += (b"BT /F4 12 Tf 300 610 Td [" + back("\u05e9\u05dc\u05d5\u05dd") + b" 856 " +
             back("\u05e2\u05d5\u05dc\u05dd") + b"] TJ ET\n")
    # A left-to-right line with an Arabic word drawn from its right end in
    # it ("salam", its lam-alef one glyph that a marked span says stands for
    # its two letters), as many producers draw it: MuPDF breaks the line
    # where the direction changes.
    page += (b"BT /F1 12 Tf 72 580 Td (The word ) Tj ET\n"
             b"BT /F4 12 Tf 150 580 Td <%02X> Tj -3.336 0 Td /Span << /ActualText <FEFF06440627> >> BDC <%02X> Tj EMC "
             b"-3.336 0 Td <%02X> Tj ET\n" % (code["\u0633"], code["\ufefc"], code["\u0645"]) +
             b"BT /F1 12 Tf 160 580 Td (means peace.) Tj ET\n")
    # Words drawn upside down (a mirrored text matrix), from their left end.
    page += b"BT /F4 12 Tf 1 0 0 -1 300 550 Tm " + drawn("\u05dd\u05dc\u05d5\u05e2", "\u05dd\u05d5\u05dc\u05e9") + b" ET\n"
    write_pdf("rtl_positioned.pdf", [page], extra_fonts={"F4": font})


def write_xref_loop():
    """An incremental update whose cross-reference section names itself as
    the previous one, so that the chain loops and leaves out every object
    the update did not touch (the page tree among them)."""
    import re
    with open("two_pages.pdf", "rb") as f:
        data = f.read()
    size = int(re.search(rb"/Size (\d+)", data).group(1))
    root = re.search(rb"/Root (\d+ \d+ R)", data).group(1)
    at = len(data)
    data += (b"xref\n0 1\n0000000000 65535 f \ntrailer << /Size %d /Root %s /Prev %d >>\nstartxref\n%d\n%%%%EOF\n"
             % (size, root, at, at))
    with open("xref_loop.pdf", "wb") as f:
        f.write(data)


def main():
    os.chdir(HERE)
    write_xref_loop()
    write_rtl_positioned()
    write_actual_text()
    write_attachments()
    write_letter_spaced()
    write_drop_caps()
    write_off_page()
    write_form()
    write_comments()
    write_overprints()
    # Two columns, drawn a left line, then the right line beside it.
    left = [b"(Left column line one about apples)", b"(and pears growing in the garden)",
            b"(of the old house near the river.)", b"(The second paragraph of the left)",
            b"(column goes on for a while too.)"]
    right = [b"(Right column starts with oranges)", b"(and lemons from the southern)",
             b"(market that opens every morning.)", b"(Its second paragraph also has)",
             b"(several lines of plain words.)"]
    page = text_lines("F1", 16, 72, 740, [b"(A title across both columns)"])
    for i, (l, r) in enumerate(zip(left, right)):
        page += text_lines("F1", 10, 72, 700 - 13 * i, [l]) + text_lines("F1", 10, 320, 700 - 13 * i, [r])
    page += text_lines("F1", 10, 72, 600, [b"(A closing line across the page after both columns end here.)"])
    write_pdf("interleaved_columns.pdf", [page])

    # Words set apart by positioning alone, as tight or justified type does,
    # next to kerning, a letter of a slanted font with room after it, a
    # letter-spaced title and accents placed on their letters.
    page = (b"BT /F1 10 Tf 72 700 Td [(The)-130(role)-130(of)-130(mentorship)-130(in)-130(tight)-130(type.)] TJ ET\n"
            b"BT /F1 10 Tf 72 680 Td [(kern)-30(ing)] TJ ET\n"
            b"BT /F3 10 Tf 72 660 Td [(P)-140(R)] TJ ET\n"
            b"BT /F1 10 Tf 1.2 Tc 72 640 Td (SPACED TITLE) Tj ET\n"
            # Accents drawn as glyphs of their own over the letter before
            # them and, as TeX places them, the letter after them.
            b"BT /F1 10 Tf 72 620 Td [(prote)444(\xb4)111(ge)444(\xb4)111( caf)(\xb4)444(e)] TJ ET\n")
    write_pdf("drawn_spaces.pdf", [page], oblique=True)

    with tempfile.TemporaryDirectory() as work:
        for name in ("hyphenation", "right_to_left", "right_to_left_marks", "right_to_left_forms", "ligatures", "drop_caps"):
            subprocess.run(["soffice", "-env:UserInstallation=file://%s/profile" % work, "--headless",
                            "--infilter=OpenDocument Text Flat XML", "--convert-to", "pdf", "--outdir", work,
                            "src/%s.fodt" % name], check=True, stdout=subprocess.DEVNULL)
            shutil.copy(os.path.join(work, name + ".pdf"), name + ".pdf")


if __name__ == "__main__":
    main()
