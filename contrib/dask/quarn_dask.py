#!/usr/bin/python3
"""Converts a list of documents with quarn on a Dask cluster.

The list is split into partitions; each partition is one task that runs

    quarn --batch --files-from - -0 --jsonl --update --output-dir DIR

on a worker, and the JSON lines of every partition are gathered into one
summary file, one line a document. Workers must see the documents and the
output folder at the same paths (shared storage), and have quarn installed.

A task whose worker dies is run again by Dask on another worker; --update
makes the new attempt leave alone what the lost one finished, and a quarn
started by a task ends with the worker that started it, so no two attempts
convert at once. Documents whose text files share a name (a.md and a.rtf in
one folder) always go to the same partition, so that the one named first
keeps the text file, as in one local run.

Usage:
    find /share -type f -print0 |
        quarn_dask.py --scheduler tcp://head:8786 -0 --output-dir /srv/texts \\
                      --summary results.jsonl
    quarn_dask.py --workers 2 --output-dir out list.txt -- --timeout 60
    quarn_dask.py --split parts --partition-size 1000 -0 list   # for quarn-part.sh

Without --scheduler a local cluster of --workers processes is started.
Options after "--" are handed to quarn unchanged (--timeout, --no-ocr, ...).

Summary lines are quarn's own (see the README for the fields), in the order
partitions end. One field is added: "resumed" is true on a line whose text
file was written by an attempt that was lost with its worker. The attempt
that finished found that text file up to date; its line says "written", with
the output and the document's size, and a reason saying the rest is not
known (text_chars, filter and milliseconds went with the lost attempt).
A text file counts as written by the run when it was modified after the run
began, by the clock of the file system that holds it; lines of documents
that were up to date before the run stay "skipped".

Exit status: 0 every document was written (or was up to date), 1 a document
or a partition failed (the partitions that failed are named on standard
error; run again with the same list to finish them), 2 nothing was
converted: the command line or quarn's options were not understood, or the
scheduler, quarn or the output folder could not be used at all, 3 some
documents had no text and none failed.

With --split DIR the partitions are only written to DIR as lists, for a
Slurm job array or GNU parallel, which run quarn-part.sh on each (see the
README); Dask is not needed then.
"""

import argparse
import json
import math
import os
import signal
import subprocess
import sys
import tempfile

STATUSES = ("written", "no_text", "failed", "skipped")
UP_TO_DATE = "its text file is newer than the document"
LOST_ATTEMPT = "written by an attempt lost with its worker; what its text lacks, if anything, is not known"


class QuarnError(RuntimeError):
    """quarn ended in a way that is not a per-document result."""


# ---------------------------------------------------------------- the list

def read_list(stream, nul):
    """The paths of a list as bytes, in order; empty entries are left out."""
    data = stream.read()
    entries = data.split(b"\0") if nul else data.split(b"\n")
    if not nul:
        entries = [e[:-1] if e.endswith(b"\r") else e for e in entries]
    return [e for e in entries if e]


def group_key(path):
    """Paths whose text files could share a name have one key.

    A text file is named after its document without the extension, in the
    same folder (under --output-dir: at the path as listed, a leading "/" or
    "./" left out). The key is the normalised folder and the name up to its
    first dot, so every pair that could meet has one key (a.tar.gz and a.md
    share one too, which costs nothing).
    """
    norm = os.path.normpath(path).lstrip(b"/")
    folder, name = os.path.split(norm)
    return folder, name.split(b".", 1)[0]


def make_partitions(paths, size):
    """Splits paths into lists of about size paths, list order kept.

    A group of paths with one key is never split; it goes whole into the
    partition where its first path falls.
    """
    groups = {}
    for p in paths:
        groups.setdefault(group_key(p), []).append(p)
    partitions, current = [], []
    for members in groups.values():
        if current and len(current) + len(members) > size:
            partitions.append(current)
            current = []
        current.extend(members)
    if current:
        partitions.append(current)
    return partitions


# ------------------------------------------------------- on the workers

def _end_with_parent(parent):
    """Makes the child get SIGHUP when the thread that started it ends.

    quarn takes SIGHUP as "end now": it removes any half-written text file
    and exits, so a worker killed without warning leaves no quarn behind to
    convert alongside the next attempt.
    """
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG, SIG_DFL = 1, 0

    def set_death_signal():
        # A worker started under nohup passes SIGHUP on ignored, and quarn
        # keeps a signal its caller ignores ignored.
        libc.signal(signal.SIGHUP, SIG_DFL)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGHUP, 0, 0, 0)
        if os.getppid() != parent:  # the worker died before prctl
            os.kill(os.getpid(), signal.SIGHUP)

    return set_death_signal


def run_quarn(quarn, options, paths, cwd, env=None):
    """Runs quarn over paths; returns (exit status, JSON lines, stderr)."""
    command = [quarn, "--batch", "--files-from", "-", "-0", "--jsonl"] + options
    stdin = b"".join(p + b"\0" for p in paths)
    done = subprocess.run(command, input=stdin, capture_output=True, cwd=cwd, env=env,
                          preexec_fn=_end_with_parent(os.getpid()))
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
    return done.returncode, lines, done.stderr.decode("utf-8", "replace")


def describe_exit(status):
    if status < 0:
        try:
            return "killed by " + signal.Signals(-status).name
        except ValueError:
            return "killed by signal %d" % -status
    return "exit status %d" % status


def convert_partition(index, paths, quarn, options, cwd, run_began_ns):
    """One task: converts the partition.

    Returns {"lines": its summary lines, "unanswered": the listed paths that
    have no line (quarn leaves out a path it does not take for a document)}.
    Raises QuarnError when quarn ended in a way that is not a result of its
    documents, so that Dask tries again and, when that fails too, the run
    reports the partition as failed.
    """
    status, lines, stderr = run_quarn(quarn, options, paths, cwd)
    # 0, 1 and 3 are the statuses of a whole run; a 1 with no failed
    # document is quarn's own failure (a folder it could not make, ...).
    whole = status in (0, 3) or (status == 1 and any(l.get("status") == "failed" for l in lines))
    if not whole:
        tail = "\n".join(stderr.strip().splitlines()[-5:])
        raise QuarnError("partition %d: quarn ended with %s: %s" % (index, describe_exit(status), tail))
    answered = {l["input"].encode("utf-8", "surrogateescape") for l in lines}
    # A listed folder is walked; its documents answer for it.
    unanswered = [p for p in paths if p not in answered and not os.path.isdir(os.path.join(cwd.encode(), p))]
    for line in lines:
        if line.get("status") == "skipped" and line.get("reason") == UP_TO_DATE and line.get("output"):
            out = os.path.join(cwd.encode(), line["output"].encode("utf-8", "surrogateescape"))
            try:
                written_during_run = os.stat(out).st_mtime_ns >= run_began_ns
            except OSError:
                written_during_run = False
            if written_during_run:
                line["status"] = "written"
                line["reason"] = LOST_ATTEMPT
                line["resumed"] = True
    return {"lines": lines, "unanswered": unanswered}


def probe(quarn, options, cwd, output_dir):
    """Runs quarn once on an empty list, on a worker, before any partition.

    Catches a missing quarn and options it does not understand once, rather
    than in every partition, makes the output folder, and returns the output
    file system's time now, which tells text files written during this run
    from those written before it (the clocks of the machines may differ).
    """
    try:
        status, _, stderr = run_quarn(quarn, options, [], cwd)
    except FileNotFoundError as e:
        return {"error": "cannot run quarn: %s" % e}
    except OSError as e:
        return {"error": "cannot run quarn: %s" % e}
    if status != 0:
        return {"error": "quarn ended with %s: %s" % (describe_exit(status), stderr.strip())}
    folder = os.path.join(cwd, output_dir)
    try:
        os.makedirs(folder, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".quarn-dask-clock-") as clock:
            began = os.fstat(clock.fileno()).st_mtime_ns
    except OSError as e:
        return {"error": "cannot write in the output folder: %s" % e}
    return {"began": began}


# ------------------------------------------------------------- the client

def parse_arguments(argv):
    quarn_options = []
    if "--" in argv:
        cut = argv.index("--")
        argv, quarn_options = argv[:cut], argv[cut + 1:]
    parser = argparse.ArgumentParser(
        description="Convert a list of documents with quarn on a Dask cluster.",
        epilog="Options after \"--\" are handed to quarn (for example -- --timeout 60 --no-ocr).")
    parser.add_argument("list", nargs="?", default="-",
                        help="the file that lists the documents, one a line (\"-\", the default: standard input)")
    parser.add_argument("-0", dest="nul", action="store_true", help="the paths in the list end with a NUL byte")
    parser.add_argument("--output-dir", help="where quarn writes the text files (shared by every worker)")
    parser.add_argument("--summary", default="-", help="the JSON lines file to write (\"-\", the default: standard output)")
    parser.add_argument("--scheduler", help="the Dask scheduler's address; without it (and without --scheduler-file)"
                                            " a local cluster is started")
    parser.add_argument("--scheduler-file", help="the file in which the scheduler wrote its address")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    parser.add_argument("--partition-size", type=int,
                        help="documents per task (default: about eight tasks a worker thread, at most 1000)")
    parser.add_argument("--partitions", type=int, help="number of tasks (instead of --partition-size)")
    parser.add_argument("--quarn", default="quarn", help="the quarn program on the workers (default: quarn on PATH)")
    parser.add_argument("--jobs", type=int, help="documents each quarn converts at once (quarn's --jobs; default quarn's own)")
    parser.add_argument("--cwd", default=os.getcwd(),
                        help="the folder relative paths start from on the workers (default: the current one)")
    parser.add_argument("--retries", type=int, default=2, help="times a failed task is tried again (default 2)")
    parser.add_argument("--split", metavar="DIR",
                        help="only write the partitions to DIR as lists part-00000, part-00001, ... (NUL-separated,"
                             " for quarn --files-from LIST -0) and print their number; no cluster is used")
    parser.add_argument("-v", "--verbose", action="store_true", help="a line on standard error as each partition ends")
    args = parser.parse_args(argv)
    for name in ("workers", "partition_size", "partitions", "jobs"):
        value = getattr(args, name)
        if value is not None and value < 1:
            parser.error("--%s must be at least 1" % name.replace("_", "-"))
    if not args.split and not args.output_dir:
        parser.error("--output-dir is needed (or --split)")
    if args.split and not (args.partition_size or args.partitions):
        parser.error("--split needs --partition-size or --partitions")
    if args.retries < 0:
        parser.error("--retries must be 0 or more")
    if args.scheduler and args.scheduler_file:
        parser.error("give --scheduler or --scheduler-file, not both")
    if args.partition_size and args.partitions:
        parser.error("give --partition-size or --partitions, not both")
    args.quarn_options = ["--update", "--output-dir", args.output_dir or ""]
    if args.jobs:
        args.quarn_options += ["--jobs", str(args.jobs)]
    args.quarn_options += quarn_options
    return args


def partition_size(args, documents, threads):
    if args.partition_size:
        return args.partition_size
    if args.partitions:
        return max(1, math.ceil(documents / args.partitions))
    return min(1000, max(1, math.ceil(documents / (8 * max(1, threads)))))


def say(text):
    print("quarn-dask: " + text, file=sys.stderr, flush=True)


def main(argv):
    args = parse_arguments(argv)
    try:
        if args.list == "-":
            paths = read_list(sys.stdin.buffer, args.nul)
        else:
            with open(args.list, "rb") as f:
                paths = read_list(f, args.nul)
    except OSError as e:
        say("cannot read the list: %s" % e)
        return 1

    if args.split:
        return split(args, paths)

    from distributed import Client, LocalCluster, as_completed

    cluster = None
    if args.scheduler or args.scheduler_file:
        try:
            client = Client(args.scheduler, scheduler_file=args.scheduler_file, timeout=60)
        except (OSError, TimeoutError, ValueError) as e:
            say("cannot reach the scheduler %s: %s" % (args.scheduler or args.scheduler_file, e))
            return 2
    else:
        # One thread a worker: quarn runs its own conversions side by side.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        return run(args, paths, client, as_completed)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def split(args, paths):
    """Writes the partitions as list files, for job arrays and GNU parallel."""
    partitions = make_partitions(paths, partition_size(args, len(paths), 1))
    try:
        os.makedirs(args.split, exist_ok=True)
        for i, partition in enumerate(partitions):
            with open(os.path.join(args.split, "part-%05d" % i), "wb") as f:
                f.write(b"".join(p + b"\0" for p in partition))
    except OSError as e:
        say("cannot write the partitions: %s" % e)
        return 1
    print(len(partitions))
    return 0


def run(args, paths, client, as_completed):
    checked = client.submit(probe, args.quarn, args.quarn_options, args.cwd, args.output_dir, pure=False)
    answer = checked.result()
    if "error" in answer:
        say(answer["error"])
        return 2
    threads = sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values())
    partitions = make_partitions(paths, partition_size(args, len(paths), threads))
    say("%d documents in %d partitions" % (len(paths), len(partitions)))

    futures = client.map(convert_partition, range(len(partitions)), partitions,
                         quarn=args.quarn, options=args.quarn_options, cwd=args.cwd,
                         run_began_ns=answer["began"], retries=args.retries, pure=False)
    index_of = {f.key: i for i, f in enumerate(futures)}
    counts = dict.fromkeys(STATUSES, 0)
    resumed = 0
    failed_partitions = []
    unanswered = []
    out = sys.stdout if args.summary == "-" else open(args.summary, "w", encoding="utf-8")
    try:
        for future in as_completed(futures):
            i = index_of[future.key]
            if future.status != "finished":
                error = future.exception()
                failed_partitions.append(i)
                say("partition %d (%d documents) failed: %s" % (i, len(partitions[i]), error))
                continue
            answer = future.result()
            lines = answer["lines"]
            unanswered.extend(answer["unanswered"])
            for line in lines:
                counts[line["status"]] = counts.get(line["status"], 0) + 1
                resumed += bool(line.get("resumed"))
                # ensure_ascii keeps the \udcXX escapes of bytes that are not UTF-8.
                out.write(json.dumps(line, ensure_ascii=True) + "\n")
            out.flush()
            future.release()
            if args.verbose:
                say("partition %d done: %d documents" % (i, len(lines)))
    finally:
        if out is not sys.stdout:
            out.close()

    total = sum(counts.values())
    say("%d written (%d by attempts lost with their worker), %d without text, %d failed, %d skipped; %d documents"
        % (counts["written"], resumed, counts["no_text"], counts["failed"], counts["skipped"], total))
    if unanswered:
        say("quarn gave no line for %d listed paths (not taken for documents), as: %s"
            % (len(unanswered), ", ".join(p.decode("utf-8", "backslashreplace") for p in unanswered[:5])))
    if failed_partitions:
        missing = sum(len(partitions[i]) for i in failed_partitions)
        say("%d partitions failed (%d documents not converted): %s; run again with the same list to finish them"
            % (len(failed_partitions), missing, ", ".join(map(str, sorted(failed_partitions)))))
    if failed_partitions or counts["failed"]:
        return 1
    if counts["no_text"]:
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
