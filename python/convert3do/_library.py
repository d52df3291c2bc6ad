"""The shared library under the package, loaded with ctypes, and its types.

The library is found, in this order: at the path CONVERT3DO_LIBRARY names; beside
the package, where `cmake --install` put both (the path is recorded in _paths.py
at install time); then wherever the system's loader finds libconvert3do.so.1.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys

VERSION_NUMBER = 10200  # the header's CONVERT3DO_VERSION_NUMBER this package is written for


class Result(ctypes.Structure):
    """convert3do_result."""

    _fields_ = [
        ("outcome", ctypes.c_int),
        ("output_length", ctypes.c_int64),
        ("chunk_bytes", ctypes.c_int64),
        ("input_end", ctypes.c_int64),
        ("damage_offset", ctypes.c_int64),
        ("damage_chunk", ctypes.c_int64),
        ("damage_payload_length", ctypes.c_int32),
        ("damage_area_end", ctypes.c_int64),
    ]


class Chunk(ctypes.Structure):
    """convert3do_chunk."""

    _fields_ = [
        ("offset", ctypes.c_int64),
        ("tag", ctypes.c_uint32),
        ("chunk_word", ctypes.c_int32),
        ("payload_length", ctypes.c_int32),
        ("size", ctypes.c_int64),
        ("entries", ctypes.c_int64),
        ("entries_to_change", ctypes.c_int64),
    ]


class Info(ctypes.Structure):
    """convert3do_info."""

    _fields_ = [
        ("size", ctypes.c_int64),
        ("is_3do", ctypes.c_int),
        ("header_complete", ctypes.c_int),
        ("header_word", ctypes.c_int32),
        ("length_field", ctypes.c_int32),
        ("chunk_count", ctypes.c_int64),
        ("chunk_bytes", ctypes.c_int64),
        ("walk_end", ctypes.c_int),
        ("overrun", ctypes.c_int64),
        ("end_offset", ctypes.c_int64),
        ("end_tag", ctypes.c_uint32),
        ("damage_offset", ctypes.c_int64),
        ("damage_chunk", ctypes.c_int64),
        ("damage_payload_length", ctypes.c_int32),
        ("damage_area_end", ctypes.c_int64),
        ("outcome", ctypes.c_int),
        ("output_size", ctypes.c_int64),
        ("words_changed", ctypes.c_int64),
        ("bytes_dropped", ctypes.c_int64),
        ("already_converted", ctypes.c_int),
    ]


CHUNK_FUNCTION = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(Chunk))


def _candidates() -> list[str]:
    named = os.environ.get("CONVERT3DO_LIBRARY")
    if named:
        return [named]
    found = []
    try:
        from . import _paths  # written by cmake --install

        here = os.path.dirname(os.path.abspath(__file__))
        found.append(os.path.normpath(os.path.join(here, _paths.LIBRARY)))
    except ImportError:
        pass
    system = ctypes.util.find_library("convert3do")
    found += [system] if system else []
    found.append("libconvert3do.so.1" if sys.platform != "darwin" else "libconvert3do.1.dylib")
    return found


def _load() -> ctypes.CDLL:
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path}: {error}")
    raise ImportError(
        "convert3do: cannot load libconvert3do (set CONVERT3DO_LIBRARY to its path): "
        + "; ".join(tried)
    )


def _declare(lib: ctypes.CDLL) -> None:
    size_t, int64, c_char_p, void_p = ctypes.c_size_t, ctypes.c_int64, ctypes.c_char_p, ctypes.c_void_p
    bytes_p = ctypes.POINTER(ctypes.c_ubyte)
    signatures = {
        "convert3do_version": (c_char_p, []),
        "convert3do_version_number": (ctypes.c_ulong, []),
        "convert3do_abi_matches": (ctypes.c_int, [ctypes.c_ulong, size_t, size_t, size_t]),
        "convert3do_describe": (c_char_p, [ctypes.c_int]),
        "convert3do_status_name": (c_char_p, [ctypes.c_int]),
        "convert3do_min_output": (size_t, []),
        "convert3do_exit_status": (ctypes.c_int, [ctypes.c_int]),
        "convert3do_convert_buffer": (
            ctypes.c_int,
            [bytes_p, size_t, bytes_p, size_t, ctypes.POINTER(Result)],
        ),
        "convert3do_converter_new": (void_p, []),
        "convert3do_converter_free": (None, [void_p]),
        "convert3do_convert": (
            ctypes.c_int,
            [
                void_p,
                ctypes.POINTER(bytes_p),
                ctypes.POINTER(size_t),
                ctypes.POINTER(bytes_p),
                ctypes.POINTER(size_t),
                ctypes.c_int,
            ],
        ),
        "convert3do_converter_end": (ctypes.c_int, [void_p, bytes_p, ctypes.POINTER(Result)]),
        "convert3do_survey_new": (void_p, [CHUNK_FUNCTION, void_p]),
        "convert3do_survey_free": (None, [void_p]),
        "convert3do_survey_feed": (ctypes.c_int, [void_p, bytes_p, size_t, ctypes.c_int]),
        "convert3do_survey_stop": (None, [void_p]),
        "convert3do_survey_end": (ctypes.c_int, [void_p, int64, ctypes.POINTER(Info)]),
        "convert3do_result_damage_text": (size_t, [ctypes.POINTER(Result), c_char_p, size_t]),
        "convert3do_info_json": (
            size_t,
            [ctypes.POINTER(Info), ctypes.POINTER(Chunk), size_t, c_char_p, size_t],
        ),
        "convert3do_chunk_json": (size_t, [ctypes.POINTER(Chunk), c_char_p, size_t]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


lib = _load()
_declare(lib)
if not lib.convert3do_abi_matches(
    VERSION_NUMBER, ctypes.sizeof(Result), ctypes.sizeof(Info), ctypes.sizeof(Chunk)
):
    raise ImportError(
        "convert3do: the library loaded (%s) does not match this package (%d)"
        % (lib.convert3do_version().decode(), VERSION_NUMBER)
    )


def _status_names() -> tuple[str, ...]:
    names = []
    while (name := lib.convert3do_status_name(len(names))) is not None:
        names.append(name.decode("ascii"))
    return tuple(names)


# The library's statuses, named and numbered by the library: STATUS_NAMES[n]
# is status n's name, and the package's name for that outcome.
STATUS_NAMES = _status_names()
CONVERTED, NOT_3DO, CUT_HEADER, CUT_CHUNK, CHUNK_TOO_LARGE, READ_FAILED = (
    STATUS_NAMES.index(name)
    for name in ("converted", "not_3do", "cut_header", "cut_chunk", "chunk_too_large", "read_failed")
)
MORE, ENDED, BAD_ARGUMENT, TOO_LITTLE_ROOM, OUT_OF_TURN, STOPPED = (
    STATUS_NAMES.index(name)
    for name in ("more", "ended", "bad_argument", "too_little_room", "out_of_turn", "stopped")
)


def text(function, *arguments) -> str:
    """The text a library function writes into a buffer, as snprintf does."""
    size = 1024
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = function(*arguments, buffer, size)
        if length < size:
            return buffer.value.decode("utf-8")
        size = length + 1
