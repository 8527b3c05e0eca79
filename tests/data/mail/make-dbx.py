"""Writes Outlook Express mail folders for the tests, in the layout the
program keeps them: version 5/6 .dbx files (a header of 0x24BC bytes, tree
nodes, entries' information objects and 512-byte message blocks, each object
starting with its own place in the file) and a version 4 .mbx file.  Also a
folder list and damaged copies.  Run: python3 tests/data/mail/make-dbx.py"""
import pathlib
import struct

here = pathlib.Path(__file__).resolve().parent

MESSAGES = [
    # Long enough for three blocks.
    ("From: Alice <alice@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Minutes of the meeting\r\n"
     "Date: Mon, 01 Mar 2004 10:30:00 +0100\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
     "".join(f"Item {i}: the committee agreed on point {i}.\r\n" for i in range(30)) + "End of the minutes.\r\n"),
    ("From: Bob <bob@example.org>\r\nTo: Alice <alice@example.org>\r\nSubject: Re: Minutes of the meeting\r\n"
     "Date: Tue, 02 Mar 2004 09:00:00 +0100\r\nMIME-Version: 1.0\r\n"
     "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
     "Thanks, caf=E9 at noon.\r\n"),
    ("From: Carol <carol@example.org>\r\nTo: Alice <alice@example.org>\r\nSubject: Photos\r\n"
     "Date: Wed, 03 Mar 2004 18:00:00 +0100\r\nMIME-Version: 1.0\r\n"
     "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
     "The photos are on the way.\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>The photos are on the way.</p>\r\n--b--\r\n"),
]


class Dbx:
    def __init__(self, kind=b'\xC5\xFD\x74\x6F'):
        self.data = bytearray(0x24BC)
        self.data[0:16] = b'\xCF\xAD\x12\xFE' + kind + b'\x66\xE3\xD1\x11\x9A\x4E\x00\xC0'

    def place(self, size):
        at = len(self.data)
        self.data += bytes(size)
        struct.pack_into('<I', self.data, at, at)
        return at

    def message(self, text):
        """The message in a chain of blocks; the first block's place."""
        raw = text.encode('latin-1')
        pieces = [raw[i:i + 0x200] for i in range(0, len(raw), 0x200)]
        places = [self.place(0x210) for _ in pieces]
        for i, (at, piece) in enumerate(zip(places, pieces)):
            nxt = places[i + 1] if i + 1 < len(places) else 0
            struct.pack_into('<III', self.data, at + 4, 0x200, len(piece), nxt)
            self.data[at + 16:at + 16 + len(piece)] = piece
        return places[0]

    def info(self, first, direct, padding=0):
        """An entry's information object: a subject and the message's first
        block, in the index itself (direct) or in the data after it."""
        subject = b'subject\0'
        index = struct.pack('<I', 0x08 | 0 << 8)  # subject at data + 0
        if direct:
            index += bytes([0x84]) + first.to_bytes(3, 'little')
            data = subject
        else:
            index += bytes([0x04]) + (len(subject) + padding).to_bytes(3, 'little')
            data = subject + bytes(padding) + struct.pack('<I', first)
        body = index + data
        at = self.place(12 + len(body))
        struct.pack_into('<IHBB', self.data, at + 4, len(body), 0, 2, 0)
        self.data[at + 12:at + 12 + len(body)] = body
        return at

    def node(self, left, entries):
        """entries: (information object, child node) pairs."""
        at = self.place(0x27C)
        struct.pack_into('<III', self.data, at + 4, 0, left, 0)
        self.data[at + 0x11] = len(entries)
        for i, (value, child) in enumerate(entries):
            struct.pack_into('<III', self.data, at + 0x18 + 12 * i, value, child, 0)
        return at

    def header(self, count, root):
        struct.pack_into('<I', self.data, 0xC4, count)
        struct.pack_into('<I', self.data, 0xE4, root)


def folder():
    """Three messages: the first in the root's left subtree (three blocks,
    its place held in the index), then the root's two entries (the second's
    place more than 64 KiB into its object's data)."""
    d = Dbx()
    firsts = [d.message(m) for m in MESSAGES]
    infos = [d.info(firsts[0], True), d.info(firsts[1], False, padding=70000), d.info(firsts[2], False)]
    left = d.node(0, [(infos[0], 0)])
    root = d.node(left, [(infos[1], 0), (infos[2], 0)])
    d.header(3, root)
    return d, firsts, root


def write(name, data):
    (here / name).write_bytes(bytes(data))


d, firsts, root = folder()
write('Inbox.dbx', d.data)
# The root node overwritten: the messages are found from their blocks.
broken = bytearray(d.data)
struct.pack_into('<I', broken, root, 0xDEADBEEF)
write('broken-tree.dbx', broken)
# The first message's last block leads back to its first: read once, cut short.
looped = bytearray(d.data)
last = firsts[0] + 2 * 0x210
struct.pack_into('<I', looped, last + 12, firsts[0])
write('looped-blocks.dbx', looped)
folders = Dbx(b'\xC6\xFD\x74\x6F')
write('Folders.dbx', folders.data)
empty = Dbx()
write('empty.dbx', empty.data)

# Version 4: a header of 0x54 bytes, then each message after a header of
# 16 bytes (magic, number, size taken, text length); damage between the
# first and the second is skipped.
mbx = bytearray(b'JMF6' + b'\x03\x00\x01\x00' + struct.pack('<III', 2, 2, 0)) + bytes(0x54 - 20)
for number, text in enumerate(MESSAGES[1:], 1):
    raw = text.encode('latin-1')
    total = 16 + len(raw) + (-len(raw) % 4)
    mbx += struct.pack('<IIII', 0x7F007F00, number, total, len(raw)) + raw + bytes(total - 16 - len(raw))
    if number == 1:
        mbx += b'\xFF' * 37
write('oe4.mbx', mbx)
