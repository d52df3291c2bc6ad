"""python3 -m convert3do: the package's own front end.

    python3 -m convert3do info --json FILE...   what `3do info --json FILE...` prints
    python3 -m convert3do convert [--salvage] IN OUT
"""

from __future__ import annotations

import json
import os
import sys

from . import Survey, convert_file


def _json_string(text: str) -> str:
    """A JSON string as 3do writes one: UTF-8 kept, each byte of no valid UTF-8
    (a surrogate escape here) as \\udcXX."""
    quoted = json.dumps(text, ensure_ascii=False)
    return "".join("\\u%04x" % ord(c) if 0xDC80 <= ord(c) <= 0xDCFF else c for c in quoted)


def _info(names: list[str]) -> int:
    status = 0
    for name in names:
        try:
            with open(name, "rb") as source:
                size = os.fstat(source.fileno()).st_size
                survey = Survey()
                while survey.wanted:
                    piece = source.read(1 << 20)
                    survey.push(piece, at_end=not piece)
                    if not piece:
                        break
                document = survey.end(size if os.path.isfile(name) else None)
        except OSError as error:
            print("python3 -m convert3do: %s: cannot open: %s" % (name, error.strerror),
                  file=sys.stderr)
            status = max(status, 1)
            continue
        members = json.dumps(document, ensure_ascii=False, separators=(",", ":"))[1:]
        sys.stdout.write('{"file":%s,%s\n' % (_json_string(name), members))
        status = max(status, document["exit_status"])
    return status


def main(argv: list[str]) -> int:
    usage = "usage: python3 -m convert3do info --json FILE... | convert [--salvage] IN OUT"
    if len(argv) >= 3 and argv[0] == "info" and argv[1] == "--json":
        return _info(argv[2:])
    if argv[:1] == ["convert"]:
        salvage = "--salvage" in argv[1:]
        names = [a for a in argv[1:] if a != "--salvage"]
        if len(names) == 2:
            conversion = convert_file(names[0], names[1], salvage=salvage)
            if conversion.damage:
                print("python3 -m convert3do: %s: damaged: %s" % (names[0], conversion.damage),
                      file=sys.stderr)
            return conversion.exit_status
    print(usage, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main([os.fsdecode(a) for a in sys.argv[1:]]))
