"""A user's script, typed: mypy --strict checks it against the package's
annotations (CI's python stage), and the unit tests run it."""

from __future__ import annotations

import io
import sys

import convert3do


def dropped(data: bytes) -> int:
    summary: convert3do.Info = convert3do.info(data, chunks=False)
    size = summary["bytes_dropped"]
    return size if size is not None else -1


def tags(data: bytes) -> list[str]:
    return [chunk["tag"] for chunk in convert3do.info(data).get("chunks", [])]


def converted(data: bytes) -> bytes:
    try:
        return bytes(convert3do.convert(data, strict=True).output)
    except convert3do.DamagedError as error:
        print("damaged at byte %d: %s" % (error.offset, error.reason), file=sys.stderr)
    except convert3do.NotA3doError:
        print("not a 3do file", file=sys.stderr)
    return b""


def streamed(data: bytes) -> bytes:
    target = io.BytesIO()
    conversion: convert3do.Conversion = convert3do.Converter.of_stream(io.BytesIO(data), target)
    with convert3do.Converter() as converter:
        made = converter.push(data, at_end=True)
        tail, again = converter.end()
    assert made + tail != b"" or again.output_length == 0
    return target.getvalue() if conversion.outcome == "converted" else b""


def main(argv: list[str]) -> int:
    with open(argv[1], "rb") as f:
        data = f.read()
    print(dropped(data), tags(data), len(converted(data)), len(streamed(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
