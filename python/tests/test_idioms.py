"""The package as a tool author uses it: buffers of every kind, out=, strict,
exceptions that cross processes, context managers, closed and ended objects,
one object shared by threads, convert_file's paths and modes, streams into
pipes and appending files, and types that match what the library says."""

import array
import concurrent.futures
import io
import os
import pickle
import stat
import subprocess
import sys
import tempfile
import threading
import unittest

import convert3do

# A model whose walk ends at its length bound: a PLAN chunk, then an XYZS
# chunk of one entry (its first word 9).
MODEL = bytes.fromhex("344f44330700000028000000" "4e414c500000000000000000"
                      "535a5958000000001000000009000000080000000700000006000000")
CUT = MODEL[:30]  # cut inside the XYZS chunk's header (at byte 24)


def raises_in_a_worker(kind):
    """Raised in another process: the exception must come back whole."""
    if kind == "damaged":
        convert3do.convert(CUT, strict=True)
    elif kind == "not_3do":
        convert3do.convert(b"not a model", strict=True)
    elif kind == "usage":
        convert3do.Survey().end(-7)
    raise AssertionError(kind)


class Buffers(unittest.TestCase):
    def test_every_bytes_like_input_gives_the_same_conversion(self):
        expected = convert3do.convert(MODEL).output
        strided = memoryview(bytes(b for byte in MODEL for b in (byte, 0)))[::2]
        self.assertFalse(strided.contiguous)
        for data in (MODEL, bytearray(MODEL), memoryview(MODEL), array.array("B", MODEL),
                     strided, memoryview(MODEL).cast("B", (len(MODEL) // 4, 4))):
            self.assertEqual(convert3do.convert(data).output, expected, type(data))
            self.assertEqual(convert3do.info(data), convert3do.info(MODEL), type(data))

    def test_what_is_not_bytes_like_is_a_type_error(self):
        for bad in ("3DO4", None, 12, 1.5, [1, 2]):
            for call in (convert3do.convert, convert3do.info, convert3do.Converter().push,
                         convert3do.Survey().push):
                with self.assertRaises(TypeError, msg=repr((call, bad))):
                    call(bad)

    def test_out_takes_the_output(self):
        out = bytearray(len(MODEL) + 5)
        conversion = convert3do.convert(MODEL, out=out)
        self.assertEqual(bytes(conversion.output), convert3do.convert(MODEL).output)
        self.assertEqual(bytes(out[: conversion.output_length]), bytes(conversion.output))
        in_place = bytearray(MODEL)
        conversion = convert3do.convert(in_place, out=in_place)
        self.assertEqual(bytes(in_place[: conversion.output_length]),
                         convert3do.convert(MODEL).output)

    def test_out_that_cannot_take_it(self):
        shared = bytearray(MODEL) + bytearray(8)
        view = memoryview(shared)
        cases = [
            (bytearray(len(MODEL) - 1), ValueError),  # too little room
            (MODEL, TypeError),  # read-only
            (view[4:], convert3do.UsageError),  # overlaps the input, not in place
        ]
        for out, error in cases:
            with self.assertRaises(error, msg=repr(error)):
                convert3do.convert(view[: len(MODEL)], out=out)


class Strict(unittest.TestCase):
    def test_strict_raises_where_the_output_is_not_whole(self):
        cases = [
            (CUT, convert3do.DamagedError, "cut_chunk", 30),
            (MODEL[:7], convert3do.DamagedError, "cut_header", 7),
            (b"not a model", convert3do.NotA3doError, "not_3do", None),
        ]
        for data, error, name, offset in cases:
            with self.assertRaises(error) as caught:
                convert3do.convert(data, strict=True)
            self.assertEqual(caught.exception.status_name, name)
            self.assertIsInstance(caught.exception, convert3do.Error)
            if offset is not None:
                self.assertEqual(caught.exception.offset, offset)
                self.assertEqual(caught.exception.reason, convert3do.convert(data).damage)
            self.assertEqual(convert3do.convert(data).output, b"")  # not strict: no output
        self.assertEqual(convert3do.convert(MODEL, strict=True).outcome, "converted")

    def test_every_exception_pickles_whole(self):
        errors = [
            convert3do.Error(8),
            convert3do.UsageError(8, "size is less than the bytes given"),
            convert3do.NotA3doError(),
            convert3do.DamagedError(3, "cut at byte 30, inside the chunk at byte 28", 30),
        ]
        for error in errors:
            again = pickle.loads(pickle.dumps(error))
            self.assertIs(type(again), type(error))
            self.assertEqual(vars(again), vars(error))
            self.assertEqual(str(again), str(error))

    def test_exceptions_cross_a_process_pool(self):
        kinds = {"damaged": convert3do.DamagedError, "not_3do": convert3do.NotA3doError,
                 "usage": convert3do.UsageError}
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            futures = {kind: pool.submit(raises_in_a_worker, kind) for kind in kinds}
            for kind, future in futures.items():
                with self.assertRaises(kinds[kind]):
                    future.result(timeout=60)
        self.assertIsInstance(convert3do.UsageError(8, "x"), ValueError)


class Objects(unittest.TestCase):
    def test_closed_and_ended_objects_refuse_calls(self):
        for kind in (convert3do.Converter, convert3do.Survey):
            with kind() as used:
                used.push(MODEL, at_end=True)
                with self.assertRaises(EOFError):
                    used.push(b"more")
                used.end()
                with self.assertRaises(EOFError):
                    used.end()
            self.assertTrue(used.closed)
            for call in (lambda: used.push(MODEL), used.end):
                with self.assertRaisesRegex(ValueError, "closed"):
                    call()

    def test_a_survey_keeps_no_chunks_when_asked(self):
        survey = convert3do.Survey(chunks=False)
        survey.push(MODEL)
        summary = survey.end()
        self.assertNotIn("chunks", summary)
        whole = convert3do.info(MODEL)
        del whole["chunks"]
        self.assertEqual(summary, whole)
        self.assertEqual(convert3do.info(MODEL, chunks=False), whole)

    def test_a_chunk_function_may_not_call_its_survey(self):
        survey = convert3do.Survey(on_chunk=lambda chunk: survey.push(b""))
        with self.assertRaisesRegex(RuntimeError, "chunk function"):
            survey.push(MODEL)

    def test_threads_sharing_a_converter_take_turns(self):
        # Pushes of whole XYZS chunks, large enough that the GIL is let go,
        # each of which gives those chunks converted, in whatever order the
        # threads come: calls that ran at once would walk each other's bytes.
        chunk = MODEL[24:] * 40000
        count = 4 * 10
        data = (MODEL[:8] + (12 + len(chunk) * count).to_bytes(4, "little") + MODEL[12:24]
                + chunk * count)
        converted = convert3do.convert(data).output[24:24 + len(chunk)]
        converter = convert3do.Converter()
        self.assertEqual(len(converter.push(data[:24])), 24)
        outputs = []

        def pushes():
            for _ in range(count // 4):
                outputs.append(converter.push(chunk))

        threads = [threading.Thread(target=pushes) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        tail, conversion = converter.end()
        self.assertEqual((conversion.outcome, conversion.chunk_bytes, conversion.input_end),
                         ("converted", 12 + len(chunk) * count, len(data)))
        self.assertEqual((len(outputs), set(outputs), tail), (count, {converted}, b""))


class Files(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.source = os.path.join(self.folder.name, "in.3do")
        with open(self.source, "wb") as f:
            f.write(MODEL)
        os.chmod(self.source, 0o664)

    def tearDown(self):
        self.folder.cleanup()

    def test_paths_of_every_kind_and_the_input_mode(self):
        mask = os.umask(0o022)
        try:
            targets = ["a.3do", b"b.3do", "c.3do"]
            for i, name in enumerate(targets):
                path = os.path.join(os.fsencode(self.folder.name) if isinstance(name, bytes)
                                    else self.folder.name, name)
                target = path if i != 2 else __import__("pathlib").Path(path)
                source = os.fsencode(self.source) if i == 1 else self.source
                conversion = convert3do.convert_file(source, target)
                self.assertEqual(conversion.outcome, "converted")
                self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o644, name)
            # An existing output of another mode takes the input's too.
            os.chmod(os.path.join(self.folder.name, "a.3do"), 0o600)
            convert3do.convert_file(self.source, os.path.join(self.folder.name, "a.3do"))
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.folder.name, "a.3do")).st_mode),
                             0o644)
        finally:
            os.umask(mask)

    def test_errors_name_the_real_target(self):
        target = os.path.join(self.folder.name, "no", "such", "out.3do")
        with self.assertRaises(FileNotFoundError) as caught:
            convert3do.convert_file(self.source, target)
        self.assertEqual(caught.exception.filename, target)
        self.assertEqual(sorted(os.listdir(self.folder.name)), ["in.3do"])

    def test_streams_that_cannot_take_the_header_in_place(self):
        with open(self.source, "rb") as source, tempfile.TemporaryFile("ab+") as appending:
            with self.assertRaisesRegex(ValueError, "appending"):
                convert3do.Converter.of_stream(source, appending)
        for piece in (0, -1):
            with self.assertRaisesRegex(ValueError, "piece"):
                convert3do.Converter.of_stream(io.BytesIO(MODEL), io.BytesIO(), piece=piece)
        read, write = os.pipe()
        with open(read, "rb") as pipe_in, open(write, "wb") as pipe_out:
            with self.assertRaisesRegex(ValueError, "not seekable"):
                convert3do.Converter.of_stream(pipe_in, pipe_out)

    def test_a_pipe_gets_the_whole_output_in_order(self):
        with subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as reader:
            with open(self.source, "rb") as source:
                conversion = convert3do.Converter.of_stream(source, reader.stdin, piece=5)
            reader.stdin.close()
            self.assertEqual(reader.stdout.read(), convert3do.convert(MODEL).output)
        self.assertEqual(conversion.outcome, "converted")
        fifo = os.path.join(self.folder.name, "fifo")
        os.mkfifo(fifo)
        with subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE) as cat:
            convert3do.convert_file(self.source, fifo)
            self.assertEqual(cat.stdout.read(), convert3do.convert(MODEL).output)


class Types(unittest.TestCase):
    def test_the_typed_keys_are_the_librarys(self):
        document = convert3do.info(MODEL)
        keys = convert3do.Info.__required_keys__ | convert3do.Info.__optional_keys__
        self.assertEqual(set(document), set(keys))
        for chunk in document["chunks"]:
            chunk_keys = (convert3do.ChunkInfo.__required_keys__
                          | convert3do.ChunkInfo.__optional_keys__)
            self.assertTrue(set(chunk) <= chunk_keys)
            self.assertTrue(convert3do.ChunkInfo.__required_keys__ <= set(chunk))

    def test_versions(self):
        self.assertEqual(convert3do.__version__, "%d.%d.%d" % convert3do.version_info)

    def test_the_typed_example_runs(self):
        example = os.path.join(os.path.dirname(__file__), "typing_example.py")
        with tempfile.NamedTemporaryFile(suffix=".3do") as model:
            model.write(MODEL)
            model.flush()
            done = subprocess.run([sys.executable, example, model.name], capture_output=True,
                                  check=True)
        self.assertEqual(done.stdout.split()[0], b"0")


if __name__ == "__main__":
    unittest.main()
