#!/usr/bin/env python3
"""Writes a two-page PDF of one 8-bit grey PNG scan (non-interlaced), the
scan covering each page as a scanner or scanning app leaves it:
page 1 has one visible line stamped on it (a page and Bates number), page 2
an invisible text layer with the scan's whole text, as an OCR program leaves
it.  Usage: stamp-scan.py SCAN.png DPI TEXT-FILE OUT.pdf"""
import struct
import sys
import textwrap
import zlib


def png_gray(path):
    data = open(path, 'rb').read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
    at, idat, size = 8, b'', None
    while at < len(data):
        length, kind = struct.unpack('>I4s', data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b'IHDR':
            w, h, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            assert depth == 8 and colour == 0 and interlace == 0, 'not 8-bit grey'
            size = (w, h)
        elif kind == b'IDAT':
            idat += body
        at += 12 + length
    return size, idat


def escape(text):
    return text.replace('\\', '\\\\').replace('(', '\\(').replace(')', '\\)')


def main(scan, dpi, text_file, out):
    (w, h), idat = png_gray(scan)
    pw, ph = w * 72.0 / float(dpi), h * 72.0 / float(dpi)
    lines = [l for para in open(text_file, encoding='utf-8').read().split('\n') for l in textwrap.wrap(para, 90)]
    image = (f'<< /Type /XObject /Subtype /Image /Width {w} /Height {h} /ColorSpace /DeviceGray '
             f'/BitsPerComponent 8 /Filter /FlateDecode /DecodeParms << /Predictor 15 /Colors 1 '
             f'/BitsPerComponent 8 /Columns {w} >> /Length {len(idat)} >>\nstream\n').encode() + idat + b'\nendstream'
    draw = f'q {pw:.2f} 0 0 {ph:.2f} 0 0 cm /Im0 Do Q\n'
    stamp = draw + 'BT /F1 9 Tf 36 14 Td (Page 1 of 2    ACME-000123) Tj ET\n'
    hidden = draw + 'BT 3 Tr /F1 10 Tf 54 %.2f Td 12 TL\n' % (ph - 60)
    hidden += ''.join(f'({escape(l)}) Tj T*\n' for l in lines) + 'ET\n'
    objects = [
        b'<< /Type /Catalog /Pages 2 0 R >>',
        b'<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>',
    ]
    resources = '<< /XObject << /Im0 5 0 R >> /Font << /F1 6 0 R >> >>'
    for content in (7, 8):
        objects.append(f'<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {pw:.2f} {ph:.2f}] '
                       f'/Resources {resources} /Contents {content} 0 R >>'.encode())
    objects.append(image)
    objects.append(b'<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>')
    for content in (stamp, hidden):
        raw = zlib.compress(content.encode('latin-1'))
        objects.append(f'<< /Length {len(raw)} /Filter /FlateDecode >>\nstream\n'.encode() + raw + b'\nendstream')
    pdf = bytearray(b'%PDF-1.4\n')
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(pdf))
        pdf += f'{number} 0 obj\n'.encode() + body + b'\nendobj\n'
    xref = len(pdf)
    pdf += f'xref\n0 {len(objects) + 1}\n0000000000 65535 f \n'.encode()
    pdf += b''.join(f'{o:010d} 00000 n \n'.encode() for o in offsets)
    pdf += f'trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n'.encode()
    open(out, 'wb').write(pdf)


if __name__ == '__main__':
    main(*sys.argv[1:])
