#!/usr/bin/python3
"""Writes a PDF page whose words are drawn as outlines (filled paths, no
text), as design programs leave text converted to curves, and a second page
with a diagram of a few large shapes and no words.  Needs python3-cairo.
Usage: outlined_text.py TEXT-FILE OUT.pdf (run once; the output is committed)"""
import sys
import textwrap
import cairo

text, out = sys.argv[1], sys.argv[2]
paragraph = open(text, encoding="utf-8").read().split("\n")[0]
surface = cairo.PDFSurface(out, 612, 792)
cr = cairo.Context(surface)
cr.select_font_face("DejaVu Sans", cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_NORMAL)
cr.set_font_size(12)
y = 72
for line in textwrap.wrap(paragraph, 75):
    cr.move_to(72, y)
    cr.text_path(line)
    y += 17
cr.fill()
cr.show_page()
cr.rectangle(100, 100, 300, 200)
cr.stroke()
cr.arc(300, 500, 120, 0, 6.283)
cr.fill()
cr.show_page()
surface.finish()
