#!/usr/bin/env python3
"""Writes the StarOffice / OpenOffice.org 1 XML test samples of this folder
from the hand-written XML below, in that format's own namespaces: a text
document with lists, a footnote, a table, a text box and a comment; a
spreadsheet with named sheets, repeated cells and a value-only cell; a
presentation with notes; and a password-protected text document.
Run it from anywhere: python3 tests/data/package/make_staroffice_samples.py"""
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

NS = ('xmlns:office="http://openoffice.org/2000/office" xmlns:style="http://openoffice.org/2000/style" '
      'xmlns:text="http://openoffice.org/2000/text" xmlns:table="http://openoffice.org/2000/table" '
      'xmlns:draw="http://openoffice.org/2000/drawing" xmlns:presentation="http://openoffice.org/2000/presentation" '
      'xmlns:fo="http://www.w3.org/1999/XSL/Format" xmlns:svg="http://www.w3.org/2000/svg" '
      'xmlns:xlink="http://www.w3.org/1999/xlink" xmlns:dc="http://purl.org/dc/elements/1.1/"')


def manifest(mime, encrypted=False):
    enc = ('<manifest:encryption-data manifest:checksum-type="SHA1/1K" manifest:checksum="AAAA">'
           '<manifest:algorithm manifest:algorithm-name="Blowfish CFB" manifest:initialisation-vector="AAAA"/>'
           '<manifest:key-derivation manifest:key-derivation-name="PBKDF2" manifest:iteration-count="1024" '
           'manifest:salt="AAAA"/></manifest:encryption-data>') if encrypted else ''
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<manifest:manifest xmlns:manifest="http://openoffice.org/2001/manifest">'
            f'<manifest:file-entry manifest:media-type="{mime}" manifest:full-path="/"/>'
            f'<manifest:file-entry manifest:media-type="text/xml" manifest:full-path="content.xml">{enc}'
            '</manifest:file-entry></manifest:manifest>')


def write(name, mime, kind, body, styles='', encrypted=False):
    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS} office:class="{kind}" '
               f'office:version="1.0"><office:automatic-styles>{styles}</office:automatic-styles>'
               f'<office:body>{body}</office:body></office:document-content>')
    meta = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-meta {NS}><office:meta>'
            '<dc:title>Secret title</dc:title></office:meta></office:document-meta>')
    with zipfile.ZipFile(os.path.join(HERE, name), 'w') as z:
        z.writestr(zipfile.ZipInfo('mimetype'), mime, compress_type=zipfile.ZIP_STORED)
        z.writestr('content.xml', content, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr('meta.xml', meta, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr('META-INF/manifest.xml', manifest(mime, encrypted), compress_type=zipfile.ZIP_DEFLATED)


LISTS = ('<text:list-style style:name="L1"><text:list-level-style-number text:level="1" style:num-suffix="." '
         'style:num-format="1"/></text:list-style>'
         '<text:list-style style:name="L2"><text:list-level-style-bullet text:level="1" text:bullet-char="•"/>'
         '</text:list-style>')

write('text.sxw', 'application/vnd.sun.xml.writer', 'text',
      '<text:h text:level="1">Old heading</text:h>'
      '<text:p>First<text:tab-stop/>tabbed and<text:s text:c="3"/>spaced'
      '<text:footnote text:id="ftn1"><text:footnote-citation>1</text:footnote-citation>'
      '<text:footnote-body><text:p>Footnote text.</text:p></text:footnote-body></text:footnote>.</text:p>'
      '<text:ordered-list text:style-name="L1"><text:list-item><text:p>Alpha</text:p></text:list-item>'
      '<text:list-item><text:p>Beta</text:p></text:list-item></text:ordered-list>'
      '<text:unordered-list text:style-name="L2"><text:list-item><text:p>Dot</text:p></text:list-item>'
      '</text:unordered-list>'
      '<table:table table:name="T1"><table:table-column table:number-columns-repeated="2"/>'
      '<table:table-row><table:table-cell><text:p>A1</text:p></table:table-cell>'
      '<table:table-cell><text:p>B1</text:p></table:table-cell></table:table-row></table:table>'
      '<text:p>Anchor<draw:text-box draw:name="Box"><text:p>Boxed words</text:p></draw:text-box> here.</text:p>'
      '<text:p>Commented<office:annotation><dc:creator>Ann</dc:creator><text:p>A remark.</text:p>'
      '</office:annotation> text.</text:p>', styles=LISTS)

write('sheet.sxc', 'application/vnd.sun.xml.calc', 'spreadsheet',
      '<table:table table:name="Prices"><table:table-row><table:table-cell><text:p>Tea</text:p></table:table-cell>'
      '<table:table-cell table:value-type="float" table:value="3.5"><text:p>3.50</text:p></table:table-cell>'
      '</table:table-row>'
      '<table:table-row table:number-rows-repeated="1000"><table:table-cell table:number-columns-repeated="200"/>'
      '</table:table-row>'
      '<table:table-row><table:table-cell table:number-columns-repeated="2"><text:p>x</text:p></table:table-cell>'
      '<table:table-cell table:value-type="float" table:value="42"/></table:table-row></table:table>'
      '<table:table table:name="Second"><table:table-row><table:table-cell><text:p>More</text:p>'
      '</table:table-cell></table:table-row></table:table>')

write('slides.sxi', 'application/vnd.sun.xml.impress', 'presentation',
      '<draw:page draw:name="page1"><draw:text-box><text:p>Slide one title</text:p></draw:text-box>'
      '<presentation:notes><draw:text-box><text:p>Speaker note one</text:p></draw:text-box></presentation:notes>'
      '</draw:page>'
      '<draw:page draw:name="page2"><draw:text-box><text:p>Slide two body</text:p></draw:text-box></draw:page>')

write('encrypted.sxw', 'application/vnd.sun.xml.writer', 'text', '<text:p>Hidden</text:p>', encrypted=True)
