#!/usr/bin/env python3
"""Writes the WordPerfect test samples of this folder: minimal WordPerfect
5.1 documents (a 16-byte prefix, then text with hard returns), one of them
marked as encrypted, and a damaged one.
Run it from anywhere: python3 tests/data/wordperfect/make_samples.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def wp51(text, key=0):
    # "\xFFWPC", the document's offset, product 1 (WordPerfect), file type 10
    # (document), version 0.1 (5.1), the encryption key, reserved.
    prefix = b'\xffWPC' + struct.pack('<I', 16) + bytes([1, 10, 0, 1]) + struct.pack('<H', key) + b'\0\0'
    return prefix + text


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


# 0x0A ends a paragraph (hard return); 0xC0 starts an extended character
# (character set, number, then 0xC0 again): set 1, character 41 is "é".
LETTER = (b'Dear reader,\x0a'
          b'this letter was written in WordPerfect 5.1 and caf\xc0\x29\x01\xc0 is spelled right.\x0a'
          b'Yours truly\x0a')
write('letter.wpd', wp51(LETTER))
write('letter_named.doc', wp51(LETTER))
write('encrypted.wpd', wp51(b'Secret words\x0a', key=0x5A5A))
write('truncated.wpd', wp51(LETTER)[:12])
