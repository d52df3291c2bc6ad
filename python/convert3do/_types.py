"""The types of what info() and a Survey give: the object `3do info --json`
prints for a file (minus "file"), and each of its chunks. The keys are the
library's (convert3do_info_json); a test checks that they are these."""

from __future__ import annotations

import sys
from typing import List, Optional

if sys.version_info >= (3, 8):
    from typing import TypedDict
else:  # pragma: no cover
    from typing_extensions import TypedDict


class _ChunkRequired(TypedDict):
    offset: int
    tag: str
    chunk_word: int
    payload_length: int
    size: int


class ChunkInfo(_ChunkRequired, total=False):
    """A chunk; entries and entries_to_change for XYZS chunks only."""

    entries: int
    entries_to_change: int


# "3do_convert" is no identifier: the functional form.
_InfoBase = TypedDict(
    "_InfoBase",
    {
        "size": Optional[int],
        "is_3do": bool,
        "header_word": Optional[int],
        "length_field": Optional[int],
        "walk_end": str,
        "walk_end_text": str,
        "end_offset": Optional[int],
        "end_tag": Optional[str],
        "overrun": Optional[int],
        "damage_offset": Optional[int],
        "damage_chunk_offset": Optional[int],
        "damage": Optional[str],
        "output_size": int,
        "output_length_field": Optional[int],
        "words_changed": int,
        "bytes_dropped": Optional[int],
        "already_converted": bool,
        "convert3do": str,
        "3do_convert": str,
        "exit_status": int,
    },
)


class Info(_InfoBase, total=False):
    """What info() and Survey.end() give; "chunks" unless they were left out."""

    chunks: List[ChunkInfo]
