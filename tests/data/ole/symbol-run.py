#!/usr/bin/env python3
# Turns the Symbol-font "a" and "b" of symbols.doc (as LibreOffice writes
# them, in runs of their own) into what Word writes for a symbol inserted
# from a font's character map: a "(" in the text whose run names the font
# and the character (sprmCSymbol): alpha and the degree sign.
# Usage: symbol-run.py symbols.doc   (needs python3-olefile)
import struct
import sys

import olefile

path = sys.argv[1]
ole = olefile.OleFileIO(path, write_mode=True)
word = bytearray(ole.openstream("WordDocument").read())
table = ole.openstream("1Table" if struct.unpack_from("<H", word, 10)[0] & 0x0200 else "0Table").read()
csw = struct.unpack_from("<H", word, 32)[0]
lw = 34 + 2 * csw
blob = lw + 2 + 4 * struct.unpack_from("<H", word, lw)[0] + 2
# The Symbol font's index in the font table.
fc_ffn, _ = struct.unpack_from("<II", word, blob + 15 * 8)
symbol, at = None, fc_ffn + 4
for i in range(struct.unpack_from("<H", table, fc_ffn)[0]):
    size = table[at]
    if table[at + 40:at + 1 + size].decode("utf-16le").split("\0")[0] == "Symbol" and symbol is None:
        symbol = i
    at += 1 + size
fc_bte, lcb_bte = struct.unpack_from("<II", word, blob + 12 * 8)
n = (lcb_bte - 4) // 8


def patch(text, code):
    # The last character of text (stored as UTF-16) becomes the symbol, its
    # run's properties the symbol alone.
    fc = word.find(text.encode("utf-16le")) + 2 * (len(text) - 1)
    assert fc >= 2 * (len(text) - 1)
    word[fc:fc + 2] = b"(\0"
    for i in range(n):
        page = struct.unpack_from("<I", table, fc_bte + 4 * (n + 1) + 4 * i)[0] * 512
        crun = word[page + 511]
        for r in range(crun):
            first, last = struct.unpack_from("<II", word, page + 4 * r)
            if first <= fc < last:
                chpx = page + 2 * word[page + 4 * (crun + 1) + r]
                assert word[chpx] >= 6
                word[chpx:chpx + 7] = bytes([6]) + struct.pack("<HHH", 0x6A09, symbol, code)


assert symbol is not None
patch("Angle a", 0xF061)
patch("at 20b", 0xF0B0)
ole.write_stream("WordDocument", bytes(word))
ole.close()
