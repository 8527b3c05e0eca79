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


def entry(part):
    """A zip entry with a fixed date, so that the samples do not change when
    they are written again."""
    return zipfile.ZipInfo(part, date_time=(1980, 1, 1, 0, 0, 0))


def write_zip(name, mime, parts):
    with zipfile.ZipFile(os.path.join(HERE, name), 'w') as z:
        z.writestr(entry('mimetype'), mime, compress_type=zipfile.ZIP_STORED)
        for part, data in parts:
            z.writestr(entry(part), data, compress_type=zipfile.ZIP_DEFLATED)


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
<table:table-row><table:table-cell><text:p>Before</text:p><table:table><table:table-row><table:table-cell><text:p>n1</text:p></table:table-cell><table:table-cell><text:p>n2</text:p></table:table-cell></table:table-row><table:table-row><table:table-cell><text:p>n3</text:p></table:table-cell><table:table-cell><text:p>n4</text:p></table:table-cell></table:table-row></table:table><text:p>after</text:p></table:table-cell><table:table-cell><text:p>last</text:p></table:table-cell></table:table-row>
</table:table>
<text:p>See note<text:note text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body><text:p>Footnote body.</text:p></text:note-body></text:note> and end<text:note text:id="n2" text:note-class="endnote"><text:note-citation>i</text:note-citation><text:note-body><text:p>Endnote body.</text:p></text:note-body></text:note>.</text:p>
<text:p>Anchor<office:annotation><dc:creator>Bob</dc:creator><dc:date>2024-01-02T00:00:00</dc:date><text:p>A comment.</text:p></office:annotation> here<draw:frame draw:name="Box" svg:width="2cm"><draw:text-box><text:p>Boxed text</text:p></draw:text-box></draw:frame> too.</text:p>
<text:p>Table <text:sequence text:ref-name="refTable0" text:name="Table" text:formula="ooow:Table+1">1</text:sequence>: caption</text:p>
<text:p>Ελληνικά 日本語 العربية 😀</text:p>
<text:p>The capital <text:ruby><text:ruby-base>東京</text:ruby-base><text:ruby-text>とうきょう</text:ruby-text></text:ruby> is large.</text:p>
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


def features_odp(name):
    """Slide footers and fixed dates from declarations (shown where the page
    style displays them), text on the master outside placeholders, and list
    labels from automatic, named and inherited list styles."""
    P = 'urn:oasis:names:tc:opendocument:xmlns:presentation:1.0'
    styles = ('<office:styles>'
              '<style:style style:name="Default-outline1" style:family="presentation"><style:graphic-properties>'
              '<text:list-style style:name="Default-outline1"><text:list-level-style-bullet text:level="1" text:bullet-char="●"/>'
              '<text:list-level-style-bullet text:level="2" text:bullet-char="–"/></text:list-style>'
              '</style:graphic-properties></style:style></office:styles>')
    automatic = ('<office:automatic-styles>'
                 '<style:style style:name="dp1" style:family="drawing-page"><style:drawing-page-properties '
                 'presentation:display-footer="true" presentation:display-date-time="true"/></style:style>'
                 '<style:style style:name="dp2" style:family="drawing-page"><style:drawing-page-properties '
                 'presentation:display-footer="false" presentation:background-objects-visible="false"/></style:style>'
                 '<style:style style:name="pr1" style:family="presentation" style:parent-style-name="Default-outline1"/>'
                 '<text:list-style style:name="L1"><text:list-level-style-number text:level="1" style:num-suffix="." '
                 'style:num-format="1"/><text:list-level-style-number text:level="2" style:num-suffix=")" style:num-format="a"/>'
                 '</text:list-style>'
                 '<text:list-style style:name="L2"><text:list-level-style-number text:level="1" style:num-format="I"/>'
                 '</text:list-style></office:automatic-styles>')
    item = lambda text: f'<text:list-item><text:p>{text}</text:p></text:list-item>'
    body = (
        '<office:presentation>'
        '<presentation:footer-decl presentation:name="ftr1">Company footer</presentation:footer-decl>'
        '<presentation:date-time-decl presentation:name="dtd1" presentation:source="fixed">Spring 2024</presentation:date-time-decl>'
        '<presentation:date-time-decl presentation:name="dtd2" presentation:source="current" '
        'style:data-style-name="D1">03/15/2024</presentation:date-time-decl>'
        '<draw:page draw:name="p1" draw:style-name="dp1" draw:master-page-name="Default" '
        'presentation:use-footer-name="ftr1" presentation:use-date-time-name="dtd1">'
        '<draw:frame presentation:class="title"><draw:text-box><text:p>Slide one</text:p></draw:text-box></draw:frame>'
        '<draw:frame presentation:style-name="pr1" presentation:class="outline"><draw:text-box>'
        '<text:list>' + item('Inherited bullet') + '<text:list-item><text:list>' + item('Inherited dash') +
        '</text:list></text:list-item></text:list>'
        '<text:list text:style-name="L1">' + item('Step') + '<text:list-item><text:list>' + item('Detail') + item('More') +
        '</text:list></text:list-item>' + item('Step') + '</text:list>'
        '<text:list text:style-name="L2">' + item('Roman') + '</text:list>'
        '</draw:text-box></draw:frame>'
        '<presentation:notes><draw:frame presentation:class="notes"><draw:text-box><text:p>Notes one</text:p>'
        '</draw:text-box></draw:frame></presentation:notes></draw:page>'
        # A page that shows neither the footer nor the master's objects, and
        # a date the application fills in.
        '<draw:page draw:name="p2" draw:style-name="dp2" draw:master-page-name="Other" '
        'presentation:use-footer-name="ftr1" presentation:use-date-time-name="dtd2">'
        '<draw:frame presentation:class="title"><draw:text-box><text:p>Slide two</text:p></draw:text-box></draw:frame>'
        '</draw:page>'
        '</office:presentation>')
    masters = (
        '<office:master-styles>'
        '<style:master-page style:name="Default">'
        '<draw:frame presentation:class="title" presentation:placeholder="true"><draw:text-box>'
        '<text:p>Click to add Title</text:p></draw:text-box></draw:frame>'
        '<draw:frame presentation:class="footer"><draw:text-box><text:p><presentation:footer/></text:p></draw:text-box></draw:frame>'
        '<draw:frame presentation:class="date-time"><draw:text-box><text:p>Printed <presentation:date-time/> on paper</text:p>'
        '</draw:text-box></draw:frame>'
        '<draw:frame presentation:class="page-number"><draw:text-box><text:p><text:page-number>&lt;number&gt;</text:page-number>'
        '</text:p></draw:text-box></draw:frame>'
        '<draw:custom-shape><text:p>Master logo text</text:p></draw:custom-shape>'
        '<presentation:notes><draw:frame><draw:text-box><text:p>Master notes</text:p></draw:text-box></draw:frame></presentation:notes>'
        '</style:master-page>'
        '<style:master-page style:name="Other"><draw:custom-shape><text:p>Hidden master text</text:p></draw:custom-shape>'
        '</style:master-page>'
        '</office:master-styles>')
    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS}>{automatic}'
               f'<office:body>{body}</office:body></office:document-content>')
    style_xml = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles {NS}>{styles}{masters}'
                 '</office:document-styles>')
    write_zip(name, MIME['odp'], [('content.xml', content), ('styles.xml', style_xml),
                                  ('META-INF/manifest.xml', manifest(MIME['odp']))])


def headers_ods(name):
    """Page headers and footers of the master pages sheets print with (the
    default sheet-name and page-number furniture left out), and cells that
    carry only their value, shown through their data styles."""
    N = 'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0"'
    automatic = (
        f'<office:automatic-styles {N}>'
        '<style:style style:name="ta1" style:family="table" style:master-page-name="Default"/>'
        '<style:style style:name="ta2" style:family="table" style:master-page-name="Budget"/>'
        '<number:number-style style:name="N1"><number:number number:decimal-places="2" number:min-decimal-places="2" '
        'number:min-integer-digits="1" number:grouping="true"/></number:number-style>'
        '<number:currency-style style:name="N2P0"><number:number number:decimal-places="2" number:min-integer-digits="1" '
        'number:grouping="true"/><number:text> </number:text><number:currency-symbol>€</number:currency-symbol>'
        '</number:currency-style>'
        '<number:currency-style style:name="N2"><number:text>-</number:text><number:number number:decimal-places="2" '
        'number:min-integer-digits="1" number:grouping="true"/><number:text> </number:text>'
        '<number:currency-symbol>€</number:currency-symbol><style:map style:condition="value()&gt;=0" '
        'style:apply-style-name="N2P0"/></number:currency-style>'
        '<number:percentage-style style:name="N3"><number:number number:decimal-places="1" number:min-integer-digits="1"/>'
        '<number:text>%</number:text></number:percentage-style>'
        '<number:date-style style:name="N4"><number:day-of-week number:style="long"/><number:text>, </number:text>'
        '<number:day/><number:text> </number:text><number:month number:textual="true" number:style="long"/>'
        '<number:text> </number:text><number:year number:style="long"/></number:date-style>'
        '<number:time-style style:name="N5"><number:hours number:style="long"/><number:text>:</number:text>'
        '<number:minutes number:style="long"/><number:text> </number:text><number:am-pm/></number:time-style>'
        '<number:number-style style:name="N6"><number:fraction number:min-integer-digits="1" number:min-numerator-digits="1" '
        'number:min-denominator-digits="1"/></number:number-style>'
        '<style:style style:name="ce1" style:family="table-cell" style:data-style-name="N1"/>'
        '<style:style style:name="ce2" style:family="table-cell" style:data-style-name="N2"/>'
        '<style:style style:name="ce3" style:family="table-cell" style:data-style-name="N3"/>'
        '<style:style style:name="ce4" style:family="table-cell" style:data-style-name="N4"/>'
        '<style:style style:name="ce5" style:family="table-cell" style:data-style-name="N5"/>'
        '<style:style style:name="ce6" style:family="table-cell" style:data-style-name="N6"/>'
        '</office:automatic-styles>')
    cell = lambda style, kind, attr, value: (f'<table:table-cell table:style-name="{style}" office:value-type="{kind}" '
                                             f'office:{attr}="{value}"/>')
    body = (
        '<office:spreadsheet>'
        '<table:table table:name="Plain" table:style-name="ta1"><table:table-row>'
        '<table:table-cell office:value-type="string"><text:p>Default pages</text:p></table:table-cell></table:table-row>'
        '</table:table>'
        '<table:table table:name="Values" table:style-name="ta2"><table:table-row>' +
        cell('ce1', 'float', 'value', '1234567.891') + cell('ce2', 'currency', 'value', '-1234.5') +
        cell('ce2', 'currency', 'value', '99') + cell('ce3', 'percentage', 'value', '0.125') +
        cell('ce4', 'date', 'date-value', '2024-03-15') + cell('ce5', 'time', 'time-value', 'PT14H05M00S') +
        cell('ce6', 'float', 'value', '2.75') + cell('ce1', 'boolean', 'boolean-value', 'true') +
        '<table:table-cell office:value-type="float" office:value="0.30000000000000004"/>'
        '</table:table-row></table:table>'
        '</office:spreadsheet>')
    masters = (
        '<office:master-styles>'
        '<style:master-page style:name="Default"><style:header><text:p><text:sheet-name>???</text:sheet-name></text:p>'
        '</style:header><style:footer><text:p>Page <text:page-number>1</text:page-number></text:p></style:footer></style:master-page>'
        '<style:master-page style:name="Budget"><style:header><style:region-left><text:p>Quarterly budget draft</text:p>'
        '</style:region-left><style:region-right><text:p><text:sheet-name>???</text:sheet-name></text:p></style:region-right>'
        '</style:header><style:footer><text:p>Page <text:page-number>1</text:page-number> of <text:page-count>3</text:page-count>'
        '</text:p><text:p>Prepared by Finance</text:p></style:footer></style:master-page>'
        '<style:master-page style:name="Unused"><style:header><text:p>Never printed</text:p></style:header></style:master-page>'
        '</office:master-styles>')
    content = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content {NS}>{automatic}'
               f'<office:body>{body}</office:body></office:document-content>')
    style_xml = f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles {NS}>{masters}</office:document-styles>'
    write_zip(name, MIME['ods'], [('content.xml', content), ('styles.xml', style_xml),
                                  ('META-INF/manifest.xml', manifest(MIME['ods']))])


def flat(name):
    doc = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document {NS} office:mimetype="{MIME["odt"]}">'
           '<office:meta><dc:title>Meta title</dc:title></office:meta>'
           '<office:settings><config:config-item-set xmlns:config="urn:oasis:names:tc:opendocument:xmlns:config:1.0" '
           'config:name="x"/></office:settings>'
           '<office:styles><style:style style:name="Standard" style:family="paragraph"/></office:styles>'
           f'<office:master-styles>{TEXT_STYLES}</office:master-styles>'
           '<office:body><office:text><text:h>Flat heading</text:h><text:p>Flat <text:span>body</text:span> text, hy\u00adphen\u00adated.</text:p>'
           '<text:p><draw:frame><draw:image><office:binary-data>QUJDREVGRw==</office:binary-data></draw:image></draw:frame>After image</text:p>'
           '</office:text></office:body></office:document>')
    with open(os.path.join(HERE, name), 'w', encoding='utf-8') as f:
        f.write(doc)


CHART_NS = ('xmlns:chart="urn:oasis:names:tc:opendocument:xmlns:chart:1.0" '
            'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
            'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
            'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"')


def chart_document():
    """A chart object as a flat document keeps it in place: its title, and the
    table of what it plots (series names, categories, numbers)."""
    cell = '<table:table-cell office:value-type="{}"{}><text:p>{}</text:p></table:table-cell>'.format
    row = lambda *cells: '<table:table-row>' + ''.join(cells) + '</table:table-row>'
    return (f'<office:document {CHART_NS} office:mimetype="application/vnd.oasis.opendocument.chart"><office:body>'
            '<office:chart><chart:chart><chart:title><text:p>Sales by region</text:p></chart:title>'
            '<table:table table:name="local-table"><table:table-header-rows>'
            + row('<table:table-cell/>', cell('string', '', 'North'), cell('string', '', 'South')) +
            '</table:table-header-rows><table:table-rows>'
            + row(cell('string', '', 'Q1'), cell('float', ' office:value="12.5"', '12.5'), cell('float', ' office:value="7"', '7'))
            + row(cell('string', '', 'Q2'), cell('float', ' office:value="3"', '3'), cell('float', ' office:value="4"', '4')) +
            '</table:table-rows></table:table></chart:chart></office:chart></office:body></office:document>')


def flat_objects(text_name, sheet_name):
    """Flat files as newer writers save them: a deletion kept in place between
    its change marks (its store names it a deletion), and a chart object kept
    inside the frame that shows it."""
    changes = ('<text:tracked-changes><text:changed-region text:id="ct1"><text:deletion><office:change-info>'
               '<dc:creator>Ann</dc:creator></office:change-info></text:deletion></text:changed-region>'
               '<text:changed-region text:id="ct2"><text:insertion><office:change-info><dc:creator>Ann</dc:creator>'
               '</office:change-info></text:insertion></text:changed-region>'
               '<text:changed-region text:id="ct3"><text:deletion><office:change-info><dc:creator>Ann</dc:creator>'
               '</office:change-info></text:deletion></text:changed-region></text:tracked-changes>')
    text = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document {NS} xmlns:loext="urn:org:documentfoundation:names:experimental:office:xmlns:loext:1.0" '
            f'office:mimetype="{MIME["odt"]}"><office:automatic-styles><text:list-style style:name="L1">'
            '<text:list-level-style-bullet text:level="1" text:bullet-char="\u2022"/></text:list-style>'
            f'</office:automatic-styles><office:body><office:text>{changes}'
            '<text:p>Kept <text:change-start text:change-id="ct1"/>removed words <text:change-end text:change-id="ct1"/>'
            '<text:change-start text:change-id="ct2"/>added <text:change-end text:change-id="ct2"/>text.</text:p>'
            '<text:list text:style-name="L1"><text:list-item><text:p>Kept item</text:p></text:list-item>'
            '<text:list-item><text:p><text:change-start text:change-id="ct3"/>Removed item</text:p></text:list-item>'
            '<text:list-item><text:p>Removed too<text:change-end text:change-id="ct3"/></text:p></text:list-item>'
            '<text:list-item><text:p/></text:list-item></text:list>'
            f'<text:p>Chart <draw:frame><draw:object><loext:p/>{chart_document()}</draw:object></draw:frame> here.</text:p>'
            '</office:text></office:body></office:document>')
    sheet = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document {NS} office:mimetype="{MIME["ods"]}">'
             '<office:body><office:spreadsheet><table:table table:name="Data"><table:table-row>'
             '<table:table-cell office:value-type="string"><text:p>Region</text:p></table:table-cell>'
             f'<table:table-cell><draw:frame><draw:object>{chart_document()}</draw:object></draw:frame></table:table-cell>'
             '</table:table-row></table:table></office:spreadsheet></office:body></office:document>')
    for name, doc in ((text_name, text), (sheet_name, sheet)):
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
               # Headings numbered by the outline style: levels shown with their
               # parents', a level without a number, a heading that is a list
               # header, a restart, and a heading inside a list (its list's label).
               '<text:h text:outline-level="1">Introduction</text:h><text:h text:outline-level="2">Scope</text:h>'
               '<text:h text:outline-level="3">Unnumbered level</text:h><text:h text:outline-level="2">Terms</text:h>'
               '<text:h text:outline-level="1" text:is-list-header="true">Preface, no number</text:h>'
               '<text:h>Method</text:h>'
               '<text:h text:outline-level="2" text:restart-numbering="true" text:start-value="5">Restarted</text:h>'
               '<text:list text:style-name="L1"><text:list-item><text:h text:outline-level="1">Listed heading</text:h>'
               '</text:list-item></text:list>'
               '</office:text></office:body></office:document-content>')
    outline = ('<text:outline-style style:name="Outline">'
               '<text:outline-level-style text:level="1" style:num-format="1" style:num-suffix="."/>'
               '<text:outline-level-style text:level="2" style:num-format="1" style:num-suffix="." text:display-levels="2"/>'
               '<text:outline-level-style text:level="3" style:num-format=""/></text:outline-style>')
    styles = (f'<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles {NS}><office:styles>'
              '<text:list-style style:name="Bullets">' + bullet(1, '\u2022') + bullet(2, '\uf0a7') + '</text:list-style>' +
              outline + '</office:styles></office:document-styles>')
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
    features_odp('features.odp')
    headers_ods('headers.ods')
    flat('text.fodt')
    flat_objects('changes.fodt', 'chart.fods')
    lists('lists.odt')
    formula('formula.odt')
    epub('book.epub')
    epub('encrypted.epub', encrypted=True)
    odf('encrypted.odt', 'odt', '<office:text><text:p>secret</text:p></office:text>', encrypted=True)
    # Slide number fields in a slide's own text hold a stand-in, not the number.
    odf('fields.odp', 'odp', '<office:presentation><draw:page draw:name="p1"><draw:frame><draw:text-box>'
        '<text:p>Slide <text:page-number>&lt;number&gt;</text:page-number> of '
        '<text:page-count>&lt;count&gt;</text:page-count>, dated '
        '<text:date text:fixed="true" text:date-value="2024-03-05">5 March 2024</text:date></text:p>'
        '</draw:text-box></draw:frame></draw:page></office:presentation>')
    # Hostile and damaged documents.
    cells = '<table:table-cell table:number-columns-repeated="16384"><text:p>x</text:p></table:table-cell>'
    odf('rows_bomb.ods', 'ods', '<office:spreadsheet><table:table table:name="Bomb">'
        f'<table:table-row table:number-rows-repeated="1048576">{cells}</table:table-row>'
        '</table:table></office:spreadsheet>')
    # Filled cells after long runs of empty ones keep their column; runs of
    # a billion empty cells and rows cost nothing.
    empty = '<table:table-cell table:number-columns-repeated="{}"/>'.format
    odf('wide.ods', 'ods', '<office:spreadsheet><table:table table:name="Wide">'
        '<table:table-row><table:table-cell office:value-type="string"><text:p>first</text:p></table:table-cell>'
        f'{empty(99)}{empty(100)}<table:table-cell office:value-type="string"><text:p>col 201</text:p></table:table-cell>'
        f'{empty(1000000000)}</table:table-row>'
        f'<table:table-row table:number-rows-repeated="1000000000">{empty(1000000000)}</table:table-row>'
        f'<table:table-row>{empty(1000000000)}<table:table-cell office:value-type="string"><text:p>last</text:p>'
        '</table:table-cell></table:table-row></table:table></office:spreadsheet>')
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
