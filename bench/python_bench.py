"""The Python package's speed and memory, each row against a floor measured
in the same run (medians of interleaved rounds, with their spreads):

  convert(data)            against bytes(data), a copy of the same input
  convert(data, out=buf)   against buf[:n] = data, a slice assignment
  peak memory of convert() against input + output (a process of its own)
  8 threads, 8 models      against one thread converting them one by one
  Converter.push, 16 B     against zlib.compressobj(0).compress, same pieces
  Converter.push, 64 KiB   against one convert() of the whole
  info(chunks=False)       on a model of 2 million chunks, against 3do info --json
  info(chunks=True)        the same

Never fails on a timing: it prints the figures.

usage: python3 bench/python_bench.py [--mib N] [--chunks N] [--rounds N] [--3do PATH]
(PYTHONPATH naming the built package: BUILD/python)
"""

import argparse
import ctypes
import resource
import statistics
import subprocess
import sys
import threading
import time
import zlib

import convert3do

MAGIC, XYZS, PLAN, HAND = b"4OD3", b"SZYX", b"NALP", b"DNAH"


def word(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def chunk(tag, payload):
    return tag + word(0) + word(len(payload)) + payload


def mixed_model(mib, seed=1):
    """A model of about mib MiB: XYZS chunks of 4,096 entries (first words
    not 1) between PLAN chunks, its length field bounding them all."""
    entries = b"".join(word(seed + i) + word(i) * 3 for i in range(4096))
    body = chunk(XYZS, entries) + chunk(PLAN, bytes(4096))
    count = max(1, (mib << 20) // len(body))
    area = body * count
    return MAGIC + word(7) + word(len(area)) + area


def tiny_chunks_model(count):
    """A model of count HAND chunks of no payload, then an unrecognised one."""
    area = chunk(HAND, b"") * count
    return MAGIC + word(7) + word(len(area)) + area + b"JUNK" + bytes(8)


def timed(function):
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


def rounds(n, measured, floor):
    """Interleaved rounds; (median seconds, spread) of each."""
    ours, floors = [], []
    for _ in range(n):
        floors.append(timed(floor))
        ours.append(timed(measured))
    return ours, floors


def row(name, ours, floors, floor_name, goal):
    ratio = statistics.median(ours) / statistics.median(floors)
    spread = lambda values: "%.4f-%.4f s" % (min(values), max(values))
    print("%-34s %s, %s %s: %.2fx (goal %s)" % (name, spread(ours), floor_name, spread(floors),
                                                ratio, goal))


def peak_row(mib):
    # The input read into a buffer made once; the peak against what the
    # process held before it (VmHWM: ru_maxrss outlives exec, so a child
    # would start with its parent's).
    code = ("import os, convert3do, sys\n"
            "def peak():\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith('VmHWM:'): return int(line.split()[1])\n"
            "before = peak()\n"
            "data = bytearray(os.path.getsize(sys.argv[1]))\n"
            "with open(sys.argv[1], 'rb', buffering=0) as f: f.readinto(data)\n"
            "out = convert3do.convert(data).output\n"
            "print(before, peak(), len(data), len(out))\n")
    path = "/dev/shm/convert3do-python-bench.3do"
    with open(path, "wb") as f:
        f.write(mixed_model(mib, 3))
    done = subprocess.run([sys.executable, "-c", code, path], capture_output=True, check=True)
    before, after, size, output = (int(v) for v in done.stdout.split())
    subprocess.run(["rm", "-f", path], check=True)
    extra = (after - before) * 1024 - size - output
    print("%-34s peak +%d MiB for an input of %d MiB and an output of %d MiB: %+.1f MiB beyond "
          "them (goal <= 8 MiB)" % ("peak memory of convert()", (after - before) >> 10,
                                    size >> 20, output >> 20, extra / 2**20))


def in_threads(function, arguments):
    """Runs function once per argument, each in a thread of its own."""
    threads = [threading.Thread(target=function, args=(a,)) for a in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def threads_row(mib, n_rounds):
    """8 threads converting 8 models (each 4 times) against one thread doing
    it all; and how fast a pure-Python thread counts beside conversions,
    against counting alone: the GIL is let go while the library walks."""
    models = [mixed_model(mib, seed) for seed in range(8)]

    def convert_all(some):
        for model in some:
            for _ in range(4):
                convert3do.convert(model)

    def eight_threads():
        in_threads(convert_all, [[m] for m in models])

    ours, floors = rounds(n_rounds, eight_threads, lambda: convert_all(models))
    speedup = statistics.median(floors) / statistics.median(ours)
    # The floor: the same bytes copied by memmove (through ctypes, which lets
    # the GIL go), 8 threads against one: what the memory lets two cores do.
    targets = [bytearray(len(m)) for m in models]

    def copy_all(pairs):
        for model, target in pairs:
            for _ in range(4):
                ctypes.memmove((ctypes.c_char * len(target)).from_buffer(target), model, len(model))

    pairs = list(zip(models, targets))

    def eight_copies():
        in_threads(copy_all, [[p] for p in pairs])

    copies, copy_floors = rounds(n_rounds, eight_copies, lambda: copy_all(pairs))
    copy_speedup = statistics.median(copy_floors) / statistics.median(copies)

    def into_all(some):
        for model, target in some:
            for _ in range(4):
                convert3do.convert(model, out=target)

    def eight_into():
        in_threads(into_all, [[p] for p in pairs])

    into, into_floors = rounds(n_rounds, eight_into, lambda: into_all(pairs))
    into_speedup = statistics.median(into_floors) / statistics.median(into)
    print("%-34s 8 threads %.3f s, one thread %.3f s: %.2fx as fast; with out=: %.2fx; memmove "
          "the same way (the floor): %.2fx (goal >= 1.8x on 2 cores)"
          % ("8 threads, 8 models of %d MiB" % mib, statistics.median(ours),
             statistics.median(floors), speedup, into_speedup, copy_speedup))
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    def beside(work, seconds=None):
        counted[0] = 0
        stop.clear()
        counter = threading.Thread(target=count)
        counter.start()
        started = time.perf_counter()
        if work is not None:
            work()
        else:
            time.sleep(seconds)
        took = time.perf_counter() - started
        stop.set()
        counter.join()
        return counted[0] / took

    during = beside(lambda: convert_all(models))
    alone = beside(None, 0.2)
    print("%-34s %.0f%% of its speed alone (the GIL let go; it was 6%% when held)"
          % ("a Python thread beside convert()", 100 * during / alone))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--chunks", type=int, default=2000000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--3do", dest="three", default="3do")
    o = parser.parse_args()
    data = mixed_model(o.mib)
    print("convert3do %s, a mixed model of %d MiB, %d rounds" % (convert3do.__version__,
                                                                  len(data) >> 20, o.rounds))
    row("convert(data)", *rounds(o.rounds, lambda: convert3do.convert(data),
                                 lambda: bytes(memoryview(data))), "bytes(data)", "<= 1.3x")
    buffer = bytearray(len(data))
    view = memoryview(buffer)
    row("convert(data, out=buffer)", *rounds(o.rounds, lambda: convert3do.convert(data, out=buffer),
                                             lambda: view.__setitem__(slice(0, len(data)), data)),
        "slice assignment", "<= 1.1x")
    peak_row(o.mib)
    threads_row(max(1, o.mib // 8), o.rounds)

    small = data[: 1 << 20]
    pieces16 = [small[i:i + 16] for i in range(0, len(small), 16)]

    def push(pieces):
        converter = convert3do.Converter()
        for piece in pieces:
            converter.push(piece)
        converter.end()

    def compress(pieces):
        compressor = zlib.compressobj(0)
        for piece in pieces:
            compressor.compress(piece)
        compressor.flush()

    row("Converter.push, 16-byte pieces", *rounds(o.rounds, lambda: push(pieces16),
                                                  lambda: compress(pieces16)),
        "zlib compressobj(0)", "<= 1x")
    pieces64k = [data[i:i + 65536] for i in range(0, len(data), 65536)]
    row("Converter.push, 64 KiB pieces", *rounds(o.rounds, lambda: push(pieces64k),
                                                 lambda: convert3do.convert(data)),
        "one convert()", "<= 1.25x")
    del data, buffer, view

    tiny = tiny_chunks_model(o.chunks)
    path = "/dev/shm/convert3do-python-chunks.3do"
    with open(path, "wb") as f:
        f.write(tiny)
    cli = lambda: subprocess.run([o.three, "info", "--json", path], stdout=subprocess.DEVNULL,
                                 check=False)
    row("info(chunks=False), %d chunks" % o.chunks,
        *rounds(o.rounds, lambda: convert3do.info(tiny, chunks=False), cli), "3do info --json",
        "<= 1.5x")
    row("info(chunks=True), %d chunks" % o.chunks,
        *rounds(max(1, o.rounds // 2), lambda: convert3do.info(tiny), cli), "3do info --json",
        "<= 3x")
    subprocess.run(["rm", "-f", path], check=True)
    print("peak RSS of this process: %d MiB" %
          (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10))


if __name__ == "__main__":
    main()
