"""Writes the sample messages of tests/data/mail from parts written here; the
attached Word document is the Office 97-2003 sample of tests/data/ole."""
import base64
import pathlib

here = pathlib.Path(__file__).resolve().parent
doc = base64.encodebytes((here.parent / "ole" / "sample.doc").read_bytes()).decode()

inner = (
    "From: Inner Sender <inner@example.org>\n"
    "To: outer@example.org\n"
    "Subject: The attached message\n"
    "Date: Tue, 02 Mar 2021 08:00:00 +0000\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<html><body><p>Only <b>HTML</b> in here &amp; nothing else.</p><script>var hidden = 1;</script></body></html>\n"
)

message = (
    "From: =?utf-8?B?0JDQvdC90LA=?= <anna@example.org>\n"
    "To: Bob <bob@example.org>, carol@example.org\n"
    "Cc: Dave <dave@example.org>\n"
    "Subject: =?utf-8?Q?Quarterly_r=C3=A9sum=C3=A9?=\n"
    "Date: Mon, 01 Mar 2021 10:30:00 +0100\n"
    "Message-ID: <sample-1@example.org>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"alt\"\n"
    "\n"
    "--alt\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "\n"
    "Hello Bob, the figures are attached. Greek: Καλημέρα.\n"
    "--alt\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>Hello Bob, the HTML rendering.</p>\n"
    "--alt--\n"
    "--outer\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "\n"
).encode() + b"Broken \xff\xfe bytes before the last words survive.\n" + (
    "--outer\n"
    "Content-Type: application/msword; name=\"report.doc\"\n"
    "Content-Disposition: attachment; filename=\"report.doc\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n" + doc +
    "--outer\n"
    "Content-Type: image/png; name=\"chart.png\"\n"
    "Content-Disposition: attachment; filename=\"chart.png\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "iVBORw0KGgo=\n"
    "--outer\n"
    "Content-Type: message/rfc822\n"
    "\n" + inner +
    "--outer--\n"
).encode()
(here / "sample.eml").write_bytes(message)
