#!/usr/bin/env python3
"""Writes the Visio test samples of this folder from the hand-written XML
below: an XML drawing (.vdx) with two pages of shapes and document
properties that are no text, and a damaged copy;
the same drawing as an Open XML package (.vsdx); and a package whose part
claims to inflate to gigabytes.
Run it from anywhere: python3 tests/data/visio/make_samples.py"""
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def shape(i, text):
    return (f'<Shape ID="{i}" Type="Shape"><XForm><PinX>{i}</PinX><PinY>1</PinY><Width>1</Width>'
            f'<Height>0.5</Height></XForm><Text>{text}</Text></Shape>')


VDX = ('<?xml version="1.0" encoding="utf-8"?>\n'
       '<VisioDocument xmlns="http://schemas.microsoft.com/visio/2003/core">'
       '<DocumentProperties><Title>Secret title</Title><Creator>Nobody</Creator></DocumentProperties>'
       '<Pages>'
       '<Page ID="0" NameU="Page-1" Name="Page-1"><PageSheet><PageProps><PageWidth>8</PageWidth>'
       '<PageHeight>11</PageHeight></PageProps></PageSheet><Shapes>' +
       shape(1, 'Start here') + shape(2, 'Decide &amp; go') +
       '</Shapes></Page>'
       '<Page ID="1" NameU="Page-2" Name="Page-2"><PageSheet><PageProps><PageWidth>8</PageWidth>'
       '<PageHeight>11</PageHeight></PageProps></PageSheet><Shapes>' +
       shape(3, 'Second page shape') + shape(4, 'Ελληνικά') +
       '</Shapes></Page>'
       '</Pages></VisioDocument>\n')

NS = 'http://schemas.microsoft.com/office/visio/2012/main'
REL = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships'


def vsdx_page(shapes):
    body = ''.join(f'<Shape ID="{i}" Type="Shape"><Cell N="PinX" V="{i}"/><Cell N="PinY" V="1"/>'
                   f'<Cell N="Width" V="1"/><Cell N="Height" V="0.5"/><Text>{t}</Text></Shape>'
                   for i, t in shapes)
    return f'<?xml version="1.0" encoding="utf-8"?><PageContents xmlns="{NS}" xmlns:r="{REL}"><Shapes>{body}</Shapes></PageContents>'


def vsdx(name, pages, bomb=False):
    ct = ('<?xml version="1.0" encoding="utf-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
          '<Default Extension="xml" ContentType="application/xml"/>'
          '<Override PartName="/visio/document.xml" ContentType="application/vnd.ms-visio.drawing.main+xml"/>'
          '<Override PartName="/visio/pages/pages.xml" ContentType="application/vnd.ms-visio.pages+xml"/>' +
          ''.join(f'<Override PartName="/visio/pages/page{i + 1}.xml" ContentType="application/vnd.ms-visio.page+xml"/>'
                  for i in range(len(pages))) + '</Types>')
    rels = ('<?xml version="1.0" encoding="utf-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.microsoft.com/visio/2010/relationships/document" Target="visio/document.xml"/>'
            '</Relationships>')
    doc = f'<?xml version="1.0" encoding="utf-8"?><VisioDocument xmlns="{NS}" xmlns:r="{REL}"/>'
    doc_rels = ('<?xml version="1.0" encoding="utf-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                '<Relationship Id="rId1" Type="http://schemas.microsoft.com/visio/2010/relationships/pages" Target="pages/pages.xml"/>'
                '</Relationships>')
    pages_xml = (f'<?xml version="1.0" encoding="utf-8"?><Pages xmlns="{NS}" xmlns:r="{REL}">' +
                 ''.join(f'<Page ID="{i}" NameU="Page-{i + 1}" Name="Page-{i + 1}"><PageSheet><Cell N="PageWidth" V="8"/>'
                         f'<Cell N="PageHeight" V="11"/></PageSheet><Rel r:id="rId{i + 1}"/></Page>'
                         for i in range(len(pages))) + '</Pages>')
    pages_rels = ('<?xml version="1.0" encoding="utf-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">' +
                  ''.join(f'<Relationship Id="rId{i + 1}" Type="http://schemas.microsoft.com/visio/2010/relationships/page" '
                          f'Target="page{i + 1}.xml"/>' for i in range(len(pages))) + '</Relationships>')
    path = os.path.join(HERE, name)
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('[Content_Types].xml', ct)
        z.writestr('_rels/.rels', rels)
        z.writestr('visio/document.xml', doc)
        z.writestr('visio/_rels/document.xml.rels', doc_rels)
        z.writestr('visio/pages/pages.xml', pages_xml)
        z.writestr('visio/pages/_rels/pages.xml.rels', pages_rels)
        for i, p in enumerate(pages):
            z.writestr(f'visio/pages/page{i + 1}.xml', vsdx_page(p))
    if bomb:
        # Make the first page claim 3 GiB when inflated, in the local header
        # and in the central directory, as a hostile package would.
        data = bytearray(open(path, 'rb').read())
        target = b'visio/pages/page1.xml'
        for sig, size_at, name_len_at, name_at in ((b'PK\x03\x04', 22, 26, 30), (b'PK\x01\x02', 24, 28, 46)):
            at = 0
            while (at := data.find(sig, at)) >= 0:
                n = struct.unpack_from('<H', data, at + name_len_at)[0]
                if data[at + name_at:at + name_at + n] == target:
                    struct.pack_into('<I', data, at + size_at, 3 << 30)
                at += 4
        open(path, 'wb').write(bytes(data))


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


write('drawing.vdx', VDX.encode('utf-8'))
write('truncated.vdx', VDX.encode('utf-8')[:400])
vsdx('drawing.vsdx', [[(1, 'Start here'), (2, 'Decide &amp; go')], [(3, 'Second page shape')]])
vsdx('bomb.vsdx', [[(1, 'Never read')]], bomb=True)
