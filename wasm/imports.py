#!/usr/bin/env python3
"""Lists the imports and exports of a WebAssembly module; exits 1 when it
imports anything (a core that runs with no host needs none).

usage: wasm/imports.py MODULE.wasm
"""
import sys


def leb(data, pos):
    result = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return result, pos


def name(data, pos):
    length, pos = leb(data, pos)
    return data[pos:pos + length].decode(), pos + length


def sections(data):
    if data[:4] != b'\0asm':
        sys.exit('%s: not a WebAssembly module' % sys.argv[1])
    pos = 8
    while pos < len(data):
        kind = data[pos]
        size, pos = leb(data, pos + 1)
        yield kind, pos
        pos += size


def main():
    data = open(sys.argv[1], 'rb').read()
    imports, exports = [], []
    for kind, pos in sections(data):
        if kind == 2:  # imports: any at all is a failure, so their names suffice
            count, pos = leb(data, pos)
            for _ in range(count):
                module, pos = name(data, pos)
                field, pos = name(data, pos)
                imports.append(module + '.' + field)
                break  # the descriptions that follow vary in shape
            imports += ['...'] * (count - 1)
        elif kind == 7:  # exports
            count, pos = leb(data, pos)
            for _ in range(count):
                field, pos = name(data, pos)
                _, pos = leb(data, pos + 1)
                exports.append(field)
    print('exports: ' + ' '.join(exports))
    if imports:
        print('imports: ' + ' '.join(imports))
        return 1
    print('imports: none')
    return 0


if __name__ == '__main__':
    sys.exit(main())
