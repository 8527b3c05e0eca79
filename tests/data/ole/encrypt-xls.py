"""Writes Excel workbooks encrypted with the password Excel uses when the
person set none ("VelvetSweatshop"), from sample.xls: protected.xls with
"Office 97/2000 compatible" RC4 and protected-cryptoapi.xls with RC4 through
the CryptoAPI (128-bit), as MS-XLS and MS-OFFCRYPTO lay them out.  The
FILEPASS record takes the place of the WRITEACCESS record (its size made up
with one more record), so the Workbook stream keeps its size and is written
back over its own sectors.  Run: python3 tests/data/ole/encrypt-xls.py"""
import hashlib
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
PASSWORD = 'VelvetSweatshop'.encode('utf-16-le')


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) % 256
        s[i], s[j] = s[j], s[i]
    out, i, j = bytearray(), 0, 0
    for b in data:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) % 256])
    return bytes(out)


class Rc4Keys:
    def __init__(self, salt):
        h0 = hashlib.md5(PASSWORD).digest()[:5]
        self.h1 = hashlib.md5((h0 + salt) * 16).digest()[:5]

    def key(self, block):
        return hashlib.md5(self.h1 + struct.pack('<I', block)).digest()


class CryptoApiKeys:
    def __init__(self, salt):
        self.h0 = hashlib.sha1(salt + PASSWORD).digest()

    def key(self, block):
        return hashlib.sha1(self.h0 + struct.pack('<I', block)).digest()[:16]


def filepass(kind, salt):
    verifier = bytes(range(16))
    if kind == 'rc4':
        keys = Rc4Keys(salt)
        both = rc4(keys.key(0), verifier + hashlib.md5(verifier).digest())
        return keys, struct.pack('<HHH', 1, 1, 1) + salt + both
    keys = CryptoApiKeys(salt)
    both = rc4(keys.key(0), verifier + hashlib.sha1(verifier).digest())
    header = struct.pack('<IIIIIIII', 0x04, 0, 0x6801, 0x8004, 128, 1, 0, 0) + b'\0\0'
    return keys, (struct.pack('<HHHII', 1, 4, 2, 0x04, len(header)) + header +
                  struct.pack('<I', 16) + salt + both[:16] + struct.pack('<I', 20) + both[16:])


NEVER_ENCRYPTED = {0x0809, 0x002F, 0x0194, 0x0195, 0x00E1, 0x0196, 0x0138}


def encrypt(stream, kind):
    records, at = [], 0
    while at + 4 <= len(stream):
        t, n = struct.unpack_from('<HH', stream, at)
        records.append((t, stream[at + 4:at + 4 + n]))
        at += 4 + n
    i = next(k for k, (t, _) in enumerate(records) if t == 0x005C)  # WRITEACCESS
    room = 4 + len(records[i][1])
    keys, body = filepass(kind, bytes(range(100, 116)))  # a fixed salt: the same file every run
    filler = room - 4 - len(body) - 4
    assert filler >= 0
    records[i:i + 1] = [(0x002F, body), (0x005C, b'\x20' * filler)]
    out, cache = bytearray(), {}
    encrypting = False
    for t, b in records:
        start = len(out) + 4
        out += struct.pack('<HH', t, len(b)) + b
        if t == 0x002F:
            encrypting = True
            continue
        if not encrypting or t in NEVER_ENCRYPTED:
            continue
        first = start + (4 if t == 0x0085 else 0)
        for p in range(first, start + len(b)):
            block = p // 1024
            if block not in cache:
                cache[block] = rc4(keys.key(block), bytes(1024))
            out[p] ^= cache[block][p % 1024]
    assert len(out) == len(stream)
    return bytes(out)


def stream_places(cfb, name):
    """The file offsets of each 64-byte mini sector or 512-byte sector of a stream."""
    sector = 1 << struct.unpack_from('<H', cfb, 30)[0]
    mini = 1 << struct.unpack_from('<H', cfb, 32)[0]
    dir_start, = struct.unpack_from('<I', cfb, 48)
    cutoff, = struct.unpack_from('<I', cfb, 56)
    minifat_start, = struct.unpack_from('<I', cfb, 60)
    fat_sectors = [s for s in struct.unpack_from('<109I', cfb, 76) if s < 0xFFFFFFFA]
    fat = []
    for s in fat_sectors:
        fat += struct.unpack_from(f'<{sector // 4}I', cfb, (s + 1) * sector)

    def chain(first):
        out = []
        while first < 0xFFFFFFFA:
            out.append(first)
            first = fat[first]
        return out

    directory = b''.join(cfb[(s + 1) * sector:(s + 2) * sector] for s in chain(dir_start))
    entries = {}
    for k in range(len(directory) // 128):
        e = directory[k * 128:(k + 1) * 128]
        n = struct.unpack_from('<H', e, 64)[0]
        entries[e[:max(n - 2, 0)].decode('utf-16-le')] = (struct.unpack_from('<I', e, 116)[0],
                                                          struct.unpack_from('<I', e, 120)[0])
    first, size = entries[name]
    if size >= cutoff:
        return [(s + 1) * sector for s in chain(first)], sector, size
    root_first, _ = entries['Root Entry']
    mini_stream = [(s + 1) * sector for s in chain(root_first)]
    minifat = []
    for s in chain(minifat_start):
        minifat += struct.unpack_from(f'<{sector // 4}I', cfb, (s + 1) * sector)
    places, m = [], first
    while m < 0xFFFFFFFA:
        places.append(mini_stream[m * mini // sector] + (m * mini) % sector)
        m = minifat[m]
    return places, mini, size


def write(name, kind):
    cfb = bytearray((HERE / 'sample.xls').read_bytes())
    places, unit, size = stream_places(cfb, 'Workbook')
    stream = b''.join(cfb[p:p + unit] for p in places)[:size]
    data = encrypt(stream, kind)
    for k, p in enumerate(places):
        piece = data[k * unit:(k + 1) * unit]
        cfb[p:p + len(piece)] = piece
    (HERE / name).write_bytes(bytes(cfb))


write('protected.xls', 'rc4')
write('protected-cryptoapi.xls', 'cryptoapi')
