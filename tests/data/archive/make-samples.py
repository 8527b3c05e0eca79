#!/usr/bin/env python3
# Writes 7z archives by hand: two hostile ones, one whose only member claims
# 2^50 bytes, one whose header claims to be 2^50 bytes long; and one whose
# member's Unix mode has permissions but no file type, as some writers keep it.
# Usage: make-samples.py FOLDER
import struct, zlib, sys
def num(n):
    # 7z variable-length number
    if n < 0x80: return bytes([n])
    for i in range(1, 9):
        if n < (1 << (7 * (i + 1))) or i == 8:
            if i == 8: return bytes([0xFF]) + struct.pack('<Q', n)
            first = (0xFF << (8 - i)) & 0xFF
            high = n >> (8 * i)
            return bytes([first | high]) + (n & ((1 << (8*i)) - 1)).to_bytes(i, 'little')
def make(path, unpack, header_size_claim=None, data=b'petabyte words\n', attributes=None):
    h = b'\x01'                                   # Header
    h += b'\x04'                                  # MainStreamsInfo
    h += b'\x06' + num(0) + num(1) + b'\x09' + num(len(data)) + b'\x00'   # PackInfo
    h += b'\x07' + b'\x0B' + num(1) + b'\x00'      # UnpackInfo, Folder, 1 folder, not external
    h += num(1) + b'\x01' + b'\x00'               # 1 coder: id size 1, id 0 = copy
    h += b'\x0C' + num(unpack) + b'\x00'          # CodersUnpackSize, End
    h += b'\x08' + b'\x00'                         # SubStreamsInfo End
    h += b'\x00'                                   # End of MainStreamsInfo
    name = 'big.txt'.encode('utf-16-le') + b'\x00\x00'
    h += b'\x05' + num(1) + b'\x11' + num(len(name) + 1) + b'\x00' + name  # FilesInfo: names
    if attributes is not None:                     # attributes: all defined, not external
        h += b'\x15' + num(6) + b'\x01\x00' + struct.pack('<I', attributes)
    h += b'\x00'
    h += b'\x00'                                   # End of Header
    size = len(h) if header_size_claim is None else header_size_claim
    start = struct.pack('<QQI', len(data), size, zlib.crc32(h))
    sig = b'7z\xBC\xAF\x27\x1C\x00\x04' + struct.pack('<I', zlib.crc32(start)) + start
    open(path, 'wb').write(sig + data + h)
make(sys.argv[1] + "/petabyte.7z", 1 << 50)
make(sys.argv[1] + "/header-claim.7z", 10, header_size_claim=1 << 50)
# Unix permissions without a file type (0644 << 16, the Unix flag 0x8000, archive 0x20)
make(sys.argv[1] + "/typeless-member.7z", 15, data=b'typeless words\n', attributes=(0o644 << 16) | 0x8020)
