#!/usr/bin/env bash
# Writes the signed-file samples beside this script with the openssl tool: a
# key and certificate made for the purpose (and thrown away), then
#   invoice.xml.p7m      an XML document in a signature (DER), as e-invoices
#                        and certified mail carry them;
#   invoice.xml.p7m.p7m  the same signed twice;
#   letter.txt.p7m       a text in a signature written as PEM;
#   report.pdf.p7m       a PDF document in a signature written as bare base64;
#   letter.p7s           a detached signature (it holds no document);
#   sealed.txt.p7m       a text encrypted for its recipient (enveloped data);
#   signed-mail.eml      a message whose body is inside its S/MIME signature
#                        (smime.p7m).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Quarn test signer" -days 3650 \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
sign() { openssl cms -sign -nodetach -binary -signer "$tmp/cert.pem" -inkey "$tmp/key.pem" "$@"; }

cat >"$tmp/invoice.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Invoice><Seller>Harbour Supplies Ltd</Seller><Line><Item>Rope, 40 metres</Item><Amount>118.50</Amount></Line>
<Note>Payment within thirty days of delivery.</Note></Invoice>
XML
sign -in "$tmp/invoice.xml" -outform DER -out "$here/invoice.xml.p7m"
sign -in "$here/invoice.xml.p7m" -outform DER -out "$here/invoice.xml.p7m.p7m"

printf 'Dear members,\nthe spring meeting is moved to the harbour office.\n' >"$tmp/letter.txt"
sign -in "$tmp/letter.txt" -outform PEM -out "$here/letter.txt.p7m"
openssl cms -sign -binary -signer "$tmp/cert.pem" -inkey "$tmp/key.pem" -in "$tmp/letter.txt" -outform DER \
  -out "$here/letter.p7s"

openssl cms -encrypt -aes256 -binary -in "$tmp/letter.txt" -outform DER -out "$here/sealed.txt.p7m" "$tmp/cert.pem"

sign -in "$here/../convert/pdf/two_pages.pdf" -outform DER -out "$tmp/report.der"
base64 -w 76 "$tmp/report.der" >"$here/report.pdf.p7m"

printf 'Content-Type: text/plain; charset=utf-8\r\n\r\nThe minutes of the meeting are attached in this signed message.\r\n' >"$tmp/body"
{
  printf 'From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Signed minutes\r\n'
  printf 'Date: Mon, 2 Dec 2024 10:00:00 +0000\r\nMessage-ID: <signed@example.org>\r\n'
  openssl smime -sign -nodetach -binary -signer "$tmp/cert.pem" -inkey "$tmp/key.pem" -in "$tmp/body"
} >"$here/signed-mail.eml"
