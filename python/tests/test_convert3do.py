"""The Python package against the programs, on the random models of the unit
tests: convert() writes what 3do convert --salvage writes, info() says what
3do info --json says, and the streaming classes give what the one-shot calls
give, in pieces of any size.

Environment: CONVERT3DO_TOOLS, the folder of 3do and write_random_models.
"""

import io
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

import convert3do

TOOLS = os.environ.get("CONVERT3DO_TOOLS", "")
COUNT = 3000


def run(*args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, check=False, **kwargs)


class RandomModels(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        models = os.path.join(cls.folder.name, "models")
        os.mkdir(models)
        tool = os.path.join(TOOLS, "write_random_models")
        subprocess.run([tool, models, str(COUNT), "20261207"], check=True)
        names = sorted(os.listdir(models), key=lambda n: int(n[6:-4]))
        cls.paths = [os.path.join(models, n) for n in names]
        three = os.path.join(TOOLS, "3do")
        cls.info = [json.loads(l) for l in run(three, "info", "--json", *cls.paths).stdout.splitlines()]
        cls.out = os.path.join(cls.folder.name, "out")
        reports = run(three, "convert", "--json", "--salvage", "-q", "-d", cls.out, *cls.paths)
        cls.reports = [json.loads(l) for l in reports.stdout.splitlines()][:-1]

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def data(self, i):
        with open(self.paths[i], "rb") as f:
            return f.read()

    def test_info_says_what_3do_info_says(self):
        for i, line in enumerate(self.info):
            expected = {k: v for k, v in line.items() if k != "file"}
            self.assertEqual(convert3do.info(self.data(i)), expected, self.paths[i])
            del expected["chunks"]
            self.assertEqual(convert3do.info(self.data(i), chunks=False), expected, self.paths[i])

    def test_convert_writes_what_3do_convert_writes(self):
        for i, report in enumerate(self.reports):
            data = self.data(i)
            result = convert3do.convert(data, salvage=True)
            self.assertEqual(result.exit_status, self.info[i]["exit_status"], self.paths[i])
            self.assertEqual(result.damage, self.info[i]["damage"], self.paths[i])
            if report["written"]:
                with open(report["output"], "rb") as f:
                    self.assertEqual(result.output, f.read(), self.paths[i])
            else:
                self.assertEqual(result.outcome, "not_3do", self.paths[i])
            if result.damaged:
                self.assertEqual(convert3do.convert(data).output, b"")  # without salvage
            # Into a buffer of the caller's, and in place.
            room = bytearray(len(data) + 3)
            into = convert3do.convert(data, salvage=True, out=room)
            self.assertEqual(bytes(into.output), result.output, self.paths[i])
            in_place = bytearray(data)
            convert3do.convert(in_place, out=in_place)
            self.assertEqual(bytes(in_place[: result.output_length]), result.output, self.paths[i])

    def test_streams_give_what_the_whole_gives(self):
        pieces = random.Random(7)
        for i in range(0, COUNT, 7):
            data = self.data(i)
            whole = convert3do.convert(data, salvage=True)
            target = io.BytesIO()
            conversion = convert3do.Converter.of_stream(io.BytesIO(data), target,
                                                        piece=pieces.randint(1, 5000))
            self.assertEqual(target.getvalue(), whole.output, self.paths[i])
            self.assertEqual(conversion.input_end, whole.input_end, self.paths[i])
            survey = convert3do.Survey()
            for at in range(0, len(data), 37):
                survey.push(data[at:at + 37])
            self.assertEqual(survey.end(len(data)), convert3do.info(data), self.paths[i])

    def test_the_module_prints_what_3do_prints(self):
        paths = self.paths[:50]
        printed = run(sys.executable, "-m", "convert3do", "info", "--json", *paths)
        self.assertEqual(printed.stdout, run(os.path.join(TOOLS, "3do"), "info", "--json",
                                             *paths).stdout)


class Idioms(unittest.TestCase):
    MODEL = bytes.fromhex("344f44330700000040000000" "4e414c50000000001800000000000000") + bytes(20)

    def test_bytes_like_objects_and_type_errors(self):
        for data in (self.MODEL, bytearray(self.MODEL), memoryview(self.MODEL)):
            self.assertEqual(convert3do.convert(data).outcome, "converted")
        for bad in ("3DO4", None, 12, 1.5):
            with self.assertRaises(TypeError):
                convert3do.convert(bad)
            with self.assertRaises(TypeError):
                convert3do.info(bad)

    def test_a_refused_call_raises_an_error_with_its_status(self):
        survey = convert3do.Survey()
        survey.push(self.MODEL, at_end=True)
        with self.assertRaises(convert3do.Error) as caught:
            survey.end(3)  # fewer bytes than it was given
        self.assertEqual(caught.exception.status_name, "bad_argument")

    def test_a_chunk_function_may_raise(self):
        class Enough(Exception):
            pass

        def stop(chunk):
            raise Enough(chunk["tag"])

        survey = convert3do.Survey(on_chunk=stop)
        with self.assertRaises(Enough) as caught:
            survey.push(self.MODEL + bytes(100))
        self.assertEqual(str(caught.exception), "PLAN")
        self.assertFalse(survey.wanted)

    def test_convert_file_writes_only_complete_outputs(self):
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "in.3do")
            with open(source, "wb") as f:
                f.write(self.MODEL)
            target = os.path.join(folder, "out.3do")
            self.assertEqual(convert3do.convert_file(source, target).outcome, "converted")
            with open(target, "rb") as f:
                self.assertEqual(f.read(), convert3do.convert(self.MODEL).output)
            with open(source, "wb") as f:
                f.write(b"not a model")
            self.assertEqual(convert3do.convert_file(source, target + "2").outcome, "not_3do")
            self.assertEqual(sorted(os.listdir(folder)), ["in.3do", "out.3do"])


if __name__ == "__main__":
    unittest.main()
