#!/usr/bin/env python3
"""Writes the e-book test samples of this folder: a FictionBook with a
description (properties, not text), notes and a picture; the same zipped;
a PalmDoc and a MOBI book built record by record; and damaged copies.
Run it from anywhere: python3 tests/data/ebook/make_samples.py"""
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

FB2 = '''<?xml version="1.0" encoding="UTF-8"?>
<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0" xmlns:l="http://www.w3.org/1999/xlink">
<description>
<title-info><genre>prose</genre><author><first-name>Secret</first-name><last-name>Author</last-name></author>
<book-title>Hidden Title</book-title><annotation><p>Blurb words</p></annotation><lang>en</lang></title-info>
<document-info><author><nickname>maker</nickname></author><date>2020</date><id>x1</id><version>1.0</version></document-info>
</description>
<body>
<title><p>Chapter One</p></title>
<section>
<p>It was a <emphasis>dark</emphasis> and stormy night<a l:href="#n1" type="note">[1]</a>.</p>
<poem><stanza><v>Roses are red</v><v>Violets are blue</v></stanza></poem>
<image l:href="#pic"/>
<p>Всё хорошо.</p>
</section>
</body>
<body name="notes">
<section id="n1"><title><p>1</p></title><p>A note at the end.</p></section>
</body>
<binary id="pic" content-type="image/png">iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAAAAAA6fptVAAAACklEQVQI12NgAAAAAgAB4iG8MwAAAABJRU5ErkJggg==</binary>
</FictionBook>
'''


def palm_database(name, kind, creator, records):
    """A Palm database: header, record list, two bytes of gap, records."""
    count = len(records)
    header = (name.encode('latin-1').ljust(32, b'\0') +
              struct.pack('>HHIIIIII', 0, 0, 0, 0, 0, 0, 0, 0) +
              kind + creator + struct.pack('>IIH', 0, 0, count))
    offset = len(header) + 8 * count + 2
    entries = b''
    for i, r in enumerate(records):
        entries += struct.pack('>IB', offset, 0) + (2 * i).to_bytes(3, 'big')
        offset += len(r)
    return header + entries + b'\0\0' + b''.join(records)


def text_records(text, size=4096):
    return [text[i:i + size] for i in range(0, len(text), size)] or [b'']


def palmdoc_compress(data):
    """PalmDoc's LZ77: copies of 3 to 10 bytes from up to 2047 back, literal
    runs of 1 to 8 bytes, and a space joined to the character after it."""
    out = bytearray()
    i = 0
    while i < len(data):
        best_len, best_dist = 0, 0
        for dist in range(1, min(i, 2047) + 1):
            n = 0
            while n < 10 and i + n < len(data) and data[i + n - dist] == data[i + n]:
                n += 1
            if n > best_len:
                best_len, best_dist = n, dist
        if best_len >= 3:
            pair = 0x8000 | (best_dist << 3) | (best_len - 3)
            out += struct.pack('>H', pair)
            i += best_len
        elif data[i] == 0x20 and i + 1 < len(data) and 0x40 <= data[i + 1] < 0x80:
            out.append(data[i + 1] ^ 0x80)
            i += 2
        elif 0x09 <= data[i] < 0x80 or data[i] == 0:
            out.append(data[i])
            i += 1
        else:
            out += bytes([1, data[i]])
            i += 1
    return bytes(out)


def palmdoc(text):
    body = text_records(text)
    # Compression 1 (none), text length, record count, record size, position.
    first = struct.pack('>HHIHHI', 1, 0, len(text), len(body), 4096, 0)
    return palm_database('Palm Sample', b'TEXt', b'REAd', [first] + body)


def record0(compression, text_length, text_records_count, title, version, extra_flags, fields=()):
    """A MOBI book's first record: the PalmDOC header, then the MOBI header
    (UTF-8, no indexes, the format version given) with fields (offset from
    the record's start, struct format, values) set, then the title."""
    size = 248 if version >= 8 else 232
    header = bytearray(size)
    struct.pack_into('>4sIII', header, 0, b'MOBI', size, 2, 65001)  # book, UTF-8
    struct.pack_into('>II', header, 16, 1, version)                  # unique id, format version
    for off in range(24, 64, 4):                                     # no indexes
        struct.pack_into('>I', header, off, 0xFFFFFFFF)
    name = title.encode('utf-8')
    struct.pack_into('>III', header, 64, text_records_count + 1, 16 + size, len(name))  # first non-text record, name
    struct.pack_into('>I', header, 76, 9)                            # locale
    struct.pack_into('>I', header, 88, version)                      # minimum reader version
    struct.pack_into('>I', header, 92, 0xFFFFFFFF)                   # first image record: none
    for offset, fmt, *values in fields:
        struct.pack_into(fmt, header, offset - 16, *values)
    struct.pack_into('>H', header, 0xF2 - 16, extra_flags)
    return (struct.pack('>HHIHHI', compression, 0, text_length, text_records_count, 4096, 0) + bytes(header) +
            name + b'\0\0')


def mobi(html, title='Mobi Sample', compressed=False):
    body = text_records(html)
    extra_flags = 0
    if compressed:
        # Each record compressed on its own, then one byte of a character
        # split between records (none here) and one trailing index entry.
        body = [palmdoc_compress(r) + b'\x00\x81' for r in body]
        extra_flags = 3
    first = record0(2 if compressed else 1, len(html), len(body), title, 6, extra_flags)
    return palm_database('Mobi_Sample', b'BOOK', b'MOBI', [first] + body)


def huffman_lengths(counts):
    """Code lengths of a Huffman code for the given symbol counts."""
    import heapq
    heap = [(c, i, [i]) for i, c in enumerate(counts)]
    heapq.heapify(heap)
    lengths = [0] * len(counts)
    tie = len(counts)
    while len(heap) > 1:
        c1, _, a = heapq.heappop(heap)
        c2, _, b = heapq.heappop(heap)
        for i in a + b:
            lengths[i] += 1
        heapq.heappush(heap, (c1 + c2, tie, a + b))
        tie += 1
    return lengths


class HuffCoder:
    """Mobipocket's Huffman dictionary compression.  Codes are given from the
    top of the 32-bit space down, shortest first, so that a longer code is
    always smaller than a shorter one; within one length, codes fall as the
    phrase number rises, and the tables' greatest code of a length is offset
    by the number of its first phrase, so that greatest minus code is the
    phrase's number.  Phrases are stored as they are, or packed (a list of
    other phrases' numbers) to be unpacked with the same codes."""

    def __init__(self, phrases, counts):
        lengths = huffman_lengths(counts)
        assert max(lengths) <= 32 and max(lengths) > 8, lengths
        order = sorted(range(len(phrases)), key=lambda i: (lengths[i], i))
        self.number = {old: new for new, old in enumerate(order)}
        self.phrases = [phrases[i] for i in order]
        self.lengths = [lengths[i] for i in order]
        self.code = [0] * len(order)
        top = 1 << 32
        self.min, self.max = [0] * 33, [0] * 33
        for length in range(1, 33):
            members = [n for n in range(len(order)) if self.lengths[n] == length]
            hi = (top >> (32 - length)) - 1
            for k, n in enumerate(members):
                self.code[n] = hi - k
            lo = hi - len(members) + 1
            if members:
                self.min[length], self.max[length] = lo, hi + members[0]
                top = lo << (32 - length)
            else:
                self.min[length], self.max[length] = top >> (32 - length), 0

    def encode(self, numbers):
        bits = ''.join(format(self.code[n], '0%db' % self.lengths[n]) for n in numbers)
        bits += '0' * (-len(bits) % 8)
        return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))

    def huff_record(self):
        first = []
        for b in range(256):
            entry = 9  # the code is longer than 8 bits: found from the tables
            for n, length in enumerate(self.lengths):
                if length <= 8 and self.code[n] == b >> (8 - length):
                    entry = length | 0x80 | (self.max[length] << 8)
                    break
            first.append(entry)
        lengths = []
        for length in range(1, 33):
            lengths += [self.min[length], self.max[length]]
        return (b'HUFF' + struct.pack('>IIIII', 24, 24, 24 + 1024, 0, 0) +
                struct.pack('>256I', *first) + struct.pack('>64I', *lengths))

    def cdic_records(self, packed, bits=4):
        """packed: phrase number -> the numbers it is made of."""
        records, total = [], len(self.phrases)
        for start in range(0, total, 1 << bits):
            entries = []
            for n in range(start, min(total, start + (1 << bits))):
                if n in packed:
                    data = self.encode(packed[n])
                    entries.append(struct.pack('>H', len(data)) + data)
                else:
                    entries.append(struct.pack('>H', 0x8000 | len(self.phrases[n])) + self.phrases[n])
            offsets, at = b'', 2 * len(entries)
            for e in entries:
                offsets += struct.pack('>H', at)
                at += len(e)
            records.append(b'CDIC' + struct.pack('>III', 16, total, bits) + offsets + b''.join(entries))
        return records


def tokenize(data, phrases):
    """Greedy longest match of data against the phrases (every byte is one)."""
    by_length = sorted(range(len(phrases)), key=lambda i: -len(phrases[i]))
    out, i = [], 0
    while i < len(data):
        for p in by_length:
            if data.startswith(phrases[p], i):
                out.append(p)
                i += len(phrases[p])
                break
    return out


def huff_mobi(html, title='Huffman Sample', loop=False):
    """A MOBI book whose text records are Huffman-coded: the phrases are
    every byte of the text, its frequent words, and one packed phrase made
    of others (with loop, a packed phrase that holds itself)."""
    words = {}
    for w in html.split():
        if len(w) > 3:
            words[w] = words.get(w, 0) + 1
    common = sorted(words, key=lambda w: -words[w])[:24]
    packed_text = b' of the compressed book, where words repeat'
    phrases = sorted(set(bytes([b]) for b in html)) + common + [packed_text]
    inner = tokenize(packed_text, phrases[:-1])
    body = text_records(html)
    tokens = [tokenize(r, phrases) for r in body]
    counts = [1] * len(phrases)
    for t in tokens + [inner]:
        for p in t:
            counts[p] += 1
    coder = HuffCoder(phrases, counts)
    packed_number = coder.number[len(phrases) - 1]
    inner_numbers = [packed_number] if loop else [coder.number[p] for p in inner]
    records = [coder.encode([coder.number[p] for p in t]) + b'\x00\x81' for t in tokens]
    huff = [coder.huff_record()] + coder.cdic_records({packed_number: inner_numbers})
    # The HUFF record, then the CDIC records, after the text.
    first = record0(17480, len(html), len(body), title, 6, 3, [(0x70, '>II', len(body) + 1, len(huff))])
    return palm_database('Huff_Sample', b'BOOK', b'MOBI', [first] + records + huff)


def kf8(flows, title='Kindle Sample'):
    """A KF8 book (.azw3): the flows one after the other in stored text
    records, and a flows' table (FDST) after them; no indexes."""
    text = b''.join(flows)
    body = text_records(text)
    bounds, at = b'', 0
    for f in flows:
        bounds += struct.pack('>II', at, at + len(f))
        at += len(f)
    fdst = b'FDST' + struct.pack('>II', 12, len(flows)) + bounds
    # The flows' table's record, one table.
    first = record0(1, len(text), len(body), title, 8, 0, [(0xC0, '>II', len(body) + 1, 1)])
    return palm_database('Kindle_Sample', b'BOOK', b'MOBI', [first] + body + [fdst])


# What a reader shows beyond paragraphs: note references and the notes'
# own titles, a poem's date, a citation's author, a table, in a book in the
# Cyrillic code page many FictionBook files use.
FEATURES = '''<?xml version="1.0" encoding="windows-1251"?>
<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0" xmlns:l="http://www.w3.org/1999/xlink">
<description><title-info><book-title>Not text</book-title></title-info></description>
<body><section><title><p>Глава первая</p></title>
<p>Text with a note<a l:href="#n1" type="note">1</a> and   spaces.</p><empty-line/>
<cite><p>Quoted words.</p><text-author>Cited Author</text-author></cite>
<poem><stanza><v>One verse</v></stanza><text-author>Poet</text-author><date>1901</date></poem>
<table><tr><th>Name</th><th>Value</th></tr><tr><td><p>First</p><p>cell</p></td><td>2</td></tr></table>
</section></body>
<body name="notes"><section id="n1"><title><p>1</p></title><p>The note.</p></section></body>
<binary id="x" content-type="image/png">QUJD</binary>
</FictionBook>
'''


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


write('book.fb2', FB2.encode('utf-8'))
write('features.fb2', FEATURES.encode('cp1251'))
with zipfile.ZipFile(os.path.join(HERE, 'book.fb2.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('book.fb2', FB2)
write('truncated.fb2', FB2.encode('utf-8')[:900])
write('palm.pdb', palmdoc(b'Palm text first paragraph.\nSecond paragraph of the Palm book.\n' * 3))
write('book.mobi', mobi(b'<html><head></head><body><p>Mobi text first paragraph.</p>'
                        b'<p>Second paragraph of the MOBI book.</p></body></html>'))
write('compressed.mobi', mobi(('<html><body>' + ''.join(
    f'<p>Paragraph {i} of the compressed book, where words repeat and repeat.</p>' for i in range(120)) +
    '<p>Ünïcödé at the end.</p></body></html>').encode('utf-8'), compressed=True))
HUFF_HTML = ('<html><body>' + ''.join(
    f'<p>Paragraph {i} of the compressed book, where words repeat and repeat.</p>' for i in range(120)) +
    '<p>Ünïcödé at the end.</p></body></html>').encode('utf-8')
write('huffman.mobi', huff_mobi(HUFF_HTML))
write('huffman-loop.mobi', huff_mobi(HUFF_HTML, loop=True))
# Two files, each a skeleton whose body the fragments after it fill, then
# a style sheet in a flow of its own.
SKELETON = ('<?xml version="1.0" encoding="UTF-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml"><head>'
            '<title>{}</title><link rel="stylesheet" href="kindle:flow:0001?mime=text/css"/></head>'
            '<body aid="0"><div aid="1"></div></body></html>')
write('kindle.azw3', kf8([
    (SKELETON.format('Chapter title shown once per file') +
     '<h1 aid="2">The Ferry</h1><p aid="3">First chapter, first paragraph.</p>'
     '<p aid="4">First chapter, last paragraph with Ünïcödé.</p>' +
     SKELETON.format('Chapter title shown once per file') +
     '<h1 aid="5">The Harbour</h1><p aid="6">Second chapter text.</p>').encode('utf-8'),
    b'p { margin: 0 } .hidden { display: none }']))
write('truncated.pdb', palmdoc(b'Some text that will be cut away entirely.\n')[:70])
