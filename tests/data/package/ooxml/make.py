#!/usr/bin/env python3
"""Writes the small OOXML samples the ooxml tests read (run from anywhere;
the files land beside this script).  Every part is written by hand here."""
import io
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main" ' \
    'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships" ' \
    'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"'
REL = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
A = 'xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main"'
P = 'xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"'
S = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'


def rels(items):
    body = ''.join(f'<Relationship Id="{i}" Type="{REL}{t}" Target="{target}"/>' for i, t, target in items)
    return ('<?xml version="1.0" encoding="UTF-8"?><Relationships '
            f'xmlns="http://schemas.openxmlformats.org/package/2006/relationships">{body}</Relationships>')


def entry(part, compression=zipfile.ZIP_DEFLATED):
    """A zip entry with a fixed date, so that the samples do not change when
    they are written again."""
    info = zipfile.ZipInfo(part, date_time=(1980, 1, 1, 0, 0, 0))
    info.compress_type = compression
    return info


def package_bytes(parts):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        for part, text in parts.items():
            z.writestr(entry(part), text)
    return buf.getvalue()


def number_category_chart():
    """A chart whose categories are years and dates (numbers with a format),
    with a multi-level label and values that are no text."""
    C = 'xmlns:c="http://schemas.openxmlformats.org/drawingml/2006/chart"'
    def pts(values, fmt=None):
        attr = f' formatCode="{fmt}"' if fmt else ''
        return ''.join(f'<c:pt idx="{i}"{attr}><c:v>{v}</c:v></c:pt>' for i, v in enumerate(values))
    return (f'<c:chartSpace {C} {A}><c:date1904 val="0"/><c:chart><c:plotArea><c:lineChart>'
            '<c:ser><c:tx><c:strRef><c:strCache><c:pt idx="0"><c:v>Revenue</c:v></c:pt></c:strCache></c:strRef></c:tx>'
            '<c:cat><c:numRef><c:f>S!A2:A3</c:f><c:numCache><c:formatCode>General</c:formatCode>' + pts([2019, 2020]) +
            '</c:numCache></c:numRef></c:cat><c:val><c:numRef><c:numCache>' + pts([17.5, 18.25]) +
            '</c:numCache></c:numRef></c:val></c:ser>'
            '<c:ser><c:cat><c:numRef><c:numCache><c:formatCode>mmm\\ yyyy</c:formatCode>' + pts([43831]) +
            pts([43862], 'd-mmm') + '</c:numCache></c:numRef></c:cat></c:ser>'
            '<c:ser><c:cat><c:multiLvlStrRef><c:multiLvlStrCache><c:lvl>' + pts(['North']) +
            '</c:lvl></c:multiLvlStrCache></c:multiLvlStrRef></c:cat></c:ser>'
            '</c:lineChart></c:plotArea></c:chart></c:chartSpace>')


def diagram_data(nodes):
    """A SmartArt data part: a document node without text, one node per
    entry, and the transitions between them (no text either)."""
    DGM = 'xmlns:dgm="http://schemas.openxmlformats.org/drawingml/2006/diagram"'
    pts = '<dgm:pt modelId="{0}" type="doc"><dgm:prSet/><dgm:spPr/><dgm:t><a:bodyPr/><a:lstStyle/><a:p><a:endParaRPr/></a:p></dgm:t></dgm:pt>'
    for i, n in enumerate(nodes):
        pts += (f'<dgm:pt modelId="{{{i + 1}}}"><dgm:prSet phldrT="[Text]"/><dgm:spPr/><dgm:t><a:bodyPr/><a:lstStyle/>'
                f'<a:p><a:r><a:rPr lang="en-US"/><a:t>{n}</a:t></a:r></a:p></dgm:t></dgm:pt>'
                f'<dgm:pt modelId="{{9{i}}}" type="parTrans"><dgm:prSet/><dgm:spPr/><dgm:t><a:bodyPr/><a:lstStyle/>'
                '<a:p><a:endParaRPr/></a:p></dgm:t></dgm:pt>')
    return f'<dgm:dataModel {DGM} {A}><dgm:ptLst>{pts}</dgm:ptLst><dgm:cxnLst/><dgm:bg/><dgm:whole/></dgm:dataModel>'


def write(name, parts, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(os.path.join(HERE, name), 'w', compression) as z:
        for part, text in parts.items():
            z.writestr(entry(part, compression), text)


def run(t):
    return f'<w:r><w:t xml:space="preserve">{t}</w:t></w:r>'


def para(*runs):
    return '<w:p>' + ''.join(runs) + '</w:p>'


def docx_parts(body, extra=None, extra_rels=()):
    parts = {
        '[Content_Types].xml': '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        '_rels/.rels': rels([('rId1', 'officeDocument', 'word/document.xml')]),
        'word/document.xml': f'<?xml version="1.0" encoding="UTF-8"?><w:document {W}><w:body>{body}</w:body></w:document>',
        'word/_rels/document.xml.rels': rels(extra_rels),
    }
    parts.update(extra or {})
    return parts


def make_docx():
    body = ''.join([
        para(run('Plain paragraph with '), '<w:r><w:tab/></w:r>', run('a tab.')),
        para(run('Line one'), '<w:r><w:br/></w:r>', run('line two')),
        # A list: numbered paragraphs are still one line each.
        '<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr>' + run('First item') + '</w:p>',
        '<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr>' + run('Second item') + '</w:p>',
        # A table with a nested table in its last cell and an empty cell.
        '<w:tbl><w:tblPr/><w:tr><w:tc>' + para(run('A1')) + '</w:tc><w:tc>' + para(run('B1')) + para(run('more')) +
        '</w:tc><w:tc><w:p/></w:tc><w:tc>' + para(run('D1')) + '</w:tc></w:tr><w:tr><w:tc>' + para(run('A2')) +
        '</w:tc><w:tc><w:tbl><w:tr><w:tc>' + para(run('in1')) + '</w:tc><w:tc>' + para(run('in2')) +
        '</w:tc></w:tr></w:tbl><w:p/></w:tc></w:tr></w:tbl>',
        # Tracked changes: the deletion is gone, the insertion stays.
        para(run('Kept '), '<w:del w:id="1" w:author="x"><w:r><w:delText>deleted </w:delText></w:r></w:del>',
             '<w:ins w:id="2" w:author="x">' + run('inserted') + '</w:ins>'),
        # A field shows its result, not its instruction.
        para(run('Page '), '<w:r><w:fldChar w:fldCharType="begin"/></w:r><w:r><w:instrText> PAGE </w:instrText></w:r>'
             '<w:r><w:fldChar w:fldCharType="separate"/></w:r>', run('7'), '<w:r><w:fldChar w:fldCharType="end"/></w:r>',
             run(' of 9')),
        # A text box given twice (modern and fallback copies): read once.
        para(run('Before box'), '<w:r><mc:AlternateContent><mc:Choice Requires="wps"><w:drawing><w:txbxContent>' +
             para(run('Inside the box')) + '</w:txbxContent></w:drawing></mc:Choice><mc:Fallback><w:pict><w:txbxContent>' +
             para(run('Inside the box')) + '</w:txbxContent></w:pict></mc:Fallback></mc:AlternateContent></w:r>'),
        # Symbols: inserted from a font's map, typed in the Symbol font (its
        # letters are Greek), a Wingdings check box; a font that a tracked
        # change replaced no longer holds.
        para(run('Symbol '), '<w:r><w:sym w:font="Symbol" w:char="F061"/></w:r>', run(' e-mail'),
             '<w:r><w:noBreakHyphen/></w:r>', run('x '),
             '<w:r><w:rPr><w:rFonts w:ascii="Symbol" w:hAnsi="Symbol"/></w:rPr><w:t>p=r</w:t></w:r>', run(' '),
             '<w:r><w:sym w:font="Wingdings" w:char="F0FE"/></w:r>',
             '<w:r><w:rPr><w:rPrChange w:id="9" w:author="x"><w:rPr><w:rFonts w:ascii="Symbol"/></w:rPr>'
             '</w:rPrChange></w:rPr><w:t xml:space="preserve"> p</w:t></w:r>'),
        para(run('Ελληνικά, 日本語, русский, עברית and 😀 emoji')),
        para(run('Note here'), '<w:r><w:footnoteReference w:id="1"/></w:r>', run(' and there'),
             '<w:r><w:endnoteReference w:id="1"/></w:r>', run('.')),
        '<w:sectPr><w:headerReference w:type="default" r:id="rId2"/></w:sectPr>',
    ])
    extra = {
        'word/header1.xml': f'<w:hdr {W}>' + para(run('Header text')) + '</w:hdr>',
        'word/footer1.xml': f'<w:ftr {W}>' + para(run('Footer text')) + '</w:ftr>',
        'word/footnotes.xml': f'<w:footnotes {W}><w:footnote w:type="separator" w:id="-1">' + para('<w:r><w:separator/></w:r>') +
                              '</w:footnote><w:footnote w:id="1">' + para('<w:r><w:footnoteRef/></w:r>', run(' The footnote.')) +
                              '</w:footnote></w:footnotes>',
        # A note's mark is followed by a space even where no run holds one.
        'word/endnotes.xml': f'<w:endnotes {W}><w:endnote w:id="1">' + para('<w:r><w:endnoteRef/></w:r>', run('The endnote.')) +
                             '</w:endnote></w:endnotes>',
        'word/comments.xml': f'<w:comments {W}><w:comment w:id="0" w:author="x">' + para(run('A comment.')) + '</w:comment></w:comments>',
    }
    r = [('rId2', 'header', 'header1.xml'), ('rId3', 'footer', 'footer1.xml'), ('rId4', 'footnotes', 'footnotes.xml'),
         ('rId5', 'endnotes', 'endnotes.xml'), ('rId6', 'comments', 'comments.xml')]
    write('sample.docx', docx_parts(body, extra, r))

    # Hostile and damaged packages.
    write('bomb.docx', docx_parts('<w:p/>' * ((100 << 20) // 6)))
    with open(os.path.join(HERE, 'sample.docx'), 'rb') as f:
        data = f.read()
    with open(os.path.join(HERE, 'truncated.docx'), 'wb') as f:
        f.write(data[:len(data) // 2])
    write('malformed.docx', docx_parts(para(run('Readable start')) + '<w:p><w:r><w:t>broken</w:r>' + para(run('never'))))
    write('deep.docx', docx_parts(para(run('Shallow')) + '<w:sdt><w:sdtContent>' * 5000 + '</w:sdtContent></w:sdt>' * 5000))
    write('entity.docx', {**docx_parts(''), 'word/document.xml':
          '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
          f'<w:document {W}><w:body>' + para(run('Safe &x; end')) + '</w:body></w:document>'})


def make_xlsx():
    wb = (f'<workbook {S} xmlns:r="{REL[:-1]}"><workbookPr date1904="0"/><sheets>'
          '<sheet name="Zahlen" sheetId="2" r:id="rId2"/><sheet name="Текст" sheetId="1" r:id="rId1"/></sheets></workbook>')
    sst = (f'<sst {S}><si><t>Name</t></si><si><r><t>Rich </t></r><r><t>text</t></r></si>'
           '<si><t>東京</t><rPh sb="0" eb="2"><t>とうきょう</t></rPh></si><si><t>😀 emoji</t></si></sst>')
    styles = (f'<styleSheet {S}><numFmts count="9"><numFmt numFmtId="164" formatCode="yyyy\\-mm\\-dd hh:mm"/>'
              '<numFmt numFmtId="165" formatCode="&quot;day&quot;0.00"/><numFmt numFmtId="166" formatCode="0.0%;[Red]-0.0%"/>'
              '<numFmt numFmtId="167" formatCode="0.00&quot;%&quot;"/>'
              '<numFmt numFmtId="168" formatCode="#,##0.00\\ [$€-407];[Red]\\-#,##0.00\\ [$€-407]"/>'
              '<numFmt numFmtId="169" formatCode="dddd, mmmm d, yyyy"/><numFmt numFmtId="170" formatCode="0&quot; kg&quot;"/>'
              '<numFmt numFmtId="171" formatCode="[h]:mm"/><numFmt numFmtId="172" formatCode="000-00-0000"/></numFmts>'
              '<cellXfs count="21"><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164"/><xf numFmtId="165"/>'
              '<xf numFmtId="20"/><xf numFmtId="10"/><xf numFmtId="166"/><xf numFmtId="9"/><xf numFmtId="167"/>'
              '<xf numFmtId="3"/><xf numFmtId="4"/><xf numFmtId="168"/><xf numFmtId="12"/><xf numFmtId="11"/>'
              '<xf numFmtId="169"/><xf numFmtId="170"/><xf numFmtId="18"/><xf numFmtId="171"/><xf numFmtId="172"/>'
              '<xf numFmtId="1"/><xf numFmtId="44"/>'
              '</cellXfs></styleSheet>')
    numbers = (f'<worksheet {S}><sheetData>'
               '<row r="1"><c r="A1" t="s"><v>0</v></c><c r="C1" t="s"><v>1</v></c></row>'
               '<row r="2"><c r="A2"><v>3</v></c><c r="B2"><v>0.30000000000000004</v></c><c r="C2"><v>1234567.5</v></c>'
               '<c r="D2"><v>-2.5E-3</v></c><c r="E2"/></row>'
               '<row r="3"><c r="A3" s="1"><v>45000</v></c><c r="B3" s="2"><v>45000.75</v></c>'
               '<c r="C3" s="3"><v>12</v></c><c r="D3" s="4"><v>0.5</v></c><c r="E3" s="1"><v>60</v></c></row>'
               '<row r="4"><c r="A4" t="b"><v>1</v></c><c r="B4" t="b"><v>0</v></c><c r="C4" t="e"><v>#DIV/0!</v></c>'
               '<c r="D4"><f>A2*2</f><v>6</v></c><c r="E4" t="str"><f>"a"&amp;"b"</f><v>ab</v></c></row>'
               '<row r="6"><c r="B6" t="inlineStr"><is><t>inline</t></is></c></row>'
               '<row r="7"><c r="A7" s="5"><v>0.1068</v></c><c r="B7" s="6"><v>-0.25</v></c><c r="C7" s="7"><v>1</v></c>'
               '<c r="D7" s="7"><v>-1E-4</v></c><c r="E7" s="8"><v>0.5</v></c></row>'
               # Thousands, currency, fractions, scientific, names of days and
               # months, literal text, times, elapsed hours, digits in a
               # pattern, 16-digit integers.
               '<row r="8"><c r="A8" s="9"><v>1234567.4</v></c><c r="B8" s="10"><v>-1234.5</v></c>'
               '<c r="C8" s="11"><v>-1234.5</v></c><c r="D8" s="12"><v>2.75</v></c><c r="E8" s="13"><v>123456</v></c>'
               '<c r="F8" s="14"><v>45000</v></c><c r="G8" s="15"><v>12</v></c><c r="H8" s="16"><v>0.75</v></c>'
               '<c r="I8" s="17"><v>1.5</v></c><c r="J8" s="18"><v>123456789</v></c><c r="K8"><v>1234567890123456</v></c>'
               '<c r="L8" s="19"><v>9007199254740993</v></c><c r="M8" s="20"><v>1234.5</v></c></row>'
               '</sheetData></worksheet>')
    text = (f'<worksheet {S}><sheetData><row r="1"><c r="A1" t="s"><v>2</v></c><c r="B1" t="s"><v>3</v></c>'
            '</row></sheetData></worksheet>')
    write('sample.xlsx', {
        '[Content_Types].xml': '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        'xl/workbook.xml': wb,
        'xl/_rels/workbook.xml.rels': rels([('rId1', 'worksheet', 'worksheets/sheet1.xml'),
                                            ('rId2', 'worksheet', 'worksheets/sheet2.xml'),
                                            ('rId3', 'sharedStrings', 'sharedStrings.xml'),
                                            ('rId4', 'styles', 'styles.xml')]),
        'xl/sharedStrings.xml': sst, 'xl/styles.xml': styles,
        'xl/worksheets/sheet1.xml': text, 'xl/worksheets/sheet2.xml': numbers,
        # The numbers sheet has a text box and a chart in its drawing, and a comment.
        'xl/worksheets/_rels/sheet2.xml.rels': rels([('rId1', 'drawing', '../drawings/drawing1.xml'),
                                                     ('rId2', 'comments', '../comments1.xml'),
                                                     ('rId3', 'package', '../embeddings/Document1.docx')]),
        'xl/embeddings/Document1.docx': package_bytes(docx_parts(para(run('Embedded document text')))),
        'xl/drawings/drawing1.xml': (
            f'<xdr:wsDr xmlns:xdr="http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing" {A}>'
            '<xdr:twoCellAnchor><xdr:sp><xdr:txBody><a:p><a:r><a:t>Box line one</a:t></a:r></a:p>'
            '<a:p><a:r><a:t>Box </a:t></a:r><a:r><a:t>line two</a:t></a:r></a:p></xdr:txBody></xdr:sp>'
            '</xdr:twoCellAnchor></xdr:wsDr>'),
        'xl/drawings/_rels/drawing1.xml.rels': rels([('rId1', 'chart', '../charts/chart1.xml'),
                                                     ('rId2', 'chart', '../charts/chart2.xml'),
                                                     ('rId3', 'diagramData', '../diagrams/data1.xml')]),
        'xl/charts/chart2.xml': number_category_chart(),
        'xl/diagrams/data1.xml': diagram_data(['Plan', 'Build', 'Ship']),
        'xl/charts/chart1.xml': (
            f'<c:chartSpace xmlns:c="http://schemas.openxmlformats.org/drawingml/2006/chart" {A}><c:chart>'
            '<c:title><c:tx><c:rich><a:p><a:r><a:t>Chart title</a:t></a:r></a:p></c:rich></c:tx></c:title>'
            '<c:plotArea><c:barChart><c:ser><c:tx><c:strRef><c:strCache><c:pt idx="0"><c:v>Sales</c:v></c:pt>'
            '</c:strCache></c:strRef></c:tx><c:cat><c:strRef><c:strCache><c:pt idx="0"><c:v>Q1</c:v></c:pt>'
            '<c:pt idx="1"><c:v>Q2</c:v></c:pt></c:strCache></c:strRef></c:cat><c:val><c:numRef><c:numCache>'
            '<c:pt idx="0"><c:v>4.5</c:v></c:pt></c:numCache></c:numRef></c:val></c:ser></c:barChart></c:plotArea>'
            '</c:chart></c:chartSpace>'),
        'xl/comments1.xml': (
            f'<comments {S}><authors><author>Ann</author></authors><commentList>'
            '<comment ref="A1" authorId="0"><text><r><t>A </t></r><r><t>remark</t></r>'
            '<rPh sb="0" eb="1"><t>reading</t></rPh></text></comment></commentList></comments>'),
    })
    write('date1904.xlsx', {
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        # Extensions repeat workbookPr without the date system: the main
        # element's counts.
        'xl/workbook.xml': f'<workbook {S} xmlns:r="{REL[:-1]}"><workbookPr date1904="1"/><sheets>'
                           '<sheet name="S" sheetId="1" r:id="rId1"/></sheets><extLst><ext uri="{{1}}" '
                           'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">'
                           '<x14:workbookPr defaultImageDpi="220000"/></ext></extLst></workbook>',
        'xl/_rels/workbook.xml.rels': rels([('rId1', 'worksheet', 'worksheets/sheet1.xml'), ('rId2', 'styles', 'styles.xml')]),
        'xl/styles.xml': styles,
        'xl/worksheets/sheet1.xml': f'<worksheet {S}><sheetData><row><c s="1"><v>0</v></c><c s="1"><v>366</v></c></row>'
                                    # Dates written as ISO 8601 text.
                                    '<row><c s="1" t="d"><v>2024-03-05T00:00:00</v></c><c t="d"><v>2024-03-05</v></c>'
                                    '<c s="2" t="d"><v>2024-03-05T18:30:00</v></c><c t="d"><v>soon</v></c></row>'
                                    '</sheetData></worksheet>',
    })


def make_strings_xlsx():
    """Strings with the escapes of characters XML cannot carry, in shared
    and inline strings and formula results, and text through the text
    section of its cell's number format."""
    wb = (f'<workbook {S} xmlns:r="{REL[:-1]}"><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>')
    sst = (f'<sst {S}><si><t xml:space="preserve">Line one_x000D_\nLine two</t></si>'
           '<si><r><t>Tab_x0009_here </t></r><r><t>_x005F_x0041_ stays</t></r></si>'
           '<si><t>Bell_x0007_ gone, _xD83D__xDE00_ kept, _x00e9_, _x12G4_ as is</t></si><si><t>abc</t></si></sst>')
    styles = (f'<styleSheet {S}><numFmts count="2"><numFmt numFmtId="164" formatCode="&quot;Ref: &quot;@"/>'
              '<numFmt numFmtId="165" formatCode="0.00;-0.00;0;@&quot; kg&quot;"/></numFmts>'
              '<cellXfs count="4"><xf numFmtId="0"/><xf numFmtId="164"/><xf numFmtId="165"/><xf numFmtId="49"/></cellXfs></styleSheet>')
    sheet = (f'<worksheet {S}><sheetData>'
             '<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c></row>'
             '<row r="2"><c r="A2" t="s"><v>2</v></c></row>'
             '<row r="3"><c r="A3" t="inlineStr"><is><t>In_x000A_line</t></is></c>'
             '<c r="B3" t="str"><f>"x"</f><v>Formula_x000D_&#10;result</v></c></row>'
             '<row r="4"><c r="A4" t="s" s="1"><v>3</v></c><c r="B4" t="s" s="2"><v>3</v></c><c r="C4" s="2"><v>2.5</v></c>'
             '<c r="D4" t="str" s="1"><f>"abc"</f><v>abc</v></c><c r="E4" t="s" s="3"><v>3</v></c></row>'
             '</sheetData></worksheet>')
    write('strings.xlsx', {
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        'xl/workbook.xml': wb,
        'xl/_rels/workbook.xml.rels': rels([('rId1', 'worksheet', 'worksheets/sheet1.xml'),
                                            ('rId2', 'sharedStrings', 'sharedStrings.xml'),
                                            ('rId3', 'styles', 'styles.xml')]),
        'xl/sharedStrings.xml': sst, 'xl/styles.xml': styles, 'xl/worksheets/sheet1.xml': sheet,
    })


def make_rich_values_xlsx():
    """Cells with rich values: a linked data type shows its display string,
    a picture placed in a cell nothing; both keep #VALUE! as their value."""
    RD = 'xmlns="http://schemas.microsoft.com/office/spreadsheetml/2017/richdata"'
    RDREL = 'http://schemas.microsoft.com/office/2017/06/relationships/'
    wb = (f'<workbook {S} xmlns:r="{REL[:-1]}"><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>')
    rels_xml = rels([('rId1', 'worksheet', 'worksheets/sheet1.xml'), ('rId2', 'sheetMetadata', 'metadata.xml')])
    rels_xml = rels_xml.replace('</Relationships>',
                                f'<Relationship Id="rId3" Type="{RDREL}rdRichValue" Target="richData/rdrichvalue.xml"/>'
                                f'<Relationship Id="rId4" Type="{RDREL}rdRichValueStructure" '
                                'Target="richData/rdrichvaluestructure.xml"/></Relationships>')
    metadata = (f'<metadata {S} xmlns:xlrd="http://schemas.microsoft.com/office/spreadsheetml/2017/richdata">'
                '<metadataTypes count="2"><metadataType name="XLDAPR"/><metadataType name="XLRICHVALUE"/></metadataTypes>'
                '<futureMetadata name="XLDAPR" count="1"><bk><extLst><ext><xda:dynamicArrayProperties '
                'xmlns:xda="http://schemas.microsoft.com/office/spreadsheetml/2017/dynamicarray" fDynamic="1"/>'
                '</ext></extLst></bk></futureMetadata>'
                '<futureMetadata name="XLRICHVALUE" count="2"><bk><extLst><ext><xlrd:rvb i="1"/></ext></extLst></bk>'
                '<bk><extLst><ext><xlrd:rvb i="0"/></ext></extLst></bk></futureMetadata>'
                '<cellMetadata count="1"><bk><rc t="1" v="0"/></bk></cellMetadata>'
                '<valueMetadata count="2"><bk><rc t="2" v="0"/></bk><bk><rc t="2" v="1"/></bk></valueMetadata></metadata>')
    structures = (f'<rvStructures {RD} count="2"><s t="_localImage"><k n="_rvRel:LocalImageIdentifier" t="i"/>'
                  '<k n="CalcOrigin" t="i"/></s><s t="_linkedentity"><k n="%EntityServiceId" t="i"/>'
                  '<k n="_DisplayString" t="s"/><k n="%IsRefreshable" t="b"/></s></rvStructures>')
    values = (f'<rvData {RD} count="2"><rv s="0"><v>0</v><v>5</v></rv>'
              '<rv s="1"><v>268435456</v><v>Contoso Ltd</v><v>1</v></rv></rvData>')
    sheet = (f'<worksheet {S}><sheetData><row r="1">'
             '<c r="A1" t="e" vm="1"><v>#VALUE!</v></c><c r="B1" t="e" vm="2"><v>#VALUE!</v></c>'
             '<c r="C1" t="e"><v>#VALUE!</v></c><c r="D1" t="e" vm="9"><v>#N/A</v></c>'
             '<c r="E1" cm="1"><f t="array" ref="E1:E2">SEQUENCE(2)</f><v>1</v></c></row>'
             '</sheetData></worksheet>')
    write('rich_values.xlsx', {
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        'xl/workbook.xml': wb, 'xl/_rels/workbook.xml.rels': rels_xml,
        'xl/metadata.xml': metadata, 'xl/richData/rdrichvalue.xml': values,
        'xl/richData/rdrichvaluestructure.xml': structures, 'xl/worksheets/sheet1.xml': sheet,
    })


def shape(text, ph=None):
    nv = f'<p:nvPr><p:ph type="{ph}"/></p:nvPr>' if ph else '<p:nvPr/>'
    return (f'<p:sp><p:nvSpPr><p:cNvPr id="1" name="s"/><p:cNvSpPr/>{nv}</p:nvSpPr><p:txBody><a:bodyPr/>'
            + ''.join(f'<a:p><a:r><a:t>{t}</a:t></a:r></a:p>' for t in text) + '</p:txBody></p:sp>')


def make_pptx():
    n = 12
    parts = {
        '[Content_Types].xml': '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        '_rels/.rels': rels([('rId1', 'officeDocument', 'ppt/presentation.xml')]),
    }
    # Slide parts are named in reverse of the show's order, so that reading by
    # part name gives the wrong order.
    ids = ''.join(f'<p:sldId id="{256 + i}" r:id="rId{i + 1}"/>' for i in range(n))
    parts['ppt/presentation.xml'] = (f'<p:presentation {P} xmlns:r="{REL[:-1]}"><p:sldIdLst>{ids}</p:sldIdLst>'
                                     '</p:presentation>')
    parts['ppt/_rels/presentation.xml.rels'] = rels([(f'rId{i + 1}', 'slide', f'slides/slide{n - i}.xml') for i in range(n)])
    for i in range(n):
        part = n - i
        body = shape([f'Slide {i + 1} title', f'Point {i + 1}']) + shape(['99'], 'sldNum')
        if i == 0:
            body += ('<p:graphicFrame><a:graphic><a:graphicData><a:tbl><a:tr><a:tc><a:txBody><a:p><a:r><a:t>c1</a:t></a:r>'
                     '</a:p></a:txBody></a:tc><a:tc><a:txBody><a:p><a:r><a:t>c2</a:t></a:r></a:p></a:txBody></a:tc></a:tr>'
                     '</a:tbl></a:graphicData></a:graphic></p:graphicFrame>')
            body += shape(['Привет, 世界 🎉'])
            # Runs in the Symbol font: as the Latin font every code is its
            # (Greek letters), as the symbol font only its private-use ones.
            body += ('<p:sp><p:nvSpPr><p:cNvPr id="3" name="g"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr><p:txBody><a:bodyPr/>'
                     '<a:p><a:r><a:rPr lang="en-US"><a:latin typeface="Symbol"/></a:rPr><a:t>a+b</a:t></a:r>'
                     '<a:r><a:rPr lang="en-US"><a:sym typeface="Symbol"/></a:rPr><a:t> \uf070 or p</a:t></a:r>'
                     '<a:r><a:rPr lang="en-US"/><a:t> and a</a:t></a:r></a:p></p:txBody></p:sp>')
        parts[f'ppt/slides/slide{part}.xml'] = f'<p:sld {P} {A}><p:cSld><p:spTree>{body}</p:spTree></p:cSld></p:sld>'
        if i % 2 == 0:
            parts[f'ppt/slides/_rels/slide{part}.xml.rels'] = rels([('rId1', 'notesSlide', f'../notesSlides/notesSlide{part}.xml')])
            parts[f'ppt/notesSlides/notesSlide{part}.xml'] = (
                f'<p:notes {P} {A}><p:cSld><p:spTree>' + shape([], 'sldImg') + shape([f'Note for slide {i + 1}'], 'body') +
                shape([f'{i + 1}'], 'sldNum') + '</p:spTree></p:cSld></p:notes>')
    write('sample.pptx', parts)


def sp(paras, ph=None, lst='', name='s'):
    """A shape: paras are (text, pPr) pairs or plain texts."""
    nv = f'<p:nvPr>{ph}</p:nvPr>' if ph else '<p:nvPr/>'
    body = ''
    for p_ in paras:
        text, ppr = (p_, '') if isinstance(p_, str) else p_
        runs = text if text.startswith('<') else (f'<a:r><a:rPr lang="en-US"/><a:t>{text}</a:t></a:r>' if text else '')
        body += f'<a:p>{ppr}{runs}</a:p>'
    return (f'<p:sp><p:nvSpPr><p:cNvPr id="2" name="{name}"/><p:cNvSpPr/>{nv}</p:nvSpPr><p:spPr/>'
            f'<p:txBody><a:bodyPr/><a:lstStyle>{lst}</a:lstStyle>{body}</p:txBody></p:sp>')


def make_features_pptx():
    """Bullets and numbers inherited from the master, footers typed on a
    slide, text on the master and layouts, a chart with year categories, a
    diagram, embedded workbooks (a package and an Excel 97-2003 object), and
    document properties that are not slide text."""
    tree = lambda shapes: f'<p:cSld><p:spTree>{shapes}</p:spTree></p:cSld>'
    master = (f'<p:sldMaster {P} {A} xmlns:r="{REL[:-1]}">' + tree(
        sp(['Click to edit Master title style'], '<p:ph type="title"/>') +
        sp(['Click to edit Master text styles'], '<p:ph type="body" idx="1"/>') +
        sp(['Master footer prompt'], '<p:ph type="ftr" sz="quarter" idx="11"/>') +
        sp(['Acme Corporation confidential'], name='TextBox')) +
        '<p:txStyles><p:titleStyle><a:lvl1pPr><a:buNone/></a:lvl1pPr></p:titleStyle>'
        '<p:bodyStyle><a:lvl1pPr><a:buFont typeface="Arial"/><a:buChar char="•"/></a:lvl1pPr>'
        '<a:lvl2pPr><a:buFont typeface="Arial"/><a:buChar char="–"/></a:lvl2pPr></p:bodyStyle>'
        '<p:otherStyle><a:lvl1pPr/></p:otherStyle></p:txStyles></p:sldMaster>')
    layout1 = (f'<p:sldLayout {P} {A}>' + tree(
        sp([], '<p:ph type="title"/>') + sp([], '<p:ph idx="1"/>') + sp(['Layout tagline'], name='Tag')) +
        '</p:sldLayout>')
    layout2 = (f'<p:sldLayout {P} {A}>' + tree(sp(['Unused layout text'], name='Tag')) + '</p:sldLayout>')
    autonum = lambda scheme, lvl=0, start=None: (
        f'<a:pPr lvl="{lvl}"><a:buFont typeface="+mj-lt"/><a:buAutoNum type="{scheme}"'
        + (f' startAt="{start}"' if start else '') + '/></a:pPr>')
    slide1 = (f'<p:sld {P} {A} xmlns:r="{REL[:-1]}">' + tree(
        sp(['Agenda'], '<p:ph type="title"/>') +
        sp(['First point', ('Sub point', '<a:pPr lvl="1"/>'), ('No bullet', '<a:pPr><a:buNone/></a:pPr>'),
            ('Step one', autonum('arabicPeriod')), ('Detail', autonum('alphaLcParenR', 1)),
            ('Detail two', autonum('alphaLcParenR', 1)), ('', autonum('arabicPeriod')),
            ('Step two', autonum('arabicPeriod')), ('Roman', autonum('romanUcPeriod')),
            ('Third letter', autonum('alphaLcPeriod', 0, 3))], '<p:ph idx="1"/>') +
        sp([('Wingdings square', '<a:pPr><a:buFont typeface="Wingdings"/><a:buChar char="§"/></a:pPr>')],
           name='Box') +
        sp(['Quarterly review, internal'], '<p:ph type="ftr" sz="quarter" idx="11"/>') +
        sp(['<a:fld id="{1}" type="datetime1"><a:t>3/15/2023</a:t></a:fld>'], '<p:ph type="dt" sz="half" idx="10"/>') +
        sp(['<a:fld id="{2}" type="slidenum"><a:t>1</a:t></a:fld>'], '<p:ph type="sldNum" sz="quarter" idx="12"/>') +
        '<p:graphicFrame><a:graphic><a:graphicData uri="http://schemas.openxmlformats.org/drawingml/2006/chart">'
        '<c:chart xmlns:c="http://schemas.openxmlformats.org/drawingml/2006/chart" r:id="rId3"/></a:graphicData>'
        '</a:graphic></p:graphicFrame>') + '</p:sld>')
    slide2 = (f'<p:sld {P} {A}>' + tree(sp(['Closing words'], '<p:ph type="title"/>')) + '</p:sld>')
    # A slide that hides its master's shapes, on a layout no other slide uses.
    slide3 = (f'<p:sld {P} {A} showMasterSp="0">' + tree(sp(['Full-bleed picture slide'], name='Caption')) + '</p:sld>')
    notes = (f'<p:notes {P} {A}>' + tree(
        sp([], '<p:ph type="sldImg"/>') + sp(['Speaker notes here'], '<p:ph type="body" idx="1"/>') +
        sp(['Notes master header'], '<p:ph type="hdr"/>') + sp(['Notes footer'], '<p:ph type="ftr" idx="4"/>')) +
        '</p:notes>')
    workbook = {
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        'xl/workbook.xml': f'<workbook {S} xmlns:r="{REL[:-1]}"><sheets><sheet name="Data" sheetId="1" r:id="rId1"/>'
                           '</sheets></workbook>',
        'xl/_rels/workbook.xml.rels': rels([('rId1', 'worksheet', 'worksheets/sheet1.xml')]),
        'xl/worksheets/sheet1.xml': f'<worksheet {S}><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>Embedded cell'
                                    '</t></is></c><c r="B1"><v>42</v></c></row></sheetData></worksheet>',
    }
    with open(os.path.join(HERE, '..', '..', 'ole', 'sample.xls'), 'rb') as f:
        ole_workbook = f.read()
    parts = {
        '[Content_Types].xml': '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        '_rels/.rels': rels([('rId1', 'officeDocument', 'ppt/presentation.xml'),
                             ('rId2', 'metadata/core-properties', 'docProps/core.xml')]),
        'docProps/core.xml': ('<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" '
                              'xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Secret property title</dc:title>'
                              '<dc:creator>Property Author</dc:creator></cp:coreProperties>'),
        'ppt/presentation.xml': (f'<p:presentation {P} xmlns:r="{REL[:-1]}"><p:sldMasterIdLst><p:sldMasterId r:id="rId9"/>'
                                 '</p:sldMasterIdLst><p:sldIdLst><p:sldId id="256" r:id="rId1"/><p:sldId id="257" r:id="rId2"/>'
                                 '<p:sldId id="258" r:id="rId3"/></p:sldIdLst></p:presentation>'),
        'ppt/_rels/presentation.xml.rels': rels([('rId1', 'slide', 'slides/slide1.xml'), ('rId2', 'slide', 'slides/slide2.xml'),
                                                 ('rId3', 'slide', 'slides/slide3.xml'),
                                                 ('rId9', 'slideMaster', 'slideMasters/slideMaster1.xml')]),
        'ppt/slideMasters/slideMaster1.xml': master,
        'ppt/slideMasters/_rels/slideMaster1.xml.rels': rels([('rId1', 'slideLayout', '../slideLayouts/slideLayout1.xml'),
                                                              ('rId2', 'slideLayout', '../slideLayouts/slideLayout2.xml')]),
        'ppt/slideLayouts/slideLayout1.xml': layout1,
        'ppt/slideLayouts/_rels/slideLayout1.xml.rels': rels([('rId1', 'slideMaster', '../slideMasters/slideMaster1.xml')]),
        'ppt/slideLayouts/slideLayout2.xml': layout2,
        'ppt/slideLayouts/_rels/slideLayout2.xml.rels': rels([('rId1', 'slideMaster', '../slideMasters/slideMaster1.xml')]),
        'ppt/slides/slide1.xml': slide1,
        'ppt/slides/_rels/slide1.xml.rels': rels([
            ('rId1', 'slideLayout', '../slideLayouts/slideLayout1.xml'), ('rId2', 'notesSlide', '../notesSlides/notesSlide1.xml'),
            ('rId3', 'chart', '../charts/chart1.xml'), ('rId4', 'diagramData', '../diagrams/data1.xml'),
            ('rId5', 'package', '../embeddings/Microsoft_Excel_Worksheet1.xlsx'),
            ('rId6', 'oleObject', '../embeddings/oleObject1.bin')]),
        'ppt/charts/chart1.xml': number_category_chart(),
        'ppt/diagrams/data1.xml': diagram_data(['Plan', 'Build', 'Ship']),
        'ppt/embeddings/Microsoft_Excel_Worksheet1.xlsx': package_bytes(workbook),
        'ppt/embeddings/oleObject1.bin': ole_workbook,
        'ppt/notesSlides/notesSlide1.xml': notes,
        'ppt/slides/slide2.xml': slide2,
        # The second slide shows the first one's workbook again: read once.
        'ppt/slides/_rels/slide2.xml.rels': rels([('rId1', 'slideLayout', '../slideLayouts/slideLayout1.xml'),
                                                  ('rId2', 'package', '../embeddings/Microsoft_Excel_Worksheet1.xlsx'),
                                                  ('rId3', 'comments', '../comments/comment1.xml')]),
        # A comment as PowerPoint 2007-2019 keeps it, and one with a reply as
        # later versions do (a relationship type of their own).
        'ppt/comments/comment1.xml': (f'<p:cmLst {P}><p:cm authorId="0" idx="1"><p:pos x="10" y="10"/>'
                                      '<p:text>Reviewer asks for a date</p:text></p:cm></p:cmLst>'),
        'ppt/slides/slide3.xml': slide3,
        'ppt/slides/_rels/slide3.xml.rels': rels([('rId1', 'slideLayout', '../slideLayouts/slideLayout2.xml')])
        .replace('</Relationships>', '<Relationship Id="rId2" Type="http://schemas.microsoft.com/office/2018/10/'
                 'relationships/comments" Target="../comments/modernComment_1.xml"/></Relationships>'),
        'ppt/comments/modernComment_1.xml': (
            f'<p188:cmLst xmlns:p188="http://schemas.microsoft.com/office/powerpoint/2018/8/main" {A}>'
            '<p188:cm id="{1}" authorId="{2}"><p188:replyLst><p188:reply id="{3}" authorId="{2}"><p188:txBody>'
            '<a:bodyPr/><a:p><a:r><a:t>Reply: agreed</a:t></a:r></a:p></p188:txBody></p188:reply></p188:replyLst>'
            '<p188:txBody><a:bodyPr/><a:p><a:r><a:t>Modern comment text</a:t></a:r></a:p></p188:txBody>'
            '</p188:cm></p188:cmLst>'),
    }
    write('features.pptx', parts)


def make_self_embedding_pptx():
    """A presentation that embeds a copy of itself (as deep as a zip can
    hold: each level embeds the level below, the innermost itself)."""
    def show(inner):
        parts = {
            '_rels/.rels': rels([('rId1', 'officeDocument', 'ppt/presentation.xml')]),
            'ppt/presentation.xml': (f'<p:presentation {P} xmlns:r="{REL[:-1]}"><p:sldIdLst><p:sldId id="256" r:id="rId1"/>'
                                     '</p:sldIdLst></p:presentation>'),
            'ppt/_rels/presentation.xml.rels': rels([('rId1', 'slide', 'slides/slide1.xml')]),
            'ppt/slides/slide1.xml': f'<p:sld {P} {A}><p:cSld><p:spTree>' + sp(['Nested slide']) + '</p:spTree></p:cSld></p:sld>',
            'ppt/slides/_rels/slide1.xml.rels': rels([('rId1', 'package', '../embeddings/inner.pptx')]),
        }
        if inner is not None:
            parts['ppt/embeddings/inner.pptx'] = inner
        return package_bytes(parts)
    data = show(None)
    for _ in range(12):
        data = show(data)
    with open(os.path.join(HERE, 'self_embedding.pptx'), 'wb') as f:
        f.write(data)


def make_features_docx():
    """Ruby readings, note marks in the settings' formats (and a custom
    mark), a chart, a diagram and an embedded workbook where they stand."""
    ruby = ('<w:r><w:ruby><w:rubyPr><w:rubyAlign w:val="distributeSpace"/><w:hps w:val="10"/></w:rubyPr>'
            '<w:rt><w:r><w:t>とうきょう</w:t></w:r></w:rt><w:rubyBase><w:r><w:t>東京</w:t></w:r></w:rubyBase></w:ruby></w:r>')
    graphic = lambda uri, inner: (f'<w:r><w:drawing><wp:inline xmlns:wp="http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing">'
                                  f'<a:graphic {A}><a:graphicData uri="{uri}">{inner}</a:graphicData></a:graphic></wp:inline></w:drawing></w:r>')
    chart = graphic('http://schemas.openxmlformats.org/drawingml/2006/chart',
                    '<c:chart xmlns:c="http://schemas.openxmlformats.org/drawingml/2006/chart" r:id="rId10"/>')
    diagram = graphic('http://schemas.openxmlformats.org/drawingml/2006/diagram',
                      '<dgm:relIds xmlns:dgm="http://schemas.openxmlformats.org/drawingml/2006/diagram" r:dm="rId11" '
                      'r:lo="rId12" r:qs="rId13" r:cs="rId14"/>')
    ole = ('<w:r><w:object><v:shape xmlns:v="urn:schemas-microsoft-com:vml" id="_x1"><v:imagedata r:id="rId16"/></v:shape>'
           '<o:OLEObject xmlns:o="urn:schemas-microsoft-com:office:office" Type="Embed" ProgID="Excel.Sheet.12" '
           'ShapeID="_x1" r:id="rId15"/></w:object></w:r>')
    body = ''.join([
        para(run('The capital '), ruby, run(' is large.')),
        para(run('Sources'), '<w:r><w:footnoteReference w:id="2"/></w:r>', run(' vary'),
             '<w:r><w:footnoteReference w:customMarkFollows="1" w:id="3"/></w:r>', run('†'), run('.')),
        para(run('Figures:'), chart),
        para(diagram),
        '<w:tbl><w:tr><w:tc>' + para(run('Cell with'), ole) + '</w:tc><w:tc>' + para(run('next')) + '</w:tc></w:tr></w:tbl>',
    ])
    workbook = {
        '_rels/.rels': rels([('rId1', 'officeDocument', 'xl/workbook.xml')]),
        'xl/workbook.xml': f'<workbook {S} xmlns:r="{REL[:-1]}"><sheets><sheet name="Data" sheetId="1" r:id="rId1"/>'
                           '</sheets></workbook>',
        'xl/_rels/workbook.xml.rels': rels([('rId1', 'worksheet', 'worksheets/sheet1.xml')]),
        'xl/worksheets/sheet1.xml': f'<worksheet {S}><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>Embedded cell'
                                    '</t></is></c><c r="B1"><v>42</v></c></row></sheetData></worksheet>',
    }
    extra = {
        'word/settings.xml': (f'<w:settings {W}><w:footnotePr><w:numFmt w:val="lowerLetter"/><w:numStart w:val="3"/>'
                              '<w:footnote w:id="-1"/></w:footnotePr><w:endnotePr><w:endnote w:id="-1"/></w:endnotePr></w:settings>'),
        'word/footnotes.xml': (f'<w:footnotes {W}><w:footnote w:type="separator" w:id="-1">' + para('<w:r><w:separator/></w:r>') +
                               '</w:footnote><w:footnote w:id="2">' + para('<w:r><w:footnoteRef/></w:r>', run(' A lettered note.')) +
                               '</w:footnote><w:footnote w:id="3">' + para(run('† A custom note.')) + '</w:footnote></w:footnotes>'),
        'word/charts/chart1.xml': number_category_chart(),
        'word/diagrams/data1.xml': diagram_data(['Plan', 'Build', 'Ship']),
        'word/embeddings/Microsoft_Excel_Worksheet.xlsx': package_bytes(workbook),
    }
    r = [('rId1', 'settings', 'settings.xml'), ('rId2', 'footnotes', 'footnotes.xml'),
         ('rId10', 'chart', 'charts/chart1.xml'), ('rId11', 'diagramData', 'diagrams/data1.xml'),
         ('rId15', 'package', 'embeddings/Microsoft_Excel_Worksheet.xlsx'), ('rId16', 'image', 'media/image1.emf')]
    write('features.docx', docx_parts(body, extra, r))


def make_self_embedding_docx():
    """Thirteen Word documents, each embedding the next as an object."""
    data = None
    for _ in range(13):
        ole = ('<w:r><w:object><o:OLEObject xmlns:o="urn:schemas-microsoft-com:office:office" Type="Embed" '
               'ProgID="Word.Document.12" r:id="rId1"/></w:object></w:r>')
        parts = docx_parts(para(run('Nested paragraph'), ole if data else ''),
                           {'word/embeddings/inner.docx': data} if data else {},
                           [('rId1', 'package', 'embeddings/inner.docx')] if data else [])
        data = package_bytes(parts)
    with open(os.path.join(HERE, 'self_embedding.docx'), 'wb') as f:
        f.write(data)


def make_lists_docx():
    def item(text, num=None, lvl=None, style=None, extra=''):
        props = f'<w:pStyle w:val="{style}"/>' if style else ''
        if num is not None or lvl is not None:
            props += '<w:numPr>' + (f'<w:ilvl w:val="{lvl}"/>' if lvl is not None else '') + \
                     (f'<w:numId w:val="{num}"/>' if num is not None else '') + '</w:numPr>'
        return f'<w:p><w:pPr>{props}{extra}</w:pPr>' + run(text) + '</w:p>'

    def lvl(i, fmt, text, start=1, extra=''):
        return (f'<w:lvl w:ilvl="{i}"><w:start w:val="{start}"/><w:numFmt w:val="{fmt}"/>'
                f'<w:lvlText w:val="{text}"/>{extra}<w:pPr><w:ind w:left="720"/></w:pPr></w:lvl>')

    body = ''.join([
        item('One', 1, 0), item('Sub a', 1, 1), item('Sub b', 1, 1), item('Two', 1, 0), item('Sub again', 1, 1),
        item('Deep', 1, 2),
        # A tracked change's earlier properties do not count.
        item('Three', 1, 0, extra='<w:pPrChange w:id="9" w:author="x"><w:pPr><w:numPr><w:ilvl w:val="1"/>'
                                   '<w:numId w:val="2"/></w:numPr></w:pPr></w:pPrChange>'),
        para(run('Plain')),
        # A second instance of the same definition starts again at 5.
        item('Five', 2, 0), item('Six', 2, 0),
        # Bullets from a list style, through basedOn; numId 0 turns it off.
        item('Dot', style='Bullets'), item('Square', lvl=1, style='Bullets'), item('Not a bullet', 0, style='Bullets'),
        item('Legal', 3, 0), item('Legal child', 3, 1), item('Roman', 3, 2),
        # An instance without a definition, and a level left undefined.
        item('No definition', 7, 0), item('Undefined level', 3, 8),
        '<w:tbl><w:tr><w:tc>' + item('In a cell', 3, 0) + '</w:tc><w:tc>' + para(run('next')) + '</w:tc></w:tr></w:tbl>',
    ])
    numbering = (
        f'<w:numbering {W}>'
        '<w:abstractNum w:abstractNumId="0">' + lvl(0, 'decimal', '%1.') + lvl(1, 'lowerLetter', '%2)') +
        lvl(2, 'lowerRoman', '(%3)') + '</w:abstractNum>'
        '<w:abstractNum w:abstractNumId="1">' + lvl(0, 'bullet', '\uf0b7') + lvl(1, 'bullet', '\uf0a7') + '</w:abstractNum>'
        '<w:abstractNum w:abstractNumId="2">' + lvl(0, 'upperLetter', '%1.', 1) +
        lvl(1, 'decimal', '%1.%2.', 1, '<w:isLgl/>') + lvl(2, 'upperRoman', '%3', 4, '<w:suff w:val="nothing"/>') +
        '</w:abstractNum>'
        '<w:num w:numId="1"><w:abstractNumId w:val="0"/></w:num>'
        '<w:num w:numId="2"><w:abstractNumId w:val="0"/><w:lvlOverride w:ilvl="0"><w:startOverride w:val="5"/>'
        '</w:lvlOverride></w:num>'
        '<w:num w:numId="3"><w:abstractNumId w:val="2"/></w:num>'
        '<w:num w:numId="4"><w:abstractNumId w:val="1"/></w:num>'
        '<w:num w:numId="7"><w:abstractNumId w:val="42"/></w:num>'
        '</w:numbering>')
    styles = (
        f'<w:styles {W}>'
        '<w:style w:type="paragraph" w:styleId="ListBase"><w:pPr><w:numPr><w:numId w:val="4"/></w:numPr></w:pPr></w:style>'
        '<w:style w:type="paragraph" w:styleId="Bullets"><w:basedOn w:val="ListBase"/></w:style>'
        '<w:style w:type="paragraph" w:styleId="Loop"><w:basedOn w:val="Loop"/></w:style>'
        '</w:styles>')
    extra = {'word/numbering.xml': numbering, 'word/styles.xml': styles}
    r = [('rId1', 'numbering', 'numbering.xml'), ('rId2', 'styles', 'styles.xml')]
    write('lists.docx', docx_parts(body, extra, r))


def make_math_docx():
    M = 'xmlns:m="http://schemas.openxmlformats.org/officeDocument/2006/math"'
    def mr(t):
        return f'<m:r><m:t xml:space="preserve">{t}</m:t></m:r>'
    frac = '<m:f><m:num>' + mr('a+b') + '</m:num><m:den>' + mr('2') + '</m:den></m:f>'
    power = '<m:sSup><m:e>' + mr('x') + '</m:e><m:sup>' + mr('2') + '</m:sup></m:sSup>'
    body = (f'<w:p {M}>' + run('Area ') + '<m:oMath>' + mr('A=') + frac + '<m:r><w:rPr/>' + '<m:t>⋅</m:t></m:r>' + power +
            '</m:oMath>' + run(' holds.') + '</w:p>')
    write('math.docx', docx_parts(body))


def make_alt_chunks_docx():
    """Chunks Word imports where they stand, each found by its content type
    (names that say nothing, a type with a parameter, a default for the
    extension), one in a table cell, and references to nothing."""
    alt = lambda rid: f'<w:altChunk r:id="{rid}"><w:altChunkPr><w:matchSrc/></w:altChunkPr></w:altChunk>'
    inner = docx_parts(para(run('Imported Word paragraph.')))
    mht = ('MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary="b"\r\n\r\n--b\r\n'
           'Content-Type: text/html; charset="utf-8"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n'
           '<html><body><p>Imported web archive, caf=C3=A9.</p></body></html>\r\n--b--\r\n')
    body = ''.join([
        para(run('Before the chunks.')),
        alt('rId20'), alt('rId21'), alt('rId22'), alt('rId23'), alt('rId24'),
        '<w:tbl><w:tr><w:tc>' + para(run('Cell')) + alt('rId25') + '</w:tc><w:tc>' + para(run('next')) +
        '</w:tc></w:tr></w:tbl>',
        alt('rId99'), alt('rId26'),
        para(run('After the chunks.')),
    ])
    types = ('<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
             '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
             '<Default Extension="RTF" ContentType="application/rtf"/>'
             '<Override PartName="/word/afchunk.dat" ContentType="text/html; charset=utf-8"/>'
             '<Override PartName="/word/chunk3" ContentType="message/rfc822"/>'
             '<Override PartName="/word/AFCHUNK4.bin" ContentType="application/vnd.openxmlformats-officedocument.'
             'wordprocessingml.document.main+xml"/>'
             '<Override PartName="/word/chunk5" ContentType="text/plain"/>'
             '<Override PartName="/word/cell.htm" ContentType="text/html"/>'
             '</Types>')
    extra = {
        '[Content_Types].xml': types,
        'word/afchunk.dat': '<html><head><title>Title not shown</title></head><body><p>Imported <b>web</b> page.</p>'
                            '<table><tr><td>A</td><td>B</td></tr></table></body></html>',
        'word/chunk2.rtf': r'{\rtf1\ansi Imported RTF text.\par}',
        'word/chunk3': mht,
        'word/afchunk4.bin': package_bytes(inner),
        'word/chunk5': 'Imported plain text.\n',
        'word/cell.htm': '<p>Chunk in a cell</p>',
    }
    r = [('rId20', 'aFChunk', 'afchunk.dat'), ('rId21', 'aFChunk', 'chunk2.rtf'), ('rId22', 'aFChunk', 'chunk3'),
         ('rId23', 'aFChunk', 'afchunk4.bin'), ('rId24', 'aFChunk', 'chunk5'), ('rId25', 'aFChunk', 'cell.htm'),
         ('rId26', 'aFChunk', 'missing.htm')]
    write('alt_chunks.docx', docx_parts(body, extra, r))


def make_form_fields_docx():
    """Legacy form fields as Word writes them: check boxes (ticked, ticked by
    default, unticked against their default) and drop-down lists (a chosen
    entry, none chosen) with no result text, and a text field whose result
    is its text."""
    def field(data, instruction, result=''):
        return (f'<w:r><w:fldChar w:fldCharType="begin"><w:ffData><w:name w:val="f"/><w:enabled/>{data}</w:ffData>'
                f'</w:fldChar></w:r><w:r><w:instrText xml:space="preserve"> {instruction} </w:instrText></w:r>'
                + ('<w:r><w:fldChar w:fldCharType="separate"/></w:r>' + run(result) if result else '') +
                '<w:r><w:fldChar w:fldCharType="end"/></w:r>')
    box = lambda inner: field(f'<w:checkBox><w:sizeAuto/>{inner}</w:checkBox>', 'FORMCHECKBOX')
    entries = '<w:listEntry w:val="Oslo"/><w:listEntry w:val="Bergen"/><w:listEntry w:val="Tromsø"/>'
    body = ''.join([
        para(run('Member '), box('<w:default w:val="0"/><w:checked/>'), run(' guest '),
             box('<w:default w:val="1"/>'), run(' staff '), box('<w:default w:val="1"/><w:checked w:val="0"/>'),
             run(' end.')),
        para(run('Office: '), field('<w:ddList><w:result w:val="2"/>' + entries + '</w:ddList>', 'FORMDROPDOWN'),
             run(', first: '), field('<w:ddList>' + entries + '</w:ddList>', 'FORMDROPDOWN'), run('.')),
        para(run('Name: '), field('<w:textInput/>', 'FORMTEXT', 'Jane Doe'), run('.')),
    ])
    write('form_fields.docx', docx_parts(body))


make_docx()
make_form_fields_docx()
make_alt_chunks_docx()
make_lists_docx()
make_features_docx()
make_math_docx()
make_xlsx()
make_strings_xlsx()
make_rich_values_xlsx()
def make_flat(source, name):
    """The package as one XML file, as Word's "Word XML Document" and
    PowerPoint's "XML Presentation" save it: XML parts inline, others in base64."""
    import base64
    parts = []
    with zipfile.ZipFile(os.path.join(HERE, source)) as z:
        for n in z.namelist():
            data = z.read(n)
            if n.endswith('.xml') or n.endswith('.rels'):
                body = data.decode('utf-8')
                if body.startswith('<?xml'):
                    body = body[body.index('?>') + 2:]
                parts.append(f'<pkg:part pkg:name="/{n}" pkg:contentType="application/xml"><pkg:xmlData>{body}'
                             '</pkg:xmlData></pkg:part>')
            else:
                text = base64.encodebytes(data).decode()
                parts.append(f'<pkg:part pkg:name="/{n}" pkg:contentType="application/octet-stream" '
                             f'pkg:compression="store"><pkg:binaryData>{text}</pkg:binaryData></pkg:part>')
    with open(os.path.join(HERE, name), 'w', encoding='utf-8') as f:
        f.write('<?xml version="1.0" standalone="yes"?>\n<?mso-application progid="Word.Document"?>\n'
                '<pkg:package xmlns:pkg="http://schemas.microsoft.com/office/2006/xmlPackage">' + ''.join(parts) +
                '</pkg:package>\n')


make_pptx()
make_features_pptx()
make_self_embedding_pptx()
make_self_embedding_docx()
make_flat('sample.docx', 'flat-document.xml')
make_flat('sample.pptx', 'flat-presentation.xml')
