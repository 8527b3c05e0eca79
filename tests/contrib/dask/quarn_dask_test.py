#!/usr/bin/python3
"""End-to-end tests of contrib/dask/quarn_dask.py on a real Dask cluster.

A scheduler and two worker processes are started on 127.0.0.1; a document
set is converted on them and compared with one local "quarn --batch" run
over the same list: the same text files with the same bytes and origin
marks, the same status for every listed path. Then the set is converted
again while one worker is killed in the middle: every document must still
end converted exactly once. Exits with 77 (a skip) when Dask's distributed
package is missing.

Usage: quarn_dask_test.py --quarn BIN --script PY --set generated|corpus
                          --data TESTS_DATA --examples EXAMPLES --corpus CORPUS
"""

import argparse
import atexit
import importlib.util
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77
ARGS = None
QUARN_DASK = None  # the script under test, for its partitioning
STARTED = []  # the process groups of the cluster, ended on every way out
RUNNING = []  # the script's runs
SCRATCH = []  # the scratch folders


def end_started(signum=None, frame=None):
    """Kills what the tests started, then, called for a signal, exits."""
    for pid in STARTED:
        try:
            os.killpg(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if signum is not None:
        for p in RUNNING:
            if p.poll() is None:
                p.kill()
        for folder in SCRATCH:
            shutil.rmtree(folder, ignore_errors=True)
        os._exit(128 + signum)


def relative_tree(top):
    """{relative path: (bytes, origin mark)} of every file under top."""
    files = {}
    for folder, _, names in os.walk(os.fsencode(top)):
        for name in names:
            path = os.path.join(folder, name)
            try:
                origin = os.getxattr(path, "user.quarn.origin")
            except OSError:
                origin = None
            with open(path, "rb") as f:
                files[os.path.relpath(path, os.fsencode(top))] = (f.read(), origin)
    return files


def read_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def comparable(line, out_dir, resumed=()):
    """A line with the output folder's name taken out of the fields that hold it.

    The reason of a document written by a lost attempt is not known (its
    line is the finishing attempt's), so it is left out for the inputs in
    resumed, on both sides.
    """
    prefix = out_dir.rstrip("/") + "/"
    output = line["output"]
    if output is not None:
        output = output[len(prefix):] if output.startswith(prefix) else output
    reason = (line["reason"] or "").replace(prefix, "OUT/")
    if line["input"] in resumed:
        reason = "(resumed)"
    return (line["input"], line["status"], output or "", reason)


def children_of(pid):
    """The ids of the processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The name in brackets may hold spaces; the parent follows the state.
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def seconds_running(pid):
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    started = int(stat[stat.rfind(")") + 2:].split()[19]) / os.sysconf("SC_CLK_TCK")
    with open("/proc/uptime") as f:
        return float(f.read().split()[0]) - started


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(")") + 2] != "Z"


class Cluster:
    """A scheduler and two workers (one thread each, no nanny) on 127.0.0.1.

    Each is started in its own session, so that closing kills each process
    group, quarn runs included, on every path out of the tests.
    """

    def __init__(self, scratch):
        self.scratch = scratch
        self.scheduler_file = os.path.join(scratch, "scheduler.json")
        self.processes = []
        self.workers = []

    def _start(self, module, *args, name):
        log = open(os.path.join(self.scratch, name + ".log"), "wb")
        # "python3 -m distributed.cli.dask_scheduler" is the program behind
        # "dask scheduler", run by the interpreter that has the package.
        p = subprocess.Popen([sys.executable, "-m", "distributed.cli." + module, *args],
                             stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True, cwd=self.scratch)
        log.close()
        self.processes.append(p)
        STARTED.append(p.pid)
        return p

    def start(self):
        self._start("dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                    "--scheduler-file", self.scheduler_file, "--idle-timeout", "300", name="scheduler")
        for i in range(2):
            folder = os.path.join(self.scratch, "worker%d" % i)
            os.makedirs(folder)
            self.workers.append(self._start(
                "dask_worker", "--scheduler-file", self.scheduler_file, "--host", "127.0.0.1",
                "--nthreads", "1", "--no-nanny", "--no-dashboard", "--death-timeout", "60",
                "--local-directory", folder, "--name", "worker%d" % i, name="worker%d" % i))
        deadline = time.monotonic() + 90
        while not os.path.exists(self.scheduler_file):
            if time.monotonic() > deadline or self.processes[0].poll() is not None:
                raise RuntimeError("the scheduler did not start:\n" + self.log("scheduler"))
            time.sleep(0.2)
        with open(self.scheduler_file) as f:
            self.address = json.load(f)["address"]
        from distributed import Client
        with Client(self.address, timeout=60) as client:
            client.wait_for_workers(2, timeout=90)

    def log(self, name):
        with open(os.path.join(self.scratch, name + ".log"), "rb") as f:
            return f.read().decode("utf-8", "replace")[-3000:]

    def close(self):
        for p in self.processes:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for p in self.processes:
            p.wait()


class DocumentSet:
    """A scratch folder of documents and the NUL-separated list that names them.

    "generated": the project's test samples and examples, plus names and
    pairs that put the partitioning to the test: a text file two documents
    share, a name that is not UTF-8, a name with a line end, a path listed
    twice and one that does not exist. "corpus": a copy of the corpus.
    """

    def __init__(self, scratch, kind):
        self.top = os.path.join(scratch, "docs")
        paths = []
        if kind == "corpus":
            shutil.copytree(os.path.join(ARGS.corpus, "inputs"), self.top, symlinks=True)
        else:
            shutil.copytree(ARGS.data, os.path.join(self.top, "data"), symlinks=True)
            shutil.copytree(ARGS.examples, os.path.join(self.top, "examples"), symlinks=True)
            odd = os.path.join(self.top, "odd")
            os.makedirs(odd)
            for name, text in ((b"shared.md", b"# The Markdown one\n"),
                               (b"shared.rtf", b"{\\rtf1 The RTF one\\par}"),
                               (b"caf\xe9.md", b"Not UTF-8 in the name\n"),
                               (b"two\nlines.md", b"A line end in the name\n")):
                with open(os.path.join(os.fsencode(odd), name), "wb") as f:
                    f.write(text)
        # Relative paths, as "find docs -print0" in the scratch folder lists them.
        for folder, _, names in os.walk(os.fsencode(self.top)):
            for name in sorted(names):
                paths.append(os.path.relpath(os.path.join(folder, name), os.fsencode(scratch)))
        paths.sort()
        if kind != "corpus":
            paths.append(paths[0])  # named twice
            paths.append(b"docs/odd/missing.md")
        self.paths = paths
        self.list = os.path.join(scratch, "list")
        with open(self.list, "wb") as f:
            f.write(b"".join(p + b"\0" for p in paths))


def quarn_options():
    """Options for both sides: the corpus's scanned pages would spend minutes
    in text recognition, which tells nothing about the cluster."""
    return ["--no-ocr"] if ARGS.set == "corpus" else []


def run_local(scratch, out):
    """One local batch over the list into out (relative to scratch): the reference."""
    with open(os.path.join(scratch, "list"), "rb") as listed:
        done = subprocess.run([ARGS.quarn, "--batch", "--files-from", "-", "-0", "--jsonl", "--update",
                               "--output-dir", out, *quarn_options()], stdin=listed, capture_output=True, cwd=scratch,
                              timeout=600)
    return done.returncode, read_lines(done.stdout.decode())


def script(*args, **kwargs):
    p = subprocess.Popen([sys.executable, ARGS.script, *args], cwd=kwargs.pop("cwd"),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    RUNNING.append(p)
    return p


class DaskRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quarn-dask-test.")
        SCRATCH.append(cls.scratch)
        cls.cluster = Cluster(cls.scratch)
        try:
            cls.docs = DocumentSet(cls.scratch, ARGS.set)
            cls.local_status, cls.local_lines = run_local(cls.scratch, "local")
            cls.local_tree = relative_tree(os.path.join(cls.scratch, "local"))
            cls.cluster.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.cluster.close()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def convert(self, out, *extra, kill_worker=None):
        """Runs the script over the list into out; returns (status, summary lines, stderr)."""
        summary = os.path.join(self.scratch, out + ".jsonl")
        partition = max(1, len(self.docs.paths) // 8)
        # The killed run names the scheduler by address, the others by its file.
        where = (["--scheduler", self.cluster.address] if kill_worker else
                 ["--scheduler-file", self.cluster.scheduler_file])
        p = script(*where, "-0", "--output-dir", out, "--summary", summary,
                   "--quarn", ARGS.quarn, "--partition-size", str(partition), "-v", *extra, "list",
                   "--", *quarn_options(), cwd=self.scratch)
        try:
            stderr = b""
            if kill_worker is not None:
                stderr = kill_worker(p)
            more_out, more_err = p.communicate(timeout=600)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        with open(summary) as f:
            lines = read_lines(f.read())
        return p.returncode, lines, (stderr + more_err).decode("utf-8", "replace")

    def assertSameAsLocal(self, out, status, lines, stderr):
        """The run into out did what the local run did.

        Where two documents share a text file (a.md and a.rtf), the first to
        be written keeps it, and which is first depends on timing, in one
        local run too: such a group must have the same statuses, and its
        text file must be the text of the document whose line says written.
        """
        self.assertEqual(status, self.local_status, stderr)
        # A listed path quarn gives no line for (it does not take it for a
        # document) has none here either, and the run names it.
        answered = {l["input"] for l in self.local_lines}
        for path in self.docs.paths:
            if os.fsdecode(path) not in answered:
                self.assertIn("quarn gave no line for", stderr)
        for status_name in ("written", "no_text", "failed", "skipped"):
            self.assertEqual(sum(l["status"] == status_name for l in lines),
                             sum(l["status"] == status_name for l in self.local_lines), status_name + "\n" + stderr)
        groups = {}
        resumed = {l["input"] for l in lines if l.get("resumed")}
        for run, run_lines, prefix in ((0, self.local_lines, "local"), (1, lines, out)):
            for line in run_lines:
                key = QUARN_DASK.group_key(line["input"].encode("utf-8", "surrogateescape"))
                groups.setdefault(key, ([], []))[run].append(comparable(line, prefix, resumed))
        shared = set()
        for key, (local, ours) in groups.items():
            if any(l[1] == "failed" and l[3].startswith("not written:") for l in local + ours):
                self.assertEqual(sorted(l[1] for l in ours), sorted(l[1] for l in local), key)
                shared.update(l[2] for l in local + ours if l[2])
            else:
                self.assertEqual(sorted(ours), sorted(local), key)
        # The same text files, byte for byte, with the same origin marks,
        # and nothing else: no second copy, no half-written file.
        tree = relative_tree(os.path.join(self.scratch, out))
        self.assertEqual(sorted(tree), sorted(self.local_tree))
        written = {l["output"][len(out) + 1:]: os.path.basename(l["input"]) for l in lines if l["output"]}
        for name, content in self.local_tree.items():
            if tree[name][1] != content[1] and os.fsdecode(name) in shared:
                self.assertEqual(os.fsdecode(tree[name][1]), written[os.fsdecode(name)], name)
            else:
                self.assertEqual(tree[name], content, name)

    def test_1_run_matches_a_local_batch(self):
        status, lines, stderr = self.convert("dask")
        self.assertSameAsLocal("dask", status, lines, stderr)
        self.assertFalse(any(l.get("resumed") for l in lines))
        self.assertGreater(sum(l["status"] == "written" for l in lines), len(self.docs.paths) // 2)
        # Run again: everything is up to date, nothing is converted twice.
        status, again, stderr = self.convert("dask")
        self.assertEqual(sorted((l["input"], l["status"]) for l in again if l["status"] in ("written", "skipped")),
                         sorted((l["input"], "skipped") for l in lines if l["status"] in ("written", "skipped")),
                         stderr)

    def test_2_killed_worker_still_converts_every_document_once(self):
        victim = self.cluster.workers[1]
        seen = {}

        def kill_after_first_result(p):
            stderr = b""
            # The first partition that ends.
            while b"done:" not in stderr:
                line = p.stderr.readline()
                self.assertTrue(line, "the run ended before any partition did:\n" + stderr.decode())
                stderr += line
            # Kill the worker while a quarn of its own is converting, once
            # that quarn has had the time to finish some documents.
            deadline = time.monotonic() + 60
            quarns = []
            while time.monotonic() < deadline and p.poll() is None:
                try:
                    quarns = [c for c in children_of(victim.pid) if alive(c) and seconds_running(c) > 0.4]
                except OSError:
                    quarns = []
                if quarns:
                    break
                time.sleep(0.02)
            self.assertTrue(quarns, "the worker never ran a partition long enough")
            os.kill(victim.pid, signal.SIGKILL)
            victim.wait()
            # Its quarn ends with it rather than converting beside the retry.
            deadline = time.monotonic() + 30
            while any(alive(c) for c in quarns) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertFalse([c for c in quarns if alive(c)], "quarn outlived its worker")
            # What exists now must never be written again.
            out = os.path.join(self.scratch, "killed")
            for folder, _, names in os.walk(out):
                for name in names:
                    st = os.stat(os.path.join(folder, name))
                    seen[os.path.join(folder, name)] = (st.st_ino, st.st_mtime_ns)
            return stderr

        status, lines, stderr = self.convert("killed", kill_worker=kill_after_first_result)
        self.assertSameAsLocal("killed", status, lines, stderr)
        for path, before in seen.items():
            st = os.stat(path)
            self.assertEqual((st.st_ino, st.st_mtime_ns), before, path + " was written twice")
        resumed = sum(bool(l.get("resumed")) for l in lines)
        print("killed run: %d documents, %d written, %d of them by the lost attempt; %d text files existed at the kill"
              % (len(lines), sum(l["status"] == "written" for l in lines), resumed, len(seen)), file=sys.stderr)


class Partitions(unittest.TestCase):
    """The script's own pieces, without a cluster."""

    def test_list_entries_and_names_that_share_a_text_file(self):
        listed = QUARN_DASK.read_list(io.BytesIO(b"x/a.md\r\n\ny/b.md\n./x/a.rtf\n"), nul=False)
        self.assertEqual(listed, [b"x/a.md", b"y/b.md", b"./x/a.rtf"])
        self.assertEqual(QUARN_DASK.read_list(io.BytesIO(b"two\nlines.md\0caf\xe9.md\0\0"), nul=True),
                         [b"two\nlines.md", b"caf\xe9.md"])
        paths = [b"x/a.md", b"y/b.md", b"./x/a.rtf", b"/x/a.tar.gz", b"x/c.md", b"x/a.md", b"y/d.md"]
        parts = QUARN_DASK.make_partitions(paths, 2)
        self.assertEqual(sorted(sum(parts, [])), sorted(paths))
        self.assertTrue(all(len(part) <= 4 for part in parts))
        # All four namings of x/a's text file in one partition, in list order.
        holder = [part for part in parts if b"x/a.md" in part]
        self.assertEqual(len(holder), 1)
        self.assertEqual([p for p in holder[0] if b"a." in p], [b"x/a.md", b"./x/a.rtf", b"/x/a.tar.gz", b"x/a.md"])

    def test_text_file_written_by_a_lost_attempt_counts_as_written(self):
        scratch = tempfile.mkdtemp(prefix="quarn-dask-unit.")
        try:
            for name in ("a.md", "b.md"):
                with open(os.path.join(scratch, name), "w") as f:
                    f.write("text of %s\n" % name)
            options = ["--update", "--output-dir", "out"]
            began = QUARN_DASK.probe(ARGS.quarn, options, scratch, "out")["began"]
            # The lost attempt converted a.md before its worker died.
            subprocess.run([ARGS.quarn, "--batch", "--update", "--output-dir", "out", "a.md"], cwd=scratch,
                           check=True, capture_output=True)
            lines = QUARN_DASK.convert_partition(0, [b"a.md", b"b.md"], ARGS.quarn, options, scratch, began)["lines"]
            got = {l["input"]: (l["status"], l.get("resumed", False)) for l in lines}
            self.assertEqual(got, {"a.md": ("written", True), "b.md": ("written", False)})
            # A later run finds both up to date from before it began.
            began = QUARN_DASK.probe(ARGS.quarn, options, scratch, "out")["began"]
            lines = QUARN_DASK.convert_partition(0, [b"a.md", b"b.md"], ARGS.quarn, options, scratch, began)["lines"]
            self.assertEqual([(l["status"], l.get("resumed", False)) for l in lines], [("skipped", False)] * 2)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


    def test_split_parts_run_by_the_part_script(self):
        scratch = tempfile.mkdtemp(prefix="quarn-dask-part.")
        try:
            for name in ("a.md", "a.rtf", "b.md", "c.md"):
                with open(os.path.join(scratch, name), "w") as f:
                    f.write("{\\rtf1 text\\par}" if name.endswith(".rtf") else "text\n")
            with open(os.path.join(scratch, "list"), "wb") as f:
                f.write(b"a.md\0b.md\0a.rtf\0gone.md\0c.md\0")
            split = subprocess.run([sys.executable, ARGS.script, "--split", "parts", "--partition-size", "2", "-0",
                                    "list"], cwd=scratch, capture_output=True, check=True)
            self.assertEqual(split.stdout, b"3\n")
            parts = [open(os.path.join(scratch, "parts", "part-%05d" % i), "rb").read() for i in range(3)]
            self.assertEqual(parts, [b"a.md\0a.rtf\0", b"b.md\0gone.md\0", b"c.md\0"])
            part_script = os.path.join(os.path.dirname(ARGS.script), "quarn-part.sh")
            env = dict(os.environ, QUARN=ARGS.quarn)

            def run_part(i, quarn=ARGS.quarn):
                done = subprocess.run([part_script, "parts/part-%05d" % i, "lines-%d.jsonl" % i, "out"], cwd=scratch,
                                      capture_output=True, env=dict(env, QUARN=quarn))
                with open(os.path.join(scratch, "lines-%d.jsonl" % i)) as f:
                    return done.returncode, read_lines(f.read()), done.stderr.decode()

            # A document that failed is a result: the part is done.
            status, lines, err = run_part(1)
            self.assertEqual(status, 0, err)
            self.assertEqual(sorted(l["status"] for l in lines), ["failed", "written"])
            # Run again, the part's lines are replaced, not added to.
            status, lines, err = run_part(1)
            self.assertEqual(sorted(l["status"] for l in lines), ["failed", "skipped"])
            # A quarn that fails as a whole leaves the part to be run again.
            fake = os.path.join(scratch, "fake-quarn")
            with open(fake, "w") as f:
                f.write("#!/bin/sh\necho 'quarn: cannot read the list' >&2\nexit 1\n")
            os.chmod(fake, 0o755)
            status, lines, err = run_part(2, quarn=fake)
            self.assertEqual(status, 1)
            self.assertIn("run this part again", err)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


class Failures(unittest.TestCase):
    """What the script does when quarn cannot do its part (a local cluster)."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="quarn-dask-fail.")
        with open(os.path.join(self.scratch, "list"), "w") as f:
            f.write("a.md\n")
        with open(os.path.join(self.scratch, "a.md"), "w") as f:
            f.write("text\n")

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def run_script(self, *args):
        p = script("--workers", "1", "--output-dir", "out", "--summary", "summary.jsonl", *args, "list",
                   cwd=self.scratch)
        out, err = p.communicate(timeout=300)
        return p.returncode, err.decode("utf-8", "replace")

    def test_missing_quarn_and_bad_options_stop_before_any_partition(self):
        status, err = self.run_script("--quarn", os.path.join(self.scratch, "no-such-quarn"))
        self.assertEqual(status, 2, err)
        self.assertIn("cannot run quarn", err)
        status, err = self.run_script("--quarn", ARGS.quarn, "--", "--no-such-option")
        self.assertEqual(status, 2, err)
        self.assertIn("no-such-option", err)

    def test_quarn_failing_as_a_whole_fails_the_partition_loudly(self):
        # Answers the empty list of the first check as quarn does, then
        # fails without a line for any document, as quarn does when it
        # cannot read its list.
        fake = os.path.join(self.scratch, "fake-quarn")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\nif [ -n \"$(head -c1)\" ]; then echo 'quarn: cannot read the list' >&2; exit 1; fi\n")
        os.chmod(fake, 0o755)
        status, err = self.run_script("--quarn", fake, "--retries", "0")
        self.assertEqual(status, 1, err)
        self.assertIn("partition 0 (1 documents) failed", err)
        self.assertIn("cannot read the list", err)


def main():
    global ARGS, QUARN_DASK
    parser = argparse.ArgumentParser()
    parser.add_argument("--quarn", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--set", choices=("generated", "corpus"), required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--corpus", required=True)
    ARGS = parser.parse_args()
    for name in ("quarn", "script", "data", "examples", "corpus"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    try:
        import distributed
        del distributed
    except ImportError:
        print("SKIPPED: Dask's distributed package (python3-distributed) is not installed")
        return SKIP
    if ARGS.set == "corpus" and not os.path.isdir(os.path.join(ARGS.corpus, "inputs")):
        print("SKIPPED: no corpus at " + ARGS.corpus)
        return SKIP
    found = importlib.util.spec_from_file_location("quarn_dask", ARGS.script)
    QUARN_DASK = importlib.util.module_from_spec(found)
    found.loader.exec_module(QUARN_DASK)
    # A time-out of ctest ends this process, not the sessions it started.
    atexit.register(end_started)
    signal.signal(signal.SIGTERM, end_started)
    signal.signal(signal.SIGINT, end_started)
    tests = unittest.TestSuite()
    loader = unittest.TestLoader()
    tests.addTests(loader.loadTestsFromTestCase(DaskRun))
    if ARGS.set == "generated":
        tests.addTests(loader.loadTestsFromTestCase(Partitions))
        tests.addTests(loader.loadTestsFromTestCase(Failures))
    result = unittest.TextTestRunner(verbosity=2).run(tests)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
