#!/usr/bin/env bash
# Regenerates the committed samples of this folder from the sources in src/:
# LibreOffice (headless) writes the Office 97-2003 files, this script the
# mislabelled files, and ../mail/make-mail.py the messages (which attach the
# Word sample).  Run from anywhere; needs soffice.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/sample.fodt >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/lists.fodt >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/changes.fodt >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to xls --outdir . src/sample.fods >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to xls --outdir . src/formats.fods >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to ppt --outdir . src/sample.fodp >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to ppt --outdir . src/fields.fodp >/dev/null
# Document properties, phonetic guides, embedded objects, slide lists, page
# headers and text boxes.  The filters are named: an object embedded in a
# flat file makes LibreOffice's type detection guess wrong.
soffice -env:UserInstallation=file://$work/profile --headless --infilter="OpenDocument Text Flat XML" \
  --convert-to doc --outdir . src/extras.fodt >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --infilter="OpenDocument Spreadsheet Flat XML" \
  --convert-to xls --outdir . src/extras.fods >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --infilter="OpenDocument Presentation Flat XML" \
  --convert-to ppt --outdir . src/extras.fodp >/dev/null
# A slide table with a merged cell, a chart with its titles, form fields (a
# drop-down, check boxes) and a footnote with a mark of its own.
soffice -env:UserInstallation=file://$work/profile --headless --convert-to ppt --outdir . src/tables.fodp >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --infilter="OpenDocument Spreadsheet Flat XML" \
  --convert-to xls --outdir . src/charts.fods >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/forms.fodt >/dev/null
# A symbol from a font's character map, as Word writes it (python3-olefile).
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/symbols.fodt >/dev/null
python3 symbol-run.py symbols.doc
# Slide text typed in the Symbol and Wingdings fonts.
soffice -env:UserInstallation=file://$work/profile --headless --convert-to ppt --outdir . src/symbols.fodp >/dev/null
# Scans saved as a document (a picture inline, a picture anchored to the page)
# and as slides (a picture on each): no words, only pictures of text.
soffice -env:UserInstallation=file://$work/profile --headless --convert-to doc --outdir . src/scan.fodt >/dev/null
soffice -env:UserInstallation=file://$work/profile --headless --convert-to ppt --outdir . src/scan.fodp >/dev/null
# Mislabelled documents: RTF and HTML named .doc, a workbook named .doc.
printf '{\\rtf1\\ansi {\\fonttbl{\\f0 Times;}}\\f0 Rich text named like a Word file.\\par}\n' > rtf-named.doc
printf '<!DOCTYPE html>\n<html><head><title>Page</title></head><body><p>Web page named like a Word file.</p></body></html>\n' > html-named.doc
cp sample.xls workbook-named.doc
soffice -env:UserInstallation=file://$work/profile --headless --convert-to docx --outdir "$work" src/sample.fodt >/dev/null
cp "$work/sample.docx" docx-named.doc
# Random bytes under every extension.
head -c 4096 /dev/urandom > random.bin
for ext in doc xls ppt; do cp random.bin "random.$ext"; done
mv random.bin ../mail/random.eml
# Messages.
python3 ../mail/make-mail.py
