#!/usr/bin/env python3
"""Writes the Lotus 1-2-3 test samples of this folder, record by record: a
worksheet of labels, integers and numbers with a gap between its columns,
and a damaged copy cut in the middle of a record.
Run it from anywhere: python3 tests/data/works/make_samples.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def record(kind, data=b''):
    return struct.pack('<HH', kind, len(data)) + data


def label(col, row, text):
    # Format byte, column, row, then the text after its alignment prefix.
    return record(0x0F, bytes([0xFF]) + struct.pack('<HH', col, row) + b"'" + text.encode('cp437') + b'\0')


def integer(col, row, value):
    return record(0x0D, bytes([0xFF]) + struct.pack('<HHh', col, row, value))


def number(col, row, value):
    return record(0x0E, bytes([0xFF]) + struct.pack('<HHd', col, row, value))


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


SHEET = (record(0x00, struct.pack('<H', 0x0406)) +   # beginning of file, 1-2-3 release 2
         record(0x06, struct.pack('<HHHH', 0, 0, 3, 2)) +  # the used range
         label(0, 0, 'Item') + label(1, 0, 'Count') + label(3, 0, 'Price') +
         label(0, 1, 'Apples') + integer(1, 1, 12) + number(3, 1, 0.5) +
         label(0, 2, 'Pears') + integer(1, 2, 7) + number(3, 2, 1.25) +
         record(0x01))                                 # end of file
write('sheet.wk1', SHEET)
write('sheet_named.xls', SHEET)
write('truncated.wk1', SHEET[:40])
