#!/usr/bin/env python3
"""Writes the MuPDF-read test samples of this folder: an SVG drawing with
text (and a title and description that are no text), a comic-book archive
of two pictures without text, one of a page of printed words (drawn by
ImageMagick, for OCR), and damaged copies.  XPS samples need a font
inside them; the tests build those from a font of the system.
Run it from anywhere: python3 tests/data/fitz/make_samples.py"""
import os
import subprocess
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

SVG = '''<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="400" height="200" viewBox="0 0 400 200">
  <title>Secret title</title>
  <desc>A description nobody sees</desc>
  <rect x="10" y="10" width="380" height="180" fill="none" stroke="black"/>
  <text x="20" y="50" font-family="sans-serif" font-size="20">Quarterly results</text>
  <text x="20" y="90" font-family="sans-serif" font-size="16">Sales <tspan font-weight="bold">rose</tspan> sharply</text>
</svg>
'''


def png(width, height, shade):
    """A grey PNG of one shade."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    rows = b''.join(b'\0' + bytes([shade]) * width for _ in range(height))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 0, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


write('drawing.svg', SVG.encode('utf-8'))
write('truncated.svg', SVG.encode('utf-8')[:200])
with zipfile.ZipFile(os.path.join(HERE, 'pictures.cbz'), 'w', zipfile.ZIP_STORED) as z:
    z.writestr('page01.png', png(60, 80, 200))
    z.writestr('page02.png', png(60, 80, 120))
    z.writestr('ComicInfo.xml', '<?xml version="1.0"?><ComicInfo><Title>Secret</Title></ComicInfo>')

words = subprocess.run(
    ['convert', '-density', '300', '-units', 'PixelsPerInch', '-background', 'white', '-fill', 'black',
     '-font', '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf', '-pointsize', '14', '-size', '1800x',
     'caption:The hero opens the door and finds the treasure.', '-bordercolor', 'white', '-border', '150',
     '-threshold', '50%', '-depth', '1', 'png:-'], check=True, capture_output=True).stdout
with zipfile.ZipFile(os.path.join(HERE, 'words.cbz'), 'w', zipfile.ZIP_STORED) as z:
    z.writestr('page01.png', words)
