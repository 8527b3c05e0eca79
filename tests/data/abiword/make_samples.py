#!/usr/bin/env python3
"""Writes the AbiWord test samples of this folder from the hand-written XML
below: a document with a header, a list, a table, a footnote and document
properties; the same compressed (.zabw); and a damaged copy.
Run it from anywhere: python3 tests/data/abiword/make_samples.py"""
import gzip
import os

HERE = os.path.dirname(os.path.abspath(__file__))

DOC = '''<?xml version="1.0" encoding="UTF-8"?>
<abiword template="false" xmlns="http://www.abisource.com/awml.dtd" version="2.9.4" fileformat="1.1">
<metadata>
<m key="dc.title">Secret title</m>
<m key="dc.creator">Nobody Special</m>
</metadata>
<lists>
<l id="1" parentid="0" type="0" start-value="1" list-delim="%L." list-decimal="."/>
</lists>
<section header="hdr1">
<p>First paragraph with <c props="font-weight:bold">bold</c> words.</p>
<p level="1" listid="1" style="Numbered List">Numbered one</p>
<p level="1" listid="1" style="Numbered List">Numbered two</p>
<table props="table-column-props:1in/1in/">
<cell props="left-attach:0; right-attach:1; top-attach:0; bot-attach:1"><p>Name</p></cell>
<cell props="left-attach:1; right-attach:2; top-attach:0; bot-attach:1"><p>Town</p></cell>
<cell props="left-attach:0; right-attach:1; top-attach:1; bot-attach:2"><p>Ann</p></cell>
<cell props="left-attach:1; right-attach:2; top-attach:1; bot-attach:2"><p>Oslo</p><p>Norway</p></cell>
</table>
<p>See the note<field type="footnote_ref" footnote-id="1"/>.<foot footnote-id="1"><p><field type="footnote_anchor" footnote-id="1"/>A footnote here.</p></foot></p>
<p>Ελληνικά 日本語</p>
</section>
<section id="hdr1" type="header">
<p>Running header</p>
</section>
</abiword>
'''


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


write('document.abw', DOC.encode('utf-8'))
write('document.zabw', gzip.compress(DOC.encode('utf-8'), mtime=0))
write('truncated.abw', DOC.encode('utf-8')[:700])
