"""Convert and survey chunked 3do model files, with the library the convert3do
programs are built on, compiled into the package (convert3do._core).

    import convert3do

    data = open("cube.3do", "rb").read()
    print(convert3do.info(data, chunks=False)["bytes_dropped"])  # as `3do info --json`
    result = convert3do.convert(data, strict=True)   # what convert3do writes
    open("cube-converted.3do", "wb").write(result.output)

    convert3do.convert_file("big.3do", "big-converted.3do")   # in pieces, any size

Every word and figure comes from the library, so they are those of the
programs: info() gives the object of `3do info --json` (minus "file"), and a
conversion's damage is said as convert3do says it. Any bytes-like object is
read without a copy, and the GIL is let go while a whole buffer is walked, so
threads convert in parallel. A Converter or a Survey takes one call at a
time (a second thread waits); each is a context manager.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import tempfile
from typing import IO, Any, Callable, List, Optional, Tuple, Union

from . import _core

if _core.VERSION_NUMBER // 10000 != 1 or _core.VERSION_NUMBER < 10200:
    raise ImportError("convert3do: the compiled core is %s, not 1.2 or a later 1.x" % _core.VERSION)

from ._types import ChunkInfo, Info  # noqa: E402

__all__ = [
    "ChunkInfo",
    "Conversion",
    "Converter",
    "DamagedError",
    "Error",
    "Info",
    "NotA3doError",
    "Survey",
    "UsageError",
    "convert",
    "convert_file",
    "info",
    "__version__",
    "version_info",
]

__version__: str = _core.VERSION
version_info: Tuple[int, int, int] = (
    _core.VERSION_NUMBER // 10000,
    _core.VERSION_NUMBER // 100 % 100,
    _core.VERSION_NUMBER % 100,
)

# The library's statuses, named and numbered by the library: STATUS_NAMES[n]
# is status n's name, and the package's name for that outcome.
STATUS_NAMES: Tuple[str, ...] = _core.status_names()
_NOT_3DO = STATUS_NAMES.index("not_3do")
_PIECE = 1 << 20

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(Exception):
    """What the package raises of its own: status is the library's status
    number, status_name its name. Picklable, as every subclass is, so that it
    crosses a process pool."""

    status: int
    status_name: str

    def __init__(self, status: int, message: str = "") -> None:
        super().__init__(status, message or _core.describe(status))
        self.status = status
        self.status_name = STATUS_NAMES[status] if 0 <= status < len(STATUS_NAMES) else "unknown"

    def __str__(self) -> str:
        return str(self.args[1])


class UsageError(Error, ValueError):
    """A call the library refused: an argument out of range, a call out of
    turn. A ValueError too."""


class NotA3doError(Error):
    """strict=True: the input is not a 3do file (it does not start with the magic)."""

    def __init__(self, status: int = _NOT_3DO, message: str = "") -> None:
        super().__init__(status, message)


class DamagedError(Error):
    """strict=True: the input is damaged. reason is the damage in convert3do's
    words, offset where it is (where the input ends, or where the chunk too
    large starts)."""

    reason: str
    offset: int

    def __init__(self, status: int, reason: str, offset: int = 0) -> None:
        super().__init__(status, reason)
        self.args = (status, reason, offset)
        self.reason = reason
        self.offset = offset


_core._set_usage_error(UsageError)


class Conversion:
    """What a conversion came to.

    output: the converted file: exactly what convert3do writes, but empty for
        damaged input unless salvage was asked for. With out=, a memoryview of
        the part of out written (its first output_length bytes).
    outcome: "converted", "not_3do", "cut_header", "cut_chunk",
        "chunk_too_large" or "read_failed".
    exit_status: what convert3do exits with for this input (0, or 4 for damage).
    damage: the damage in convert3do's words, or None; damage_offset,
        damage_chunk: where it is (0 when there is none).
    output_length, chunk_bytes, input_end: as in the C library's result.
    header: for a Converter's, the file header to put at offset 0 (b"" when
        there is no output).
    """

    output: Union[bytes, memoryview]
    outcome: str
    exit_status: int
    damage: Optional[str]
    damage_offset: int
    damage_chunk: int
    damage_payload_length: int
    damage_area_end: int
    output_length: int
    chunk_bytes: int
    input_end: int
    header: bytes

    def __init__(self, result: Tuple[Any, ...], output: Union[bytes, memoryview] = b"") -> None:
        self.output = output
        self.outcome = STATUS_NAMES[result[0]]
        (self.output_length, self.chunk_bytes, self.input_end, self.damage_offset,
         self.damage_chunk, self.damage_payload_length, self.damage_area_end) = result[1:8]
        self.damage = result[8]
        self.exit_status = result[9]
        self.header = b""

    @property
    def damaged(self) -> bool:
        """Whether the input is damaged (cut short, a chunk too large, unreadable)."""
        return self.damage is not None

    def raise_for_outcome(self) -> None:
        """NotA3doError or DamagedError where the conversion was not whole."""
        if self.outcome == "not_3do":
            raise NotA3doError()
        if self.damage is not None:
            raise DamagedError(STATUS_NAMES.index(self.outcome), self.damage, self.damage_offset)

    def __repr__(self) -> str:
        return "Conversion(outcome=%r, output_length=%d, exit_status=%d, damage=%r)" % (
            self.outcome,
            self.output_length,
            self.exit_status,
            self.damage,
        )


def convert(data: Any, salvage: bool = False, strict: bool = False,
            out: Any = None) -> Conversion:
    """Converts a whole 3do file held in memory (any bytes-like object).

    The output is what convert3do writes: every XYZS entry's first word becomes
    1, the copy ends at the first unrecognised chunk or where the length field
    bounds the chunk area, and the length field states the chunk bytes kept.
    Damaged input gives its complete chunks only with salvage=True (as
    convert3do writes them; 3do convert asks for --salvage); a file that is not
    a 3do file gives no output. strict=True raises NotA3doError or
    DamagedError instead. out, a writable buffer at least as long as data
    (data itself converts in place), takes the output instead of a new bytes
    object: conversion.output_length says how much of it.
    """
    output, result = _core.convert(data, out)
    conversion = Conversion(result)
    if strict:
        conversion.raise_for_outcome()
    whole = not conversion.damaged or salvage
    if out is None:
        conversion.output = output if whole and output is not None else b""
    else:
        conversion.output = memoryview(out).cast("B")[: conversion.output_length if whole else 0]
    return conversion


def info(data: Any, chunks: bool = True) -> Info:
    """What `3do info --json` says of a whole file in memory (any bytes-like
    object), minus "file". chunks=False leaves the list of chunks out: the
    summary alone, in constant memory however many chunks there are."""
    return _document(_core.info(data, chunks))


def _document(made: Union[bytes, Tuple[List[ChunkInfo], bytes]]) -> Info:
    """The object of `3do info --json` from what the core gives: its JSON
    (the summary), or the chunks' dicts and the JSON of the rest."""
    if isinstance(made, bytes):
        summary: Info = json.loads(made)
        return summary
    chunks, members = made
    document: Info = json.loads(b'{"chunks":[],' + members[1:])
    document["chunks"] = chunks
    return document


class Survey(_core.Survey):
    """A survey of a file given in pieces: what `3do info --json` says of it.

        with convert3do.Survey() as survey, open(name, "rb") as f:
            while survey.wanted and (piece := f.read(1 << 20)):
                survey.push(piece)
            print(survey.end(os.path.getsize(name)))

    on_chunk, when given, is called with each chunk's dict as it is met,
    instead of keeping them all; it may raise, and the exception reaches the
    caller of push or end, the survey stopped there. chunks=False keeps no
    chunks: end() gives the summary alone.
    """

    def __init__(self, on_chunk: Optional[Callable[[ChunkInfo], Any]] = None,
                 chunks: bool = True) -> None:
        handed = None if on_chunk is None else (lambda raw: on_chunk(json.loads(raw)))
        super().__init__(handed, chunks)

    def end(self, size: Optional[int] = None) -> Info:
        """The object of `3do info --json`, minus "file". size is the input's
        size; without it, the bytes pushed, when the input was read to its end
        (else say size=-1: not known)."""
        return _document(self._end(size))

    def __enter__(self) -> "Survey":
        return self

    @classmethod
    def of_stream(cls, source: IO[bytes], piece: int = _PIECE) -> Info:
        """Surveys a binary file object read to its end."""
        _check_piece(piece)
        with cls() as survey:
            while survey.wanted:
                data = source.read(piece)
                survey.push(data, at_end=not data)
                if not data:
                    break
            return survey.end()


def _check_piece(piece: int) -> None:
    if not isinstance(piece, int) or piece < 1:
        raise ValueError("piece must be a positive int, not %r" % (piece,))


def _seekable(target: IO[bytes]) -> bool:
    try:
        return bool(target.seekable())
    except (AttributeError, ValueError, OSError):
        return False


class Converter(_core.Converter):
    """A conversion of a file given in pieces, into output of any length.

    push(piece) returns the output it makes, to be written one piece after
    another from offset 0; end() returns the Conversion, whose header (12
    bytes) is then written at offset 0: the file's first word is not the magic
    until the output is complete. push after end(), or after a push with
    at_end=True, raises EOFError; any call after close() ValueError.
    """

    def end(self) -> Tuple[bytes, Conversion]:
        """The output's last bytes, and the Conversion with its header."""
        tail, header, result = self._end()
        conversion = Conversion(result)
        conversion.header = header
        return tail, conversion

    def __enter__(self) -> "Converter":
        return self

    @classmethod
    def of_stream(cls, source: IO[bytes], target: IO[bytes], piece: int = _PIECE) -> Conversion:
        """Converts a binary file object into another, from their current
        places. Into a seekable target the header is written last and the
        target cut to the output's length (a damaged input leaves its complete
        chunks). Into a pipe or a socket, the source is converted twice, the
        first time for the header, so it must be seekable; else ValueError, as
        for a target opened for appending (the header could not be put in
        place)."""
        _check_piece(piece)
        if "a" in str(getattr(target, "mode", "")):
            raise ValueError("convert3do: the target is opened for appending; the header "
                             "could not be written at the output's start")
        if not _seekable(target):
            return cls._into_stream(source, target, piece)
        start = target.tell()
        conversion = cls._of_pieces(source, piece, target.write)
        target.truncate(start + conversion.output_length)
        if conversion.output_length > 0:
            target.seek(start)
            target.write(conversion.header)
            target.seek(start + conversion.output_length)
        return conversion

    @classmethod
    def _into_stream(cls, source: IO[bytes], target: IO[bytes], piece: int) -> Conversion:
        if not _seekable(source):
            raise ValueError("convert3do: the target is not seekable (a pipe or a socket) and "
                             "neither is the source, so the header cannot be known first")
        start = source.tell()
        first = cls._of_pieces(source, piece, lambda made: None)
        source.seek(start)
        return cls._of_pieces(source, piece, _placed(target, first.header, first.output_length))

    @classmethod
    def _of_pieces(cls, source: IO[bytes], piece: int,
                   write: Callable[[bytes], Any]) -> Conversion:
        """Converts source read in pieces, handing write the output in order
        (the header's placeholder first)."""
        with cls() as converter:
            while converter.wanted:
                data = source.read(piece)
                write(converter.push(data, at_end=not data))
                if not data:
                    break
            tail, conversion = converter.end()
        write(tail)
        return conversion


def _placed(target: IO[bytes], header: bytes, length: int) -> Callable[[bytes], None]:
    """A writer of the output, in order, into target: the header over its
    placeholder, and nothing past the output's length."""
    written = 0

    def write(made: bytes) -> None:
        nonlocal written
        piece = made[: max(0, length - written)]
        if written < len(header):
            head = header[written:written + len(piece)]
            piece = head + piece[len(head):]
        target.write(piece)
        written += len(made)

    return write


def _umask() -> int:
    """The process's umask, read without changing it where Linux says it."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def convert_file(source: PathLike, target: PathLike, salvage: bool = False,
                 strict: bool = False) -> Conversion:
    """Converts the file source into target, in pieces (any size), through a
    temporary file beside target that takes its name only when complete, with
    the mode of source under the umask, as the programs give a new output. As
    3do convert does, nothing is written for a file that is not a 3do file,
    nor for a damaged one without salvage=True; the Conversion says which (or
    strict=True raises). A target that is a pipe, a socket or a device is
    written in order, the source read twice. Paths may be str, bytes or
    os.PathLike."""
    source_path, target_path = os.fsdecode(source), os.fsdecode(target)
    with open(source_path, "rb") as src:
        mode = os.fstat(src.fileno()).st_mode
        try:
            kind = os.stat(target_path).st_mode
        except FileNotFoundError:
            kind = stat.S_IFREG
        if not stat.S_ISREG(kind) and not stat.S_ISDIR(kind):
            with open(target_path, "wb", buffering=0) as out:
                conversion = Converter.of_stream(src, out)
        else:
            conversion = _into_new_file(src, target_path, stat.S_IMODE(mode) & 0o777 & ~_umask(),
                                        salvage)
    if strict:
        conversion.raise_for_outcome()
    return conversion


def _into_new_file(src: IO[bytes], target: str, mode: int, salvage: bool) -> Conversion:
    folder = os.path.dirname(os.path.abspath(target))
    name = os.path.basename(target)
    try:
        handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder)
    except OSError as error:
        raise type(error)(error.errno, error.strerror, target) from None
    keep = False
    try:
        with os.fdopen(handle, "w+b") as out:
            conversion = Converter.of_stream(src, out)
            os.fchmod(out.fileno(), mode)
            out.flush()
            os.fsync(out.fileno())
        if conversion.outcome == "converted" or (conversion.damaged and salvage):
            if os.path.isdir(target):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
            os.replace(temporary, target)
            keep = True
        return conversion
    finally:
        if not keep:
            os.unlink(temporary)
