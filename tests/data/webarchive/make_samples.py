#!/usr/bin/env python3
"""Writes the web archive samples as Safari lays them out: a property list
whose WebMainResource holds the page (data, MIME type, character set, URL),
WebSubframeArchives the archives of its frames, and WebSubresources the
pictures and style sheets beside it."""
import os
import plistlib

HERE = os.path.dirname(os.path.abspath(__file__))
PNG = bytes.fromhex('89504e470d0a1a0a0000000d4948445200000001000000010800000000'
                    '3a7e9b550000000a49444154789c63000100000500010d0a2db40000000049454e44ae426082')


def resource(data, mime, url, encoding=None):
    r = {'WebResourceData': data, 'WebResourceMIMEType': mime, 'WebResourceURL': url}
    if encoding:
        r['WebResourceTextEncodingName'] = encoding
    return r


def write(name, archive, fmt=plistlib.FMT_BINARY):
    with open(os.path.join(HERE, name), 'wb') as f:
        plistlib.dump(archive, f, fmt=fmt, sort_keys=False)


FRAME = resource('<html><head><title>Frame title</title></head><body><p>Tide table inside a frame.</p>'
                 '</body></html>'.encode('utf-8'), 'text/html', 'https://example.org/tides', 'UTF-8')
# A page in Latin-1 that does not declare it: only the archive names it.
PAGE = ('<html><head><title>Harbour café news</title><script>var hidden = 1;</script>'
        '<style>p { color: red }</style></head><body><h1>Ferry timetable</h1>'
        '<p>The café on the pier opens at seven.</p><img src="logo.png"></body></html>').encode('latin-1')
write('page.webarchive', {
    'WebMainResource': resource(PAGE, 'text/html', 'https://example.org/news', 'ISO-8859-1'),
    'WebSubresources': [resource(PNG, 'image/png', 'https://example.org/logo.png'),
                        resource(b'body { margin: 0 } .words { }', 'text/css', 'https://example.org/site.css')],
    'WebSubframeArchives': [{'WebMainResource': FRAME}],
})
write('page-xml.webarchive', {
    'WebMainResource': resource(PAGE, 'text/html', 'https://example.org/news', 'ISO-8859-1'),
}, fmt=plistlib.FMT_XML)
with open(os.path.join(HERE, '..', 'convert', 'pdf', 'comments.pdf'), 'rb') as f:
    write('document.webarchive', {'WebMainResource': resource(f.read(), 'application/pdf',
                                                              'https://example.org/report.pdf')})
write('picture.webarchive', {'WebMainResource': resource(PNG, 'image/png', 'https://example.org/logo.png')})
with open(os.path.join(HERE, 'page.webarchive'), 'rb') as f:
    whole = f.read()
with open(os.path.join(HERE, 'truncated.webarchive'), 'wb') as f:
    f.write(whole[:len(whole) // 2])
