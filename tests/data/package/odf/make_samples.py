#!/usr/bin/env python3
"""Writes the OpenDocument and EPUB test samples of this folder from the
hand-written XML below (mimetype first and stored, as the formats require).
Run it from anywhere: python3 tests/data/package/odf/make_samples.py"""
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
      'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
      'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
      'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
      'xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0" '
      'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
      'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
      'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
      'xmlns:dc="http://purl.org/dc/elements/1.1/" office:version="1.3"')

MIME = {
    'odt': 'application/vnd.oasis.opendocument.text',
    'ods': 'application/vnd.oasis.opendocument.spreadsheet',
    'odp': 'application/vnd.oasis.opendocument.presentation',
}


def manifest(mime, encrypted=False):
    enc = ('<manifest:encryption-data manifest:checksum-type="SHA1/1K" manifest:checksum="AAAA">'
           '<manifest:algorithm manifest:algorithm-name="Blowfish CFB" manifest:initialisation-vector="AAAA"/>'
           '<manifest:key-derivation manifest:key-derivation-name="PBKDF2" manifest:iteration-count="1024" '
           'manifest:salt="AAAA"/></manifest:encryption-data>') if encrypted else ''
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0">'
            f'<manifest:file-entry manifest:full-path="/" manifest:media-type="{mime}"/>'
            '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml">'
            f'{enc}</manifest:file-entry>'
            '<manifest:file-entry manifest:full-path="styles.xml" manifest:media-type="text/xml"/>'
            '</manifest:manifest>')


def write_zip(name, mime, parts):
    with zipfile.ZipFile(os.path.join(HERE, name), 'w') as z:
        z.writestr(zipfile.ZipInfo('mimetype'), mime, compress_type=zipfile.ZIP_STORED)
        for part, data in parts:
            z.writestr(part, data, compress_type=zipfile.ZIP_DEFLATED)


def odf(name, kind, body, styles='', encrypted=False, extra=()):
    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS}>'
               '<office:automatic-styles><style:style style:name="P1" style:family="paragraph"/>'
               '</office:automatic-styles>'
               f'<office:body>{body}</office:body></office:document-content>')
    style_xml = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles {NS}>'
                 f'<office:master-styles>{styles}</office:master-styles></office:document-styles>')
    write_zip(name, MIME[kind], [('content.xml', content), ('styles.xml', style_xml),
                                 ('META-INF/manifest.xml', manifest(MIME[kind], encrypted))] + list(extra))


TEXT_BODY = '''<office:text>
<text:tracked-changes>
 <text:changed-region text:id="c1"><text:deletion><office:change-info><dc:creator>Ann</dc:creator>
 <dc:date>2024-01-01T00:00:00</dc:date></office:change-info><text:p>GONE</text:p></text:deletion></text:changed-region>
 <text:changed-region text:id="c2"><text:insertion><office:change-info><dc:creator>Ann</dc:creator>
 </office:change-info></text:insertion></text:changed-region>
</text:tracked-changes>
<text:sequence-decls><text:sequence-decl text:display-outline-level="0" text:name="Table"/></text:sequence-decls>
<text:h text:outline-level="1">Heading   One</text:h>
<text:p>First<text:s text:c="3"/>paragraph<text:tab/>tabbed<text:line-break/>second line.</text:p>
<text:p>Kept <text:change text:change-id="c1"/>text <text:change-start text:change-id="c2"/>added<text:change-end text:change-id="c2"/>.</text:p>
<text:list><text:list-item><text:p>Apple</text:p></text:list-item>
<text:list-item><text:p>Banana</text:p><text:list><text:list-item><text:p>Nested</text:p></text:list-item></text:list></text:list-item></text:list>
<table:table table:name="Table1"><table:table-column table:number-columns-repeated="4"/>
<table:table-row><table:table-cell><text:p>A1</text:p></table:table-cell><table:table-cell><text:p>B1</text:p><text:p>more</text:p></table:table-cell><table:table-cell/><table:table-cell/></table:table-row>
<table:table-row><table:table-cell table:number-columns-repeated="2"><text:p>x</text:p></table:table-cell><table:table-cell/><table:table-cell><text:p>D2</text:p></table:table-cell></table:table-row>
</table:table>
<text:p>See note<text:note text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body><text:p>Footnote body.</text:p></text:note-body></text:note> and end<text:note text:id="n2" text:note-class="endnote"><text:note-citation>i</text:note-citation><text:note-body><text:p>Endnote body.</text:p></text:note-body></text:note>.</text:p>
<text:p>Anchor<office:annotation><dc:creator>Bob</dc:creator><dc:date>2024-01-02T00:00:00</dc:date><text:p>A comment.</text:p></office:annotation> here<draw:frame draw:name="Box" svg:width="2cm"><draw:text-box><text:p>Boxed text</text:p></draw:text-box></draw:frame> too.</text:p>
<text:p>Table <text:sequence text:ref-name="refTable0" text:name="Table" text:formula="ooow:Table+1">1</text:sequence>: caption</text:p>
<text:p>Ελληνικά 日本語 العربية 😀</text:p>
<text:p/>
</office:text>'''

TEXT_STYLES = '''<style:master-page style:name="Standard" style:page-layout-name="pm1">
<style:header><text:p>Page header</text:p></style:header><style:footer><text:p>Page <text:page-number>1</text:page-number></text:p></style:footer>
</style:master-page><style:master-page style:name="Other"><style:header><text:p>Page header</text:p></style:header></style:master-page>'''

SHEET_BODY = '''<office:spreadsheet>
<table:calculation-settings table:automatic-find-labels="false"/>
<table:table table:name="Числа">
<table:table-column table:number-columns-repeated="16384"/>
<table:table-row><table:table-cell office:value-type="string"><text:p>Item</text:p></table:table-cell><table:table-cell office:value-type="string"><text:p>Price</text:p></table:table-cell><table:table-cell office:value-type="string"><text:p>Date</text:p></table:table-cell><table:table-cell table:number-columns-repeated="16381"/></table:table-row>
<table:table-row><table:table-cell office:value-type="string"><text:p>Tea 🍵</text:p></table:table-cell><table:table-cell office:value-type="float" office:value="3.5"><text:p>3.50</text:p></table:table-cell><table:table-cell office:value-type="date" office:date-value="2024-03-15"><text:p>15/03/2024</text:p></table:table-cell><table:table-cell table:number-columns-repeated="16381"/></table:table-row>
<table:table-row table:number-rows-repeated="3"><table:table-cell table:number-columns-repeated="16384"/></table:table-row>
<table:table-row><table:table-cell table:number-columns-repeated="2" office:value-type="float" office:value="7"><text:p>7</text:p></table:table-cell><table:table-cell office:value-type="boolean" office:boolean-value="true"><text:p>TRUE</text:p><office:annotation><dc:creator>Cy</dc:creator><text:p>Checked by hand</text:p></office:annotation></table:table-cell><table:table-cell office:value-type="float" office:value="42"/></table:table-row>
<table:table-row table:number-rows-repeated="1048571"><table:table-cell table:number-columns-repeated="16384"/></table:table-row>
</table:table>
<table:table table:name="Second"><table:table-row><table:table-cell table:number-columns-repeated="3"/><table:table-cell office:value-type="string"><text:p>far</text:p></table:table-cell></table:table-row></table:table>
</office:spreadsheet>'''


def slides(n):
    pages = []
    for i in range(1, n + 1):
        pages.append(
            f'<draw:page draw:name="page{i}" draw:master-page-name="Default">'
            f'<draw:frame presentation:class="title"><draw:text-box><text:p>Slide {i} title</text:p></draw:text-box></draw:frame>'
            f'<draw:frame presentation:class="outline"><draw:text-box><text:list><text:list-item><text:p>Point {i}a</text:p></text:list-item>'
            f'<text:list-item><text:p>Point {i}b</text:p></text:list-item></text:list></draw:text-box></draw:frame>'
            f'<presentation:notes><draw:page-thumbnail draw:page="{i}"/><draw:frame presentation:class="notes"><draw:text-box>'
            f'<text:p>Notes for slide {i}</text:p></draw:text-box></draw:frame></presentation:notes></draw:page>')
    return ('<office:presentation><presentation:footer-decl presentation:name="ftr1">Footer decl</presentation:footer-decl>'
            + ''.join(pages) + '</office:presentation>')


SLIDE_STYLES = ('<style:master-page style:name="Default"><draw:frame presentation:class="title"><draw:text-box>'
                '<text:p>Click to add Title</text:p></draw:text-box></draw:frame>'
                '<presentation:notes><draw:frame><draw:text-box><text:p>Master notes</text:p></draw:text-box></draw:frame>'
                '</presentation:notes></style:master-page>')


def flat(name):
    doc = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document {NS} office:mimetype="{MIME["odt"]}">'
           '<office:meta><dc:title>Meta title</dc:title></office:meta>'
           '<office:settings><config:config-item-set xmlns:config="urn:oasis:names:tc:opendocument:xmlns:config:1.0" '
           'config:name="x"/></office:settings>'
           '<office:styles><style:style style:name="Standard" style:family="paragraph"/></office:styles>'
           f'<office:master-styles>{TEXT_STYLES}</office:master-styles>'
           '<office:body><office:text><text:h>Flat heading</text:h><text:p>Flat <text:span>body</text:span> text.</text:p>'
           '<text:p><draw:frame><draw:image><office:binary-data>QUJDREVGRw==</office:binary-data></draw:image></draw:frame>After image</text:p>'
           '</office:text></office:body></office:document>')
    with open(os.path.join(HERE, name), 'w', encoding='utf-8') as f:
        f.write(doc)


def epub(name, encrypted=False):
    container = ('<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">'
                 '<rootfiles><rootfile full-path="OEBPS/content.opf" media-type="application/oebps-package+xml"/>'
                 '</rootfiles></container>')
    opf = ('<?xml version="1.0" encoding="UTF-8"?><package xmlns="http://www.idpf.org/2007/opf" version="3.0" unique-identifier="id">'
           '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Book</dc:title></metadata><manifest>'
           '<item id="c1" href="Text/chapter%201.xhtml" media-type="application/xhtml+xml"/>'
           '<item id="c2" href="Text/b.xhtml" media-type="application/xhtml+xml"/>'
           '<item id="c3" href="../OEBPS/Text/a.xhtml" media-type="application/xhtml+xml"/>'
           '<item id="css" href="style.css" media-type="text/css"/>'
           '<item id="nav" href="nav.xhtml" media-type="application/xhtml+xml" properties="nav"/>'
           '</manifest><spine><itemref idref="c3"/><itemref idref="c1"/><itemref idref="c2"/></spine></package>')

    def chapter(title, body):
        return ('<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE html><html xmlns="http://www.w3.org/1999/xhtml">'
                f'<head><title>{title}</title><style>p {{ color: red }}</style></head><body>{body}</body></html>')
    parts = [
        ('META-INF/container.xml', container),
        ('OEBPS/content.opf', opf),
        ('OEBPS/Text/a.xhtml', chapter('Opening', '<h1>Chapter A</h1><p>Первая глава, 第一章 ✨.</p>')),
        ('OEBPS/Text/chapter 1.xhtml', chapter('Middle', '<h1>Chapter B</h1><p>Second <em>chapter</em> text.</p>'
                                                '<table><tr><td>c1</td><td>c2</td></tr></table>')),
        ('OEBPS/Text/b.xhtml', chapter('End', '<h1>Chapter C</h1><ul><li>one</li><li>two</li></ul>')),
        ('OEBPS/nav.xhtml', chapter('Nav', '<nav><ol><li>Not in spine</li></ol></nav>')),
        ('OEBPS/style.css', 'p { margin: 0 }'),
    ]
    if encrypted:
        parts.append(('META-INF/encryption.xml',
                      '<encryption xmlns="urn:oasis:names:tc:opendocument:xmlns:container" '
                      'xmlns:enc="http://www.w3.org/2001/04/xmlenc#"><enc:EncryptedData>'
                      '<enc:EncryptionMethod Algorithm="http://www.w3.org/2001/04/xmlenc#aes128-cbc"/>'
                      '<enc:CipherData><enc:CipherReference URI="OEBPS/Text/a.xhtml"/></enc:CipherData></enc:EncryptedData>'
                      '<enc:EncryptedData><enc:EncryptionMethod Algorithm="http://www.w3.org/2001/04/xmlenc#aes128-cbc"/>'
                      '<enc:CipherData><enc:CipherReference URI="OEBPS/Text/chapter%201.xhtml"/></enc:CipherData></enc:EncryptedData>'
                      '<enc:EncryptedData><enc:EncryptionMethod Algorithm="http://www.w3.org/2001/04/xmlenc#aes128-cbc"/>'
                      '<enc:CipherData><enc:CipherReference URI="OEBPS/Text/b.xhtml"/></enc:CipherData></enc:EncryptedData>'
                      '</encryption>'))
    write_zip(name, 'application/epub+zip', parts)


def lists(name):
    def num(level, fmt, suffix='.', display=1, start=None, prefix=''):
        extra = f' text:start-value="{start}"' if start else ''
        return (f'<text:list-level-style-number text:level="{level}" style:num-format="{fmt}" style:num-prefix="{prefix}" '
                f'style:num-suffix="{suffix}" text:display-levels="{display}"{extra}/>')

    def bullet(level, char):
        return f'<text:list-level-style-bullet text:level="{level}" text:bullet-char="{char}"/>'

    def items(*texts):
        return ''.join(f'<text:list-item><text:p>{t}</text:p></text:list-item>' for t in texts)

    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS}><office:automatic-styles>'
               '<text:list-style style:name="L1">' + num(1, '1') + num(2, 'a', ')', 2) + num(3, 'I', '', 1, 4, '(') +
               '</text:list-style></office:automatic-styles><office:body><office:text>'
               '<text:list text:style-name="L1"><text:list-header><text:p>Header, no label</text:p></text:list-header>' +
               items('One') + '<text:list-item><text:p>Two</text:p><text:p>Second paragraph, no label</text:p>'
               '<text:list>' + items('Sub', 'Sub') + '<text:list-item><text:list>' + items('Deep') +
               '</text:list></text:list-item></text:list></text:list-item></text:list>'
               '<text:p>Between</text:p>'
               '<text:list text:style-name="L1" text:continue-numbering="true">' + items('Three') + '</text:list>'
               '<text:list text:style-name="L1">' + items('Again one') +
               '<text:list-item text:start-value="9"><text:p>Nine</text:p></text:list-item></text:list>'
               '<text:list text:style-name="Bullets">' + items('Dot') + '<text:list-item><text:list>' + items('Hollow') +
               '</text:list></text:list-item></text:list>'
               '<text:list text:style-name="Unknown">' + items('No style') + '</text:list>'
               '</office:text></office:body></office:document-content>')
    styles = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles {NS}><office:styles>'
              '<text:list-style style:name="Bullets">' + bullet(1, '\u2022') + bullet(2, '\uf0a7') + '</text:list-style>'
              '</office:styles></office:document-styles>')
    write_zip(name, MIME['odt'], [('content.xml', content), ('styles.xml', styles),
                                  ('META-INF/manifest.xml', manifest(MIME['odt']))])


def formula(name):
    math = ('<?xml version="1.0" encoding="UTF-8"?>\n<math xmlns="http://www.w3.org/1998/Math/MathML"><semantics><mrow>'
            '<mi>E</mi><mo>=</mo><mi>m</mi><msup><mi>c</mi><mn>2</mn></msup></mrow>'
            '<annotation encoding="StarMath 5.0">E = m c^2</annotation></semantics></math>')
    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS} '
               'xmlns:xlink="http://www.w3.org/1999/xlink"><office:body><office:text><text:p>Energy <draw:frame text:anchor-type="as-char"><draw:object xlink:href="./Object 1"/></draw:frame>'
               ' and mass.</text:p><text:p>Next line.</text:p></office:text></office:body></office:document-content>')
    write_zip(name, MIME['odt'], [('content.xml', content), ('Object 1/content.xml', math),
                                  ('META-INF/manifest.xml', manifest(MIME['odt']))])


def main():
    odf('text.odt', 'odt', TEXT_BODY, TEXT_STYLES)
    odf('sheet.ods', 'ods', SHEET_BODY)
    odf('slides.odp', 'odp', slides(12), SLIDE_STYLES)
    flat('text.fodt')
    lists('lists.odt')
    formula('formula.odt')
    epub('book.epub')
    epub('encrypted.epub', encrypted=True)
    odf('encrypted.odt', 'odt', '<office:text><text:p>secret</text:p></office:text>', encrypted=True)
    # Hostile and damaged documents.
    cells = '<table:table-cell table:number-columns-repeated="16384"><text:p>x</text:p></table:table-cell>'
    odf('rows_bomb.ods', 'ods', '<office:spreadsheet><table:table table:name="Bomb">'
        f'<table:table-row table:number-rows-repeated="1048576">{cells}</table:table-row>'
        '</table:table></office:spreadsheet>')
    odf('malformed.odt', 'odt', '<office:text>' + '<text:p>Before the break.</text:p>' * 2000 + '<text:p>Broken <text:span>here'
        '</text:p></office:text>')
    odf('zip_bomb.odt', 'odt', '<office:text><text:p>Start</text:p>' + '<text:p/>' * (5 << 20) + '<text:p>End</text:p></office:text>')
    xxe = ('<?xml version="1.0"?>\n<!DOCTYPE office:document-content [<!ENTITY secret SYSTEM "/etc/passwd">]>\n'
           f'<office:document-content {NS}><office:body><office:text><text:p>Safe &secret; text</text:p>'
           '</office:text></office:body></office:document-content>')
    write_zip('external_entity.odt', MIME['odt'], [('content.xml', xxe)])
    with open(os.path.join(HERE, 'text.odt'), 'rb') as f:
        data = f.read()
    with open(os.path.join(HERE, 'truncated.odt'), 'wb') as f:
        f.write(data[:len(data) * 2 // 3])
    with open(os.path.join(HERE, 'not_odf.odt'), 'wb') as f:
        f.write(b'This is only text that claims to be a document.\n')


if __name__ == '__main__':
    main()
