"""The Python package quarn: convert() through libquarn, convert_many()
through the command line's batch mode, on the build's library and program."""

import concurrent.futures
import os
import shutil
import tempfile
import time
import unittest

import quarn

SANITIZED = os.environ.get("QUARN_TEST_SANITIZED") == "1"
RTF = rb"{\rtf1\ansi Hello {\b RTF} world\par}"

# Documents named *.qs go to the scripted test plug-in, whose document says
# how to misbehave; the converters inherit the environment.
SCRIPTED_REGISTRY = (
    "Windows Registry Editor Version 5.00\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.qs\\PersistentHandler]\n"
    '@="{5155524E-7E57-4000-8000-0000000000A1}"\n'
    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-0000000000A1}\\"
    "PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}]\n"
    '@="{5155524E-7E57-4000-8000-000000000001}"\n'
    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-000000000001}\\InprocServer32]\n"
    '@="%s"\n'
)


def setUpModule():
    global DATA
    DATA = tempfile.mkdtemp(prefix="quarn-python-data-")
    os.makedirs(os.path.join(DATA, "quarn", "registry"))
    with open(os.path.join(DATA, "quarn", "registry", "scripted.reg"), "w") as f:
        f.write(SCRIPTED_REGISTRY % os.environ["QUARN_SCRIPTED_FILTER"])
    os.environ["XDG_DATA_DIRS"] = DATA


def tearDownModule():
    shutil.rmtree(DATA, ignore_errors=True)


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarn-python-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data: bytes):
        path = os.path.join(os.fsencode(self.dir) if isinstance(name, bytes) else self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()


@unittest.skipIf(SANITIZED, "a sanitized libquarn cannot be loaded into Python")
class ConvertTest(Folder):
    def test_writes_beside_or_where_named_with_the_json_fields(self):
        doc = self.write("report.rtf", RTF)
        r = quarn.convert(doc)
        self.assertEqual(r, quarn.Result(input=doc, output=os.path.join(self.dir, "report.txt"), status="written",
                                         reason=None, input_bytes=len(RTF), text_chars=16, pages=None, ocr_pages=0,
                                         filter="rtf", milliseconds=r.milliseconds))
        self.assertTrue(r.ok)
        self.assertEqual(self.read(r.output), b"Hello RTF world\n")
        out = os.path.join(self.dir, "sub.out")
        self.assertEqual(quarn.convert(doc, out, timeout=30, ocr=False).output, out)
        self.assertEqual(self.read(out), b"Hello RTF world\n")

    def test_failures_come_back_as_results(self):
        missing = quarn.convert(os.path.join(self.dir, "none.rtf"))
        self.assertEqual((missing.status, missing.output), ("failed", None))
        self.assertIn("cannot read", missing.reason)
        empty = quarn.convert(self.write("empty.md", b""))
        self.assertEqual(empty.status, "no_text")
        self.assertTrue(empty.reason)
        crash = quarn.convert(self.write("crash.qs", b"crash\n"))
        self.assertEqual(crash.status, "failed")
        self.assertIn("the converter crashed", crash.reason)
        hang = quarn.convert(self.write("hang.qs", b"hang\n"), timeout=1)
        self.assertIn("stopped after 1 s", hang.reason)
        nowhere = quarn.convert(self.write("a.rtf", RTF), converter="/nonexistent/quarn")
        self.assertIn("cannot start the converter", nowhere.reason)

    def test_bytes_names_that_are_not_utf8_round_trip(self):
        doc = self.write(b"caf\xe9.rtf", RTF)
        r = quarn.convert(doc)
        self.assertEqual(r.status, "written", r.reason)
        self.assertEqual(os.fsencode(r.input), doc)
        self.assertEqual(os.fsencode(r.output), os.path.join(os.fsencode(self.dir), b"caf\xe9.txt"))

    def test_text_in_memory(self):
        r, text = quarn.convert_to_text(self.write("m.rtf", RTF))
        self.assertEqual((r.status, text, r.output), ("written", "Hello RTF world\n", None))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "m.txt")))

    def test_threads_convert_at_once(self):
        docs = [self.write("%d.rtf" % i, rb"{\rtf1 number %d\par}" % i) for i in range(8)]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(quarn.convert, docs))
        for i, r in enumerate(results):
            self.assertEqual(r.status, "written", r.reason)
            self.assertEqual(self.read(r.output), b"number %d\n" % i)
        self.assertRegex(quarn.version(), r"^\d+\.\d+\.\d+$")


class ConvertManyTest(Folder):
    def test_every_document_once_with_its_status(self):
        docs = [self.write("a.rtf", RTF), self.write("b.md", b"# Title\n"), self.write("e.md", b""),
                os.path.join(self.dir, "missing.rtf")]
        results = {r.input: r for r in quarn.convert_many(docs, jobs=2)}
        self.assertEqual(sorted(results), sorted(docs))
        self.assertEqual([results[d].status for d in docs], ["written", "written", "no_text", "failed"])
        self.assertEqual(results[docs[0]].text_chars, 16)
        self.assertEqual(results[docs[0]].filter, "rtf")
        self.assertIn(b"Title", self.read(os.path.join(self.dir, "b.txt")))

    def test_results_come_as_documents_end(self):
        slow = self.write("slow.qs", b"hang\n")
        fast = self.write("fast.rtf", RTF)
        start = time.monotonic()
        seen = []
        for r in quarn.convert_many([slow, fast], timeout=3):
            seen.append((r.input, r.status, time.monotonic() - start))
        self.assertEqual([s[0] for s in seen], [fast, slow])
        self.assertLess(seen[0][2], 2.5)  # long before the hang's time limit ends
        self.assertEqual(seen[1][1], "failed")

    def test_output_dir_update_and_names_with_newlines(self):
        doc = self.write(b"two\nlines.rtf", RTF)
        out = os.path.join(self.dir, "texts")
        first = list(quarn.convert_many([doc], output_dir=out))
        self.assertEqual([r.status for r in first], ["written"])
        self.assertEqual(os.fsencode(first[0].input), doc)
        self.assertTrue(first[0].output.startswith(out))
        again = list(quarn.convert_many([doc], output_dir=out, update=True))
        self.assertEqual([r.status for r in again], ["skipped"])

    def test_nothing_to_do_and_no_program(self):
        self.assertEqual(list(quarn.convert_many([])), [])
        with self.assertRaises(quarn.QuarnError):
            list(quarn.convert_many([self.write("a.rtf", RTF)], program="/nonexistent/quarn"))

    def test_json_lines_of_a_later_version_still_read(self):
        r = quarn.Result.from_json('{"input":"a","output":null,"status":"failed","reason":"x","input_bytes":0,'
                                   '"text_chars":0,"pages":null,"ocr_pages":0,"filter":null,"milliseconds":3,'
                                   '"added_later":1}')
        self.assertEqual((r.input, r.status, r.milliseconds), ("a", "failed", 3))


if __name__ == "__main__":
    unittest.main()
