"""Quarn from Python: documents to plain-text files.

    import quarn
    r = quarn.convert("report.pdf")          # writes report.txt beside it
    if r.status == "written":
        print(r.output, r.text_chars)
    for r in quarn.convert_many(paths, jobs=2):
        print(r.input, r.status, r.reason)

convert() calls libquarn (through ctypes); convert_many() runs the command
line's batch mode, which keeps its converter processes from one document to
the next, and yields each document's Result as it ends.  Every document is
read in a confined converter process: a corrupt or hostile file comes back as
a failed Result with its reason, never as an exception or a crash here.

Paths may be str, bytes or os.PathLike; the paths in a Result are str, with
bytes that are not UTF-8 kept as Python's surrogate escapes, so
os.fsencode(result.input) gives the bytes back.
"""

import ctypes
import dataclasses
import json
import os
import shutil
import subprocess
import threading
from typing import Iterable, Iterator, Optional

try:  # written at installation: where the library and the program were installed
    from quarn import _installed
except ImportError:  # the source tree
    _installed = None

__all__ = ["Result", "QuarnError", "convert", "convert_to_text", "convert_many", "version"]

STATUSES = ("written", "no_text", "failed", "skipped")


class QuarnError(Exception):
    """Quarn itself could not be used: its library or program is missing."""


@dataclasses.dataclass(frozen=True)
class Result:
    """One document's outcome: the fields of the command line's JSON lines."""

    input: str
    output: Optional[str]  # the text file written (or found up to date); None when none
    status: str  # "written", "no_text", "failed" or "skipped"
    reason: Optional[str]  # why it was not written, or what a written text lacks; None for a whole text
    input_bytes: int = 0
    text_chars: int = 0
    pages: Optional[int] = None
    ocr_pages: int = 0
    filter: Optional[str] = None  # what read the document
    milliseconds: int = 0

    @property
    def ok(self) -> bool:
        return self.status == "written"

    @classmethod
    def from_json(cls, line) -> "Result":
        """A Result from one JSON line of `quarn --batch --jsonl`; fields a
        later version adds are ignored."""
        data = json.loads(line) if isinstance(line, (str, bytes)) else line
        names = {f.name for f in dataclasses.fields(cls)}
        return cls(**{k: v for k, v in data.items() if k in names})


def _environment(name: str) -> Optional[str]:
    value = os.environ.get(name)
    return value if value else None


def library_path() -> str:
    """The libquarn that convert() loads: $QUARN_LIBRARY, else the one
    installed with this package, else the system's libquarn.so.1."""
    installed = getattr(_installed, "LIBRARY", None)
    if installed and not os.path.exists(installed):
        installed = None
    return _environment("QUARN_LIBRARY") or installed or "libquarn.so.1"


def program_path() -> str:
    """The quarn program that convert_many() runs: $QUARN_PROGRAM, else the
    one installed with this package, else quarn on $PATH."""
    found = _environment("QUARN_PROGRAM") or getattr(_installed, "PROGRAM", None)
    if found and os.access(found, os.X_OK):
        return found
    return shutil.which("quarn") or found or "quarn"


class _Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("timeout_seconds", ctypes.c_ulong),
        ("memory_limit", ctypes.c_ulonglong),
        ("ocr", ctypes.c_int),
        ("ocr_languages", ctypes.c_char_p),
        ("converter", ctypes.c_char_p),
    ]


class _Result(ctypes.Structure):
    _fields_ = [
        ("outcome", ctypes.c_int),
        ("reason", ctypes.c_void_p),
        ("output", ctypes.c_void_p),
        ("filter", ctypes.c_void_p),
        ("input_bytes", ctypes.c_ulonglong),
        ("text_chars", ctypes.c_ulonglong),
        ("pages", ctypes.c_longlong),
        ("ocr_pages", ctypes.c_ulong),
        ("milliseconds", ctypes.c_ulonglong),
        ("text", ctypes.c_void_p),
        ("text_size", ctypes.c_size_t),
        ("reserved", ctypes.c_void_p * 8),
    ]


_library = None
_library_lock = threading.Lock()


def _load():
    global _library
    with _library_lock:
        if _library is None:
            path = library_path()
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                raise QuarnError(f"cannot load libquarn ({path}): {e}") from e
            lib.quarn_options_init.argtypes = [ctypes.POINTER(_Options)]
            lib.quarn_options_init.restype = None
            lib.quarn_convert_file.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_Options),
                                               ctypes.POINTER(_Result)]
            lib.quarn_convert_file.restype = ctypes.c_int
            lib.quarn_convert_to_memory.argtypes = [ctypes.c_char_p, ctypes.POINTER(_Options),
                                                    ctypes.POINTER(_Result)]
            lib.quarn_convert_to_memory.restype = ctypes.c_int
            lib.quarn_result_free.argtypes = [ctypes.POINTER(_Result)]
            lib.quarn_result_free.restype = None
            lib.quarn_version.argtypes = []
            lib.quarn_version.restype = ctypes.c_char_p
            _library = lib
        return _library


def version() -> str:
    """libquarn's version, as "1.2.3"."""
    return _load().quarn_version().decode()


def _options(lib, timeout, memory_limit, ocr, ocr_languages, converter) -> _Options:
    o = _Options()
    lib.quarn_options_init(ctypes.byref(o))
    if timeout is not None:
        o.timeout_seconds = int(timeout)
    if memory_limit is not None:
        o.memory_limit = int(memory_limit)
    o.ocr = 1 if ocr else 0
    if ocr_languages:
        o.ocr_languages = ocr_languages.encode()
    if converter:
        o.converter = os.fsencode(converter)
    return o


def _string(pointer) -> Optional[str]:
    return os.fsdecode(ctypes.string_at(pointer)) if pointer else None


def _call(function, path, out, timeout, memory_limit, ocr, ocr_languages, converter, want_text):
    lib = _load()
    options = _options(lib, timeout, memory_limit, ocr, ocr_languages, converter)
    raw = _Result()
    name = os.fsencode(path)
    args = [name, os.fsencode(out) if out is not None else None] if function == "file" else [name]
    call = lib.quarn_convert_file if function == "file" else lib.quarn_convert_to_memory
    # ctypes lets go of the interpreter's lock for the call: other threads run meanwhile.
    call(*args, ctypes.byref(options), ctypes.byref(raw))
    try:
        status = STATUSES[raw.outcome] if 0 <= raw.outcome < len(STATUSES) else "failed"
        reason = _string(raw.reason)
        result = Result(
            input=os.fsdecode(name),
            output=_string(raw.output),
            status=status,
            reason=reason if reason or status != "written" else None,
            input_bytes=raw.input_bytes,
            text_chars=raw.text_chars,
            pages=raw.pages if raw.pages >= 0 else None,
            ocr_pages=raw.ocr_pages,
            filter=_string(raw.filter),
            milliseconds=raw.milliseconds,
        )
        text = ctypes.string_at(raw.text, raw.text_size).decode("utf-8", "replace") if want_text and raw.text else None
        return result, text
    finally:
        lib.quarn_result_free(ctypes.byref(raw))


def convert(path, out=None, *, timeout: Optional[int] = None, memory_limit: Optional[int] = None,
            ocr: bool = True, ocr_languages: Optional[str] = None, converter=None) -> Result:
    """Converts one document into a text file: out, or beside it with the
    extension "txt" when out is None.  timeout (seconds) and memory_limit
    (bytes) default to the command line's (300 s; the smaller of 4 GiB and
    half the memory); 0 means none.  Safe to call from several threads."""
    return _call("file", path, out, timeout, memory_limit, ocr, ocr_languages, converter, False)[0]


def convert_to_text(path, *, timeout: Optional[int] = None, memory_limit: Optional[int] = None,
                    ocr: bool = True, ocr_languages: Optional[str] = None, converter=None):
    """Reads one document's text without writing a file: (Result, text),
    text None unless the status is "written"."""
    return _call("memory", path, None, timeout, memory_limit, ocr, ocr_languages, converter, True)


def _supports_jobs(program: str) -> bool:
    try:
        usage = subprocess.run([program, "--help"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return False
    return b"--jobs" in usage


def convert_many(paths: Iterable, jobs: int = 2, *, output_dir=None, update: bool = False,
                 timeout: Optional[int] = None, memory_limit: Optional[int] = None, ocr: bool = True,
                 ocr_languages: Optional[str] = None, program=None) -> Iterator[Result]:
    """Converts documents (and the documents of folders, walked) with the
    command line's batch mode, yielding each Result as its document ends, in
    the order they end.  jobs documents are converted at once (the batch's
    two workers when this quarn has no --jobs).  output_dir and update are
    the batch's --output-dir and --update.  Raises QuarnError when the
    program cannot be run, or stops with a reason that is no document's."""
    program = os.fsdecode(program) if program else program_path()
    args = [program, "--batch", "--files-from", "-", "-0", "--jsonl"]
    if jobs != 2 and _supports_jobs(program):
        args += ["--jobs", str(int(jobs))]
    if output_dir is not None:
        args += ["--output-dir", os.fsdecode(output_dir)]
    if update:
        args.append("--update")
    if timeout is not None:
        args += ["--timeout", str(int(timeout))]
    if memory_limit is not None:
        args += ["--memory-limit", str(int(memory_limit))]
    if not ocr:
        args.append("--no-ocr")
    elif ocr_languages:
        args += ["--ocr-lang", ocr_languages]
    listed = b"".join(os.fsencode(p) + b"\0" for p in paths)
    if not listed:
        return
    try:
        process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as e:
        raise QuarnError(f"cannot run {program}: {e}") from e
    # The list goes in from a thread of its own, so that a long list never
    # waits on results nobody reads yet; standard error is gathered for a
    # run that ends without its documents.
    errors = []

    def feed():
        try:
            process.stdin.write(listed)
        except OSError:
            pass
        finally:
            try:
                process.stdin.close()
            except OSError:
                pass

    def gather():
        errors.append(process.stderr.read())

    threads = [threading.Thread(target=feed, daemon=True), threading.Thread(target=gather, daemon=True)]
    for t in threads:
        t.start()
    seen = 0
    try:
        for line in process.stdout:
            if line.strip():
                seen += 1
                yield Result.from_json(line)
        status = process.wait()
    finally:
        if process.poll() is None:  # the caller stopped early: so does the run
            process.terminate()
            process.wait()
        for t in threads:
            t.join()
    # Exit status 0 (all written), 3 (some without text) and 1 with results
    # (some failed) are the run's ordinary ends; anything else is the run's own failure.
    if status not in (0, 1, 3) or (status == 1 and seen == 0):
        message = b"".join(errors).decode("utf-8", "replace").strip()
        raise QuarnError(f"{program} --batch ended with status {status}: {message}")
