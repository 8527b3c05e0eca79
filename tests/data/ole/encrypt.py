"""Writes Excel workbooks encrypted with the password Excel uses when the
person set none ("VelvetSweatshop"), from sample.xls: protected.xls with
"Office 97/2000 compatible" RC4, protected-cryptoapi.xls with RC4 through
the CryptoAPI (128-bit) and protected-xor.xls with XOR obfuscation, as MS-XLS
and MS-OFFCRYPTO lay them out.  The FILEPASS record takes the place of the
WRITEACCESS record (its size made up with one more record), so the Workbook
stream keeps its size and is written back over its own sectors.  Also
protected-excel95.xls: a small Excel 5/95 workbook, record by record, with
the XOR obfuscation of that version (its compound file made by `gsf
createole`, from libgsf-bin).

And protected.ppt: sample.ppt encrypted with the password PowerPoint uses
when only a password to modify was set ("/01Hannes Ruescher/01"), RC4
through the CryptoAPI as MS-PPT lays it out: every persist object encrypted
from its start with the key of its persist id, then a CryptSession10
container, a persist directory and an edit of their own appended, the edit
naming the encryption, and the current user's token changed.

And protected-standard.xlsx and protected-agile.xlsx: the package sample.xlsx
(of tests/data/package/ooxml) encrypted with Excel's own password as Office
2007 and later keep it, a compound file of an EncryptionInfo and an
EncryptedPackage stream: standard encryption (AES-128 in ECB mode, keys
through SHA-1) and agile encryption (AES-256 in CBC mode by segments of 4096
bytes, keys through SHA-512), as MS-OFFCRYPTO lays them out; AES by `openssl
enc`.
Run: python3 tests/data/ole/encrypt.py"""
import base64
import hashlib
import pathlib
import struct
import subprocess
import tempfile

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
    def __init__(self, salt, password=PASSWORD):
        self.h0 = hashlib.sha1(salt + password).digest()

    def key(self, block):
        return hashlib.sha1(self.h0 + struct.pack('<I', block)).digest()[:16]


CRYPTOAPI_HEADER = struct.pack('<IIIIIIII', 0x04, 0, 0x6801, 0x8004, 128, 1, 0, 0) + b'\0\0'


def cryptoapi_info(keys, salt):
    """The encryption's description after its version: flags, header, verifier."""
    verifier = bytes(range(16))
    both = rc4(keys.key(0), verifier + hashlib.sha1(verifier).digest())
    return (struct.pack('<II', 0x04, len(CRYPTOAPI_HEADER)) + CRYPTOAPI_HEADER +
            struct.pack('<I', 16) + salt + both[:16] + struct.pack('<I', 20) + both[16:])


def filepass(kind, salt):
    if kind == 'xor':
        keys = XorKeys()
        return keys, struct.pack('<HHH', 0, keys.key, keys.verifier)
    verifier = bytes(range(16))
    if kind == 'rc4':
        keys = Rc4Keys(salt)
        both = rc4(keys.key(0), verifier + hashlib.md5(verifier).digest())
        return keys, struct.pack('<HHH', 1, 1, 1) + salt + both
    keys = CryptoApiKeys(salt)
    return keys, struct.pack('<HHH', 1, 4, 2) + cryptoapi_info(keys, salt)


# XOR obfuscation: the password's key and verifier, and the 16 bytes that
# are applied to the records, from the place in the stream where each
# record's body ends.
XOR_PAD = [0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80, 0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00]
XOR_INITIAL = [0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E, 0x1872, 0xE139, 0xD40F, 0x84F9,
               0x280C, 0xA96A, 0x4EC3]
XOR_MATRIX = [
    0xAEFC, 0x4DD9, 0x9BB2, 0x2745, 0x4E8A, 0x9D14, 0x2A09, 0x7B61, 0xF6C2, 0xFDA5, 0xEB6B, 0xC6F7, 0x9DCF, 0x2BBF,
    0x4563, 0x8AC6, 0x05AD, 0x0B5A, 0x16B4, 0x2D68, 0x5AD0, 0x0375, 0x06EA, 0x0DD4, 0x1BA8, 0x3750, 0x6EA0, 0xDD40,
    0xD849, 0xA0B3, 0x5147, 0xA28E, 0x553D, 0xAA7A, 0x44D5, 0x6F45, 0xDE8A, 0xAD35, 0x4A4B, 0x9496, 0x390D, 0x721A,
    0xEB23, 0xC667, 0x9CEF, 0x29FF, 0x53FE, 0xA7FC, 0x5FD9, 0x47D3, 0x8FA6, 0x0F6D, 0x1EDA, 0x3DB4, 0x7B68, 0xF6D0,
    0xB861, 0x60E3, 0xC1C6, 0x93AD, 0x377B, 0x6EF6, 0xDDEC, 0x45A0, 0x8B40, 0x06A1, 0x0D42, 0x1A84, 0x3508, 0x6A10,
    0xAA51, 0x4483, 0x8906, 0x022D, 0x045A, 0x08B4, 0x1168, 0x76B4, 0xED68, 0xCAF1, 0x85C3, 0x1BA7, 0x374E, 0x6E9C,
    0x3730, 0x6E60, 0xDCC0, 0xA9A1, 0x4363, 0x86C6, 0x1DAD, 0x3331, 0x6662, 0xCCC4, 0x89A9, 0x0373, 0x06E6, 0x0DCC,
    0x1021, 0x2042, 0x4084, 0x8108, 0x1231, 0x2462, 0x48C4]
XOR_PASSWORD = b'VelvetSweatshop'


def ror(b, n):
    return ((b >> n) | (b << (8 - n))) & 0xFF


class XorKeys:
    def __init__(self, password=XOR_PASSWORD):
        p = password
        key, element = XOR_INITIAL[len(p) - 1], 0x68
        for ch in reversed(p):
            for _ in range(7):
                if ch & 0x40:
                    key ^= XOR_MATRIX[element]
                ch, element = (ch << 1) & 0xFF, element - 1
        verifier = 0
        for b in reversed([len(p)] + list(p)):
            verifier = (((verifier >> 14) & 1) | ((verifier << 1) & 0x7FFF)) ^ b
        self.key, self.verifier = key, verifier ^ 0xCE4B
        a, i = [0] * 16, len(p)
        if i % 2:
            a[i] = ror(XOR_PAD[0] ^ (key >> 8), 1)
            i -= 1
            a[i] = ror(p[-1] ^ (key & 0xFF), 1)
        while i > 0:
            i -= 1
            a[i] = ror(p[i] ^ (key >> 8), 1)
            i -= 1
            a[i] = ror(p[i] ^ (key & 0xFF), 1)
        i, pad = 15, 15 - len(p)
        while pad > 0:
            a[i] = ror(XOR_PAD[pad] ^ (key >> 8), 1)
            i, pad = i - 1, pad - 1
            a[i] = ror(XOR_PAD[pad] ^ (key & 0xFF), 1)
            i, pad = i - 1, pad - 1
        self.array = a

    def obfuscate(self, out, start, first, end):
        """Obfuscates out[first:end], the part to hide of the body out[start:end]."""
        for p in range(first, end):
            out[p] = ror(out[p], 3) ^ self.array[(end + p - start) % 16]


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
        if kind == 'xor':
            keys.obfuscate(out, start, first, start + len(b))
            continue
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


def record(t, body):
    return struct.pack('<HH', t, len(body)) + body


def excel95(name):
    """A workbook of one sheet as Excel 5/95 writes it, obfuscated with XOR."""
    keys = XorKeys()
    label = lambda row, col, text: record(0x0204, struct.pack('<HHHH', row, col, 15, len(text)) + text)
    sheet = (record(0x0809, struct.pack('<HHHH', 0x0500, 0x0010, 0x0DBB, 0x07CC)) +
             label(0, 0, b'Quarterly figures') + label(1, 0, b'North') +
             record(0x0203, struct.pack('<HHH', 1, 1, 15) + struct.pack('<d', 1250.5)) +
             label(2, 0, b'South') + record(0x0203, struct.pack('<HHH', 2, 1, 15) + struct.pack('<d', 980)) +
             record(0x000A, b''))
    globals_ = [record(0x0809, struct.pack('<HHHH', 0x0500, 0x0005, 0x0DBB, 0x07CC)),
                record(0x002F, struct.pack('<HH', keys.key, keys.verifier)),
                record(0x0042, struct.pack('<H', 1252))]
    boundsheet_at = sum(map(len, globals_))
    size = boundsheet_at + 4 + 4 + 2 + 1 + len(b'Regions') + 4
    globals_ += [record(0x0085, struct.pack('<IBB', size, 0, 0) + bytes([len(b'Regions')]) + b'Regions'),
                 record(0x000A, b'')]
    stream = bytearray(b''.join(globals_) + sheet)
    assert len(b''.join(globals_)) == size
    at, encrypting = 0, False
    while at < len(stream):
        t, n = struct.unpack_from('<HH', stream, at)
        start = at + 4
        if encrypting and t not in NEVER_ENCRYPTED:
            keys.obfuscate(stream, start, start + (4 if t == 0x0085 else 0), start + n)
        encrypting = encrypting or t == 0x002F
        at = start + n
    with tempfile.TemporaryDirectory() as scratch:
        book = pathlib.Path(scratch) / 'Book'
        book.write_bytes(bytes(stream))
        subprocess.run(['gsf', 'createole', str(HERE / name), str(book)], check=True, capture_output=True)


def ppt_record(ver_instance, t, body):
    return struct.pack('<HHI', ver_instance, t, len(body)) + body


def powerpoint(name):
    source = HERE / 'sample.ppt'
    read = lambda stream: subprocess.run(['gsf', 'cat', str(source), stream], check=True,
                                         capture_output=True).stdout
    doc, user = bytearray(read('PowerPoint Document')), bytearray(read('Current User'))
    edit_at, = struct.unpack_from('<I', user, 16)
    persist, at = {}, edit_at
    while True:  # the newest edit first: its objects win
        _, _, n = struct.unpack_from('<HHI', doc, at)
        edit = doc[at + 8:at + 8 + n]
        last, directory = struct.unpack_from('<II', edit, 8)
        _, _, dn = struct.unpack_from('<HHI', doc, directory)
        p = directory + 8
        while p < directory + 8 + dn:
            head, = struct.unpack_from('<I', doc, p)
            p += 4
            for k in range(head >> 20):
                persist.setdefault((head & 0xFFFFF) + k, struct.unpack_from('<I', doc, p)[0])
                p += 4
        if last == 0:
            break
        at = last
    salt = bytes(range(40, 56))
    keys = CryptoApiKeys(salt, '/01Hannes Ruescher/01'.encode('utf-16-le'))
    for pid, offset in persist.items():
        _, _, n = struct.unpack_from('<HHI', doc, offset)
        doc[offset:offset + 8 + n] = rc4(keys.key(pid), bytes(doc[offset:offset + 8 + n]))
    session_id = max(persist) + 1
    session_at = len(doc)
    doc += ppt_record(0x000F, 0x2F14, struct.pack('<HH', 4, 2) + cryptoapi_info(keys, salt))
    directory_at = len(doc)
    doc += ppt_record(0x0000, 0x1772, struct.pack('<II', session_id | 1 << 20, session_at))
    _, _, n = struct.unpack_from('<HHI', doc, edit_at)
    old = doc[edit_at + 8:edit_at + 8 + n]
    new_edit_at = len(doc)
    doc += ppt_record(0x0000, 0x0FF5, old[:8] + struct.pack('<III', edit_at, directory_at, struct.unpack_from(
        '<I', old, 16)[0]) + struct.pack('<I', session_id) + old[24:28] + struct.pack('<I', session_id))
    struct.pack_into('<II', user, 12, 0xF3D1C4DF, new_edit_at)
    compound(name, [('PowerPoint Document', bytes(doc)), ('Current User', bytes(user)),
                    ('EncryptedSummary', rc4(keys.key(0), bytes(64)))])


def aes(key, data, iv=None):
    """AES encryption of whole blocks, in ECB mode, or in CBC mode from iv."""
    mode = f'aes-{len(key) * 8}-' + ('cbc' if iv else 'ecb')
    args = ['openssl', 'enc', '-' + mode, '-nopad', '-K', key.hex()] + (['-iv', iv.hex()] if iv else [])
    return subprocess.run(args, input=data, check=True, capture_output=True).stdout


def padded(data, size=16, fill=b'\0'):
    return data + fill * (-len(data) % size)


def spun(hash_name, salt, spins):
    h = hashlib.new(hash_name, salt + PASSWORD).digest()
    for i in range(spins):
        h = hashlib.new(hash_name, struct.pack('<I', i) + h).digest()
    return h


def compound(name, streams):
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        for stream, data in streams:
            (folder / stream).write_bytes(data)
        subprocess.run(['gsf', 'createole', str(HERE / name)] + [str(folder / s) for s, _ in streams],
                       check=True, capture_output=True)


def standard_package(name, package):
    salt, verifier = bytes(range(60, 76)), bytes(range(80, 96))
    h = hashlib.sha1(spun('sha1', salt, 50000) + struct.pack('<I', 0)).digest()
    x1 = hashlib.sha1(bytes(a ^ b for a, b in zip(padded(h, 64, b'\x00'), b'\x36' * 64))).digest()
    x2 = hashlib.sha1(bytes(a ^ b for a, b in zip(padded(h, 64, b'\x00'), b'\x5c' * 64))).digest()
    key = (x1 + x2)[:16]
    provider = 'Microsoft Enhanced RSA and AES Cryptographic Provider\0'.encode('utf-16-le')
    header = struct.pack('<IIIIIIII', 0x24, 0, 0x660E, 0x8004, 128, 0x18, 0, 0) + provider
    info = (struct.pack('<HHII', 3, 2, 0x24, len(header)) + header + struct.pack('<I', 16) + salt +
            aes(key, verifier) + struct.pack('<I', 20) + aes(key, padded(hashlib.sha1(verifier).digest(), 32)))
    data = struct.pack('<Q', len(package)) + aes(key, padded(package))
    compound(name, [('EncryptionInfo', info), ('EncryptedPackage', data)])


def agile_package(name, package):
    key_salt, data_salt = bytes(range(100, 116)), bytes(range(120, 136))
    package_key, verifier = bytes(range(140, 172)), bytes(range(180, 196))
    h = spun('sha512', key_salt, 100000)
    block_key = lambda k: hashlib.sha512(h + k).digest()[:32]
    b64 = lambda b: base64.b64encode(b).decode()
    encrypted_input = aes(block_key(bytes.fromhex('fea7d2763b4b9e79')), verifier, key_salt)
    encrypted_hash = aes(block_key(bytes.fromhex('d7aa0f6d3061344e')), hashlib.sha512(verifier).digest(), key_salt)
    encrypted_key = aes(block_key(bytes.fromhex('146e0be7abacd0d6')), package_key, key_salt)
    common = ('saltSize="16" blockSize="16" keyBits="256" hashSize="64" cipherAlgorithm="AES" '
              'cipherChaining="ChainingModeCBC" hashAlgorithm="SHA512"')
    xml = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
           '<encryption xmlns="http://schemas.microsoft.com/office/2006/encryption" '
           'xmlns:p="http://schemas.microsoft.com/office/2006/keyEncryptor/password">'
           f'<keyData {common} saltValue="{b64(data_salt)}"/>'
           f'<dataIntegrity encryptedHmacKey="{b64(bytes(64))}" encryptedHmacValue="{b64(bytes(64))}"/>'
           '<keyEncryptors><keyEncryptor uri="http://schemas.microsoft.com/office/2006/keyEncryptor/password">'
           f'<p:encryptedKey spinCount="100000" {common} saltValue="{b64(key_salt)}" '
           f'encryptedVerifierHashInput="{b64(encrypted_input)}" encryptedVerifierHashValue="{b64(encrypted_hash)}" '
           f'encryptedKeyValue="{b64(encrypted_key)}"/></keyEncryptor></keyEncryptors></encryption>')
    info = struct.pack('<HHI', 4, 4, 0x40) + xml.encode()
    data = struct.pack('<Q', len(package))
    for i in range(0, len(package), 4096):
        iv = hashlib.sha512(data_salt + struct.pack('<I', i // 4096)).digest()[:16]
        data += aes(package_key, padded(package[i:i + 4096]), iv)
    compound(name, [('EncryptionInfo', info), ('EncryptedPackage', data)])


write('protected.xls', 'rc4')
write('protected-cryptoapi.xls', 'cryptoapi')
write('protected-xor.xls', 'xor')
excel95('protected-excel95.xls')
powerpoint('protected.ppt')
workbook = (HERE.parent / 'package' / 'ooxml' / 'sample.xlsx').read_bytes()
standard_package('protected-standard.xlsx', workbook)
agile_package('protected-agile.xlsx', workbook)
