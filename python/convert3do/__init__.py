"""Convert and survey chunked 3do model files, with the library the convert3do
programs are built on (libconvert3do, through ctypes; nothing to compile).

    import convert3do

    data = open("cube.3do", "rb").read()
    print(convert3do.info(data)["bytes_dropped"])     # what `3do info --json` says
    result = convert3do.convert(data)                  # what convert3do writes
    if result.outcome == "converted":
        open("cube-converted.3do", "wb").write(result.output)

    convert3do.convert_file("big.3do", "big-converted.3do")   # in pieces, any size

Every word and figure comes from the library, so they are those of the
programs: info() gives the object of `3do info --json` (minus "file"), and a
conversion's damage is said as convert3do says it.
"""

from __future__ import annotations

import ctypes
import json
import os
import tempfile
from typing import BinaryIO, Callable, Optional

from . import _library
from ._library import lib

__all__ = [
    "Conversion",
    "Converter",
    "Error",
    "Survey",
    "convert",
    "convert_file",
    "info",
    "__version__",
]

__version__: str = lib.convert3do_version().decode("ascii")

_PIECE = 1 << 20


class Error(Exception):
    """A call the library refused: status is its number, status_name its name."""

    def __init__(self, status: int):
        self.status = status
        self.status_name = (
            _library.STATUS_NAMES[status] if 0 <= status < len(_library.STATUS_NAMES) else "unknown"
        )
        super().__init__(lib.convert3do_describe(status).decode("utf-8"))


class Conversion:
    """What a conversion came to.

    output: the converted file (bytes): exactly what convert3do writes, but empty
        for damaged input unless salvage was asked for.
    outcome: "converted", "not_3do", "cut_header", "cut_chunk",
        "chunk_too_large" or "read_failed".
    exit_status: what convert3do exits with for this input (0, or 4 for damage).
    damage: the damage in convert3do's words, or None; damage_offset,
        damage_chunk: where it is (0 when there is none).
    output_length, chunk_bytes, input_end: as in the C library's result.
    """

    output: bytes
    outcome: str
    exit_status: int
    damage: Optional[str]

    def __init__(self, result: _library.Result, output: bytes):
        self.output = output
        self.outcome = _library.STATUS_NAMES[result.outcome]
        self.exit_status = lib.convert3do_exit_status(result.outcome)
        damage = _library.text(lib.convert3do_result_damage_text, ctypes.byref(result))
        self.damage = damage or None
        self.damage_offset: int = result.damage_offset
        self.damage_chunk: int = result.damage_chunk
        self.output_length: int = result.output_length
        self.chunk_bytes: int = result.chunk_bytes
        self.input_end: int = result.input_end

    @property
    def damaged(self) -> bool:
        """Whether the input is damaged (cut short, a chunk too large, unreadable)."""
        return self.damage is not None

    def __repr__(self) -> str:
        return "Conversion(outcome=%r, output_length=%d, exit_status=%d, damage=%r)" % (
            self.outcome,
            self.output_length,
            self.exit_status,
            self.damage,
        )


def _bytes(data, name: str = "data") -> bytes:
    """The bytes of a bytes-like object; TypeError for anything else."""
    if isinstance(data, (str, int, float)) or data is None:
        raise TypeError("%s must be bytes-like, not %s" % (name, type(data).__name__))
    try:
        return bytes(memoryview(data).cast("B"))
    except TypeError:
        raise TypeError("%s must be bytes-like, not %s" % (name, type(data).__name__)) from None


def _pointer(buffer) -> ctypes.POINTER(ctypes.c_ubyte):
    return ctypes.cast(buffer, ctypes.POINTER(ctypes.c_ubyte))


def _check(status: int, *allowed: int) -> int:
    if status not in allowed:
        raise Error(status)
    return status


def convert(data, salvage: bool = False) -> Conversion:
    """Converts a whole 3do file held in memory (any bytes-like object).

    The output is what convert3do writes: every XYZS entry's first word becomes
    1, the copy ends at the first unrecognised chunk or where the length field
    bounds the chunk area, and the length field states the chunk bytes kept.
    Damaged input gives its complete chunks only with salvage=True (as
    convert3do writes them; 3do convert asks for --salvage); a file that is not
    a 3do file gives no output.
    """
    source = _bytes(data)
    buffer = ctypes.create_string_buffer(source, len(source))
    result = _library.Result()
    status = lib.convert3do_convert_buffer(
        _pointer(buffer), len(source), _pointer(buffer), len(source), ctypes.byref(result)
    )
    _check(status, *range(_library.READ_FAILED + 1))
    conversion = Conversion(result, b"")
    if not conversion.damaged or salvage:
        conversion.output = buffer.raw[: result.output_length]
    return conversion


def info(data) -> dict:
    """What `3do info --json` says of a whole file in memory (any bytes-like
    object), minus "file"."""
    piece = _bytes(data)
    survey = Survey()
    survey.push(piece, at_end=True)
    return survey.end(len(piece))


class Survey:
    """A survey of a file given in pieces: what `3do info --json` says of it.

        survey = convert3do.Survey()
        with open(name, "rb") as f:
            while survey.wanted and (piece := f.read(1 << 20)):
                survey.push(piece)
        print(survey.end(os.path.getsize(name)))

    on_chunk, when given, is called with each chunk's dict as it is met,
    instead of keeping them all; it may raise, and the exception reaches the
    caller of push or end, the survey stopped there.
    """

    def __init__(self, on_chunk: Optional[Callable[[dict], None]] = None):
        self._chunks: list = []
        self._on_chunk = on_chunk
        self._raised: Optional[BaseException] = None
        self._function = _library.CHUNK_FUNCTION(self._visit)
        self._survey = lib.convert3do_survey_new(self._function, None)
        if not self._survey:
            raise MemoryError("convert3do: no memory for a survey")
        self._status = _library.MORE
        self._read = 0

    def _visit(self, _context, chunk) -> None:
        if self._on_chunk is None:
            self._chunks.append(_library.Chunk.from_buffer_copy(chunk.contents))
            return
        try:
            self._on_chunk(json.loads(_library.text(lib.convert3do_chunk_json, chunk)))
        except BaseException as error:  # reaches the caller, after the library returns
            self._raised = error
            lib.convert3do_survey_stop(self._survey)

    @property
    def wanted(self) -> bool:
        """Whether the walk wants more input."""
        return self._status == _library.MORE

    def push(self, data, at_end: bool = False) -> bool:
        """Takes the next piece of the input; returns whether more is wanted."""
        piece = _bytes(data)
        self._read += len(piece)
        if self._status != _library.MORE:
            return False
        buffer = ctypes.create_string_buffer(piece, len(piece))
        self._status = _check(
            lib.convert3do_survey_feed(self._survey, _pointer(buffer), len(piece), int(at_end)),
            _library.MORE,
            _library.ENDED,
            _library.STOPPED,
        )
        self._reraise()
        return self.wanted

    def _reraise(self) -> None:
        if self._raised is not None:
            raised, self._raised = self._raised, None
            raise raised

    def end(self, size: Optional[int] = None) -> dict:
        """The object of `3do info --json`, minus "file". size is the input's
        size; without it, the bytes pushed, when the input was read to its end
        (else say size=-1: not known)."""
        if self._status == _library.MORE:
            self.push(b"", at_end=True)
        info = _library.Info()
        known = self._read if size is None else size
        status = lib.convert3do_survey_end(self._survey, known, ctypes.byref(info))
        _check(status, *range(_library.READ_FAILED + 1), _library.STOPPED)
        chunks = (_library.Chunk * len(self._chunks))(*self._chunks)
        document = json.loads(
            _library.text(
                lib.convert3do_info_json, ctypes.byref(info), chunks, len(self._chunks)
            )
        )
        if self._on_chunk is not None:
            del document["chunks"]  # handed out as they came
        return document

    def close(self) -> None:
        if self._survey:
            lib.convert3do_survey_free(self._survey)
            self._survey = None

    def __del__(self) -> None:
        self.close()

    @classmethod
    def of_stream(cls, source: BinaryIO, piece: int = _PIECE) -> dict:
        """Surveys a binary file object read to its end."""
        survey = cls()
        while True:
            data = source.read(piece)
            if not data:
                break
            survey.push(data)
        return survey.end()


class Converter:
    """A conversion of a file given in pieces, into output of any length.

    push(piece) returns the output it makes, to be written one piece after
    another from offset 0; end() returns the Conversion, whose header (12
    bytes) is then written at offset 0: the file's first word is not the magic
    until the output is complete.
    """

    def __init__(self):
        self._converter = lib.convert3do_converter_new()
        if not self._converter:
            raise MemoryError("convert3do: no memory for a converter")
        self._status = _library.MORE
        self._room = ctypes.create_string_buffer(_PIECE + 64)

    @property
    def wanted(self) -> bool:
        """Whether the walk wants more input."""
        return self._status == _library.MORE

    def push(self, data, at_end: bool = False) -> bytes:
        """Takes the next piece of the input; returns the output made of it."""
        piece = _bytes(data)
        if self._status != _library.MORE:
            return b""
        buffer = ctypes.create_string_buffer(piece, len(piece))
        given = _pointer(buffer)
        left = ctypes.c_size_t(len(piece))
        made = []
        while True:
            out = _pointer(self._room)
            room = ctypes.c_size_t(len(self._room))
            self._status = _check(
                lib.convert3do_convert(
                    self._converter,
                    ctypes.byref(given),
                    ctypes.byref(left),
                    ctypes.byref(out),
                    ctypes.byref(room),
                    int(at_end),
                ),
                _library.MORE,
                _library.ENDED,
            )
            made.append(self._room.raw[: len(self._room) - room.value])
            if self._status != _library.MORE or (left.value == 0 and not at_end):
                return b"".join(made)

    def end(self) -> tuple[bytes, Conversion]:
        """The output's last bytes, and the Conversion with its header."""
        tail = self.push(b"", at_end=True) if self._status == _library.MORE else b""
        header = (ctypes.c_ubyte * 12)()
        result = _library.Result()
        _check(
            lib.convert3do_converter_end(self._converter, header, ctypes.byref(result)),
            *range(_library.READ_FAILED + 1),
        )
        conversion = Conversion(result, b"")
        conversion.header = bytes(header) if result.output_length > 0 else b""
        return tail, conversion

    def close(self) -> None:
        if self._converter:
            lib.convert3do_converter_free(self._converter)
            self._converter = None

    def __del__(self) -> None:
        self.close()

    @classmethod
    def of_stream(cls, source: BinaryIO, target: BinaryIO, piece: int = _PIECE) -> Conversion:
        """Converts a binary file object into a seekable one, from its current
        place: the header is written last, and the target cut to the output's
        length (a damaged input leaves its complete chunks)."""
        converter = cls()
        start = target.tell()
        while converter.wanted:
            data = source.read(piece)
            target.write(converter.push(data, at_end=not data))
            if not data:
                break
        tail, conversion = converter.end()
        target.write(tail)
        target.truncate(start + conversion.output_length)
        if conversion.output_length > 0:
            target.seek(start)
            target.write(conversion.header)
            target.seek(start + conversion.output_length)
        return conversion


def convert_file(source: str, target: str, salvage: bool = False) -> Conversion:
    """Converts the file source into target, in pieces (any size), through a
    temporary file beside target that takes its name only when complete. As
    3do convert does, nothing is written for a file that is not a 3do file,
    nor for a damaged one without salvage=True; the Conversion says which."""
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", suffix=".tmp",
                                         dir=folder)
    try:
        with open(source, "rb") as src, os.fdopen(handle, "w+b") as out:
            conversion = Converter.of_stream(src, out)
            out.flush()
            os.fsync(out.fileno())
        if conversion.outcome == "converted" or (conversion.damaged and salvage):
            os.replace(temporary, target)
            temporary = None
        return conversion
    finally:
        if temporary is not None:
            os.unlink(temporary)
