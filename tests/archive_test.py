#!/usr/bin/env python3
"""3do on zip archives: every archive is made here with zipfile (some then
patched byte by byte into what zipfile will not write), converted, and taken
apart again: models against convert3do's own output, every other entry's
local header and bytes against the input's.

usage: archive_test.py TOOLS_DIR CASE   (TOOLS_DIR holds 3do, convert3do and
write_random_models)
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

TOOLS = sys.argv[1]
THREE_DO = os.path.join(TOOLS, "3do")
CONVERT3DO = os.path.join(TOOLS, "convert3do")
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def check(condition, text):
    if not condition:
        fail(text)
    return condition


def run(*args, **kw):
    return subprocess.run([THREE_DO, *args], capture_output=True, text=True, **kw)


def converted(data):
    """What convert3do writes for a model's bytes."""
    with open("one.3do", "wb") as f:
        f.write(data)
    subprocess.run([CONVERT3DO, "one.3do", "one.out"], capture_output=True, check=False)
    with open("one.out", "rb") as f:
        return f.read()


def models(count, seed):
    """count random models (some damaged, some cut short) and the example."""
    os.makedirs("m", exist_ok=True)
    os.makedirs("x", exist_ok=True)
    subprocess.run([os.path.join(TOOLS, "write_random_models"), "m", str(count), str(seed), "x"],
                   check=True, capture_output=True)
    found = {}
    for name in sorted(os.listdir("m")):
        with open(os.path.join("m", name), "rb") as f:
            found[name] = f.read()
    return found


def sound_model(seed):
    """A model whose conversion changes words and keeps every chunk."""
    for data in models(40, seed).values():
        if converted(data) != data and len(converted(data)) == len(data):
            return data
    raise SystemExit("no sound model among the random ones")


def local_record(path, info):
    """The local header, name, extra field and stored bytes of an entry."""
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_length, extra_length = struct.unpack("<HH", header[26:30])
        return header + f.read(name_length + extra_length + info.compress_size)


def central_header(data, info):
    """Where the entry's central directory header starts."""
    for match in re.finditer(b"PK\x01\x02", data):
        start = match.start()
        length = struct.unpack("<H", data[start + 28:start + 30])[0]
        if data[start + 46:start + 46 + length] == info.filename.encode() and \
                struct.unpack("<I", data[start + 42:start + 46])[0] == info.header_offset:
            return start
    raise SystemExit("no central header for " + info.filename)


def patch_entry(path, name, flags_or=0, size=None):
    """Rewrites fields of an entry in both its local and its central header."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(name)
    data = bytearray(open(path, "rb").read())
    for header, flags_at, size_at in ((info.header_offset, 6, 22),
                                      (central_header(data, info), 8, 24)):
        flags = struct.unpack("<H", data[header + flags_at:header + flags_at + 2])[0] | flags_or
        data[header + flags_at:header + flags_at + 2] = struct.pack("<H", flags)
        if size is not None:
            data[header + size_at:header + size_at + 4] = struct.pack("<I", size)
    with open(path, "wb") as f:
        f.write(data)


def archives_built():
    version = run("--version").stdout
    if "zip archives: libzip" in version:
        return True
    if os.environ.get("CI") == "true":
        fail("3do was built without archives: " + version)
        return False
    print("SKIP [3do built without archives]")
    sys.exit(77)


def mod_archive(path, sound):
    """A mod archive with every kind of entry; returns the names of its models."""
    cube = open(os.environ.get("CONVERT3DO_CUBE", "cube.3do"), "rb").read() \
        if os.path.exists(os.environ.get("CONVERT3DO_CUBE", "cube.3do")) else sound
    with zipfile.ZipFile(path, "w") as z:
        # A date of 0 (kept by many tools) is no date libzip can hold.
        z.writestr(zipfile.ZipInfo("readme.txt", (1980, 0, 0, 0, 0, 0)), "read me " * 200,
                   compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("models/deflated.3do", sound, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr(zipfile.ZipInfo("models/stored.3do", (1980, 0, 0, 0, 0, 0)), cube,
                   compress_type=zipfile.ZIP_STORED)
        z.writestr("models/level9.3do", sound, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
        z.writestr("models/done.3do", converted(sound), compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("by-content.bin", cube, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("notes.3do", "not a model", compress_type=zipfile.ZIP_DEFLATED)
        info = zipfile.ZipInfo("textures/a.png", (2001, 2, 3, 4, 5, 6))
        info.comment = b"a texture"
        info.extra = b"\xfe\xca\x04\x00abcd"
        info.external_attr = 0o100640 << 16
        z.writestr(info, os.urandom(30000), compress_type=zipfile.ZIP_STORED)
        z.writestr("sounds/a.ogg", os.urandom(9000) + bytes(9000), compress_type=zipfile.ZIP_BZIP2)
        z.writestr("secret.bin", b"sealed" * 50, compress_type=zipfile.ZIP_STORED)
        z.comment = b"the archive's comment"
    patch_entry(path, "models/level9.3do", flags_or=0x2)  # the flags of level 9
    patch_entry(path, "secret.bin", flags_or=0x1)         # encrypted: never read
    return ["models/deflated.3do", "models/stored.3do", "models/level9.3do", "models/done.3do",
            "by-content.bin"]


def case_contents():
    """Models become their conversions, deflated at their level; the rest stays."""
    sound = sound_model(3)
    names = mod_archive("mod.zip", sound)
    r = run("convert", "-o", "out.zip", "mod.zip")
    check(r.returncode == 0, f"convert: {r.returncode} {r.stderr}")
    a, b = zipfile.ZipFile("mod.zip"), zipfile.ZipFile("out.zip")
    check([i.filename for i in a.infolist()] == [i.filename for i in b.infolist()], "order")
    check(a.comment == b.comment, "archive comment")
    for x, y in zip(a.infolist(), b.infolist()):
        kept = ("date_time", "extra", "comment", "external_attr", "flag_bits", "compress_type",
                "create_system")
        for field in kept:
            check(getattr(x, field) == getattr(y, field), f"{x.filename}: {field}")
        if x.filename in names:
            want = converted(a.read(x.filename))
            check(b.read(y.filename) == want, f"{x.filename}: not convert3do's output")
            if x.compress_type == zipfile.ZIP_DEFLATED:
                level = 9 if x.flag_bits & 0x6 == 0x2 else 6
                deflater = zlib.compressobj(level, zlib.DEFLATED, -15)
                raw = local_record("out.zip", y)[-y.compress_size:]
                check(raw == deflater.compress(want) + deflater.flush(),
                      f"{x.filename}: not deflated at level {level}")
            if x.filename == "models/done.3do":
                check(local_record("mod.zip", x) == local_record("out.zip", y), "done: rewritten")
        else:
            check(local_record("mod.zip", x) == local_record("out.zip", y),
                  f"{x.filename}: local header or bytes differ")
            check((x.CRC, x.compress_size, x.file_size) == (y.CRC, y.compress_size, y.file_size),
                  f"{x.filename}: CRC or sizes differ")
    for workers in ("1", "4"):
        r = run("convert", "-j", workers, "-o", f"j{workers}.zip", "mod.zip")
        check(open(f"j{workers}.zip", "rb").read() == open("out.zip", "rb").read(),
              f"-j {workers}: another archive")


def case_up_to_date():
    """An archive whose models are converted is left as it is, or copied."""
    sound = sound_model(4)
    mod_archive("mod.zip", sound)
    run("convert", "-o", "done.zip", "mod.zip")
    before = os.stat("done.zip")
    r = run("convert", "-v", "-i", "done.zip")
    after = os.stat("done.zip")
    check(r.returncode == 0 and "done.zip: up to date" in r.stderr, f"-i: {r.stderr}")
    check((before.st_ino, before.st_mtime_ns) == (after.st_ino, after.st_mtime_ns), "rewritten")
    r = run("convert", "-v", "-o", "copy.zip", "done.zip")
    check("already converted" in r.stderr, f"-o: {r.stderr}")
    check(open("copy.zip", "rb").read() == open("done.zip", "rb").read(), "copy differs")
    r = run("convert", "-v", "-o", "copy.zip", "done.zip")
    check(r.returncode == 0 and "up to date" in r.stderr, f"again: {r.stderr}")
    # In place: the archive keeps its mode; a dry run writes nothing.
    shutil.copy("mod.zip", "in.zip")
    os.chmod("in.zip", 0o640)
    r = run("convert", "-n", "-i", "in.zip")
    check(open("in.zip", "rb").read() == open("mod.zip", "rb").read() and "would be converted"
          in r.stdout, f"dry run: {r.stdout}")
    r = run("convert", "--json", "-i", "in.zip")
    line = json.loads(r.stdout.splitlines()[0])
    check(line["result"] == "converted" and line["models"] == 5 and line["entry"] is None,
          f"json: {line}")
    check(open("in.zip", "rb").read() == open("done.zip", "rb").read(), "in place differs")
    check(os.stat("in.zip").st_mode & 0o777 == 0o640, "mode not kept")
    r = run("convert", "-o", "done.zip", "mod.zip")
    check(r.returncode == 0, f"an output holding the conversion: {r.stderr}")
    with open("other.zip", "wb") as f:
        f.write(b"something else")
    r = run("convert", "-o", "other.zip", "mod.zip")
    check(r.returncode == 3 and "exists (--force replaces it)" in r.stderr,
          f"existing output: {r.stderr}")


def case_info():
    """info lists the models as files, named by archive and entry."""
    sound = sound_model(5)
    names = mod_archive("mod.zip", sound)
    r = run("info", "--json", "mod.zip")
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    check([line.get("entry") for line in lines[:-1]] == names, f"entries: {lines}")
    with zipfile.ZipFile("mod.zip") as z:
        for line in lines[:-1]:
            with open("one.3do", "wb") as f:
                f.write(z.read(line["entry"]))
            alone = json.loads(run("info", "--json", "one.3do").stdout)
            del alone["file"], line["file"], line["entry"]
            check(alone == line, f"{alone} != {line}")
    check(lines[-1] == {"file": "mod.zip", "archive": {"entries": 10, "models": 5, "archives": 0,
                                                       "others": 5}}, f"summary: {lines[-1]}")
    r = run("info", "--json", "--entries", "mod.zip")
    others = [json.loads(line) for line in r.stdout.splitlines() if '"model":false' in line]
    check(len(others) == 5 and others[0]["entry"] == "readme.txt", f"--entries: {others}")
    r = run("info", "--summary", "mod.zip")
    check(r.stdout.startswith("mod.zip entry models/deflated.3do\n"), f"text: {r.stdout[:80]}")
    r = run("check", "mod.zip")
    check(r.returncode == 6 and "3do: mod.zip entry models/deflated.3do:" in r.stdout,
          f"check: {r.returncode} {r.stdout}")


def hostile_archives(sound):
    """name -> (made by, status, what the message says)."""
    def plain(path, entries):
        with zipfile.ZipFile(path, "w") as z:
            for name, data in entries:
                z.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED)

    def cut(path):
        plain(path, [("a.3do", sound)])
        data = open(path, "rb").read()
        open(path, "wb").write(data[:-30])

    def crc(path):
        with zipfile.ZipFile(path, "w") as z:
            z.writestr("a.3do", sound, compress_type=zipfile.ZIP_STORED)
        data = bytearray(open(path, "rb").read())
        data[30 + 5 + 40] ^= 0xff
        open(path, "wb").write(data)

    def local_name(path):
        plain(path, [("a.3do", sound)])
        data = bytearray(open(path, "rb").read())
        data[30] = ord("b")
        open(path, "wb").write(data)

    def overlap(path):
        plain(path, [("a.3do", sound), ("b.3do", sound)])
        data = bytearray(open(path, "rb").read())
        second = data.rfind(b"PK\x01\x02")
        data[second + 42:second + 46] = struct.pack("<I", 0)  # b's bytes are a's
        open(path, "wb").write(data)

    def duplicate(path):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain(path, [("a.3do", sound), ("a.3do", sound)])

    def bomb(path):
        plain(path, [("a.3do", sound[:12] + bytes(100000))])
        patch_entry(path, "a.3do", size=2000000000)

    return {
        "cut short": (cut, 4, "a zip archive cut short: it has no end record"),
        "CRC": (crc, 4, "entry a.3do: its bytes do not match its CRC"),
        "size": (lambda p: (plain(p, [("a.3do", sound)]), patch_entry(p, "a.3do", size=len(sound) - 1)),
                 4, "entry a.3do: its bytes do not match its stated size"),
        "local header": (local_name, 4, "its central directory disagrees with a local header"),
        "overlap": (overlap, 4, "entries a.3do and b.3do share bytes"),
        "ratio": (bomb, 4, "entry a.3do states 2000000000 bytes, more than its"),
        "duplicate": (duplicate, 4, "two entries are named a.3do"),
        "dot-dot": (lambda p: plain(p, [("../a.3do", sound)]), 4, "entry ../a.3do has an unsafe name"),
        "absolute": (lambda p: plain(p, [("/a.3do", sound)]), 4, "has an unsafe name"),
        "control": (lambda p: plain(p, [("a\x1b]2;x\a.3do", sound)]), 4, "$'\\e'"),
        "encrypted model": (lambda p: (plain(p, [("a.3do", sound)]), patch_entry(p, "a.3do", 1)),
                            4, "entry a.3do is encrypted"),
        "bzip2 model": (lambda p: zipfile.ZipFile(p, "w", zipfile.ZIP_BZIP2).writestr("a.3do", sound),
                        4, "entry a.3do is compressed with method 12"),
        "not a zip": (lambda p: open(p, "w").write("PK? no, plain text"), 7, "not a 3do file"),
        "no models": (lambda p: plain(p, [("a.txt", "text")]), 7, "no 3do models in it"),
        "empty": (lambda p: zipfile.ZipFile(p, "w").close(), 7, "no 3do models in it"),
    }


def case_hostile():
    """Each bad archive: its message, its status, nothing written."""
    sound = sound_model(6)
    for name, (make, status, words) in hostile_archives(sound).items():
        for path in ("bad.zip", "out.zip"):
            if os.path.exists(path):
                os.remove(path)
        make("bad.zip")
        before = open("bad.zip", "rb").read()
        r = run("convert", "-o", "out.zip", "bad.zip")
        check(r.returncode == status, f"{name}: status {r.returncode}: {r.stderr}")
        check(r.stderr.startswith("3do: bad.zip: ") and words in r.stderr, f"{name}: {r.stderr}")
        check(not os.path.exists("out.zip"), f"{name}: an output was written")
        r = run("convert", "-i", "bad.zip")
        check(open("bad.zip", "rb").read() == before and r.returncode == status,
              f"{name}: in place {r.returncode}: {r.stderr}")


def case_damaged_model():
    """A damaged model refuses its archive, named; --salvage writes its chunks."""
    sound = sound_model(7)
    damaged = sound[:len(sound) - 7]
    with zipfile.ZipFile("mod.zip", "w") as z:
        z.writestr("good.3do", sound, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("sub/cut.3do", damaged, compress_type=zipfile.ZIP_DEFLATED)
    r = run("convert", "--json", "-o", "out.zip", "mod.zip")
    line = json.loads(r.stdout.splitlines()[0])
    check(r.returncode == 4 and line["entry"] == "sub/cut.3do" and line["result"] == "damaged"
          and "--salvage writes" in line["message"], f"damaged: {line}")
    check(not os.path.exists("out.zip"), "written")
    r = run("convert", "--salvage", "-o", "out.zip", "mod.zip")
    with zipfile.ZipFile("out.zip") as z:
        check(z.read("sub/cut.3do") == converted(damaged), "salvaged entry")
    check(r.returncode == 4 and "its complete chunks are written" in r.stderr, r.stderr)


def case_nested():
    """Archives inside archives are opened three deep; deeper ones are kept."""
    sound = sound_model(8)

    def zipped(entries):
        path = "t.zip"
        with zipfile.ZipFile(path, "w") as z:
            for name, data in entries:
                z.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED)
        return open(path, "rb").read()
    deepest = zipped([("d.3do", sound)])
    third = zipped([("c.3do", sound), ("deeper.zip", deepest)])
    second = zipped([("b.3do", sound), ("third.zip", third)])
    with zipfile.ZipFile("outer.zip", "w") as z:
        z.writestr("a.3do", sound, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("packs/second.zip", second, compress_type=zipfile.ZIP_STORED)
    r = run("info", "--json", "outer.zip")
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    check([(line.get("in"), line.get("entry")) for line in lines[:-1]] ==
          [(None, "a.3do"), (["packs/second.zip"], "b.3do"),
           (["packs/second.zip", "third.zip"], "c.3do")], f"info: {lines}")
    r = run("convert", "-o", "out.zip", "outer.zip")
    check(r.returncode == 0, r.stderr)
    import io
    out = zipfile.ZipFile("out.zip")
    second_out = zipfile.ZipFile(io.BytesIO(out.read("packs/second.zip")))
    third_out = zipfile.ZipFile(io.BytesIO(second_out.read("third.zip")))
    want = converted(sound)
    check(out.read("a.3do") == want and second_out.read("b.3do") == want and
          third_out.read("c.3do") == want, "nested models not converted")
    check(third_out.read("deeper.zip") == deepest, "the fourth archive was opened")
    check(out.getinfo("packs/second.zip").compress_type == zipfile.ZIP_STORED, "method")
    # A damaged model inside: named with the archives it is in.
    with zipfile.ZipFile("damaged.zip", "w") as z:
        z.writestr("packs/second.zip", zipped([("b.3do", sound), ("cut.3do", sound[:-5])]))
    r = run("convert", "--json", "-o", "d.zip", "damaged.zip")
    line = json.loads(r.stdout.splitlines()[0])
    check(r.returncode == 4 and line["entry"] == "cut.3do" and line["in"] == ["packs/second.zip"]
          and "entry packs/second.zip entry cut.3do: damaged" in line["message"], f"{line}")
    r = run("check", "--json", "damaged.zip")
    lines = [json.loads(text) for text in r.stdout.splitlines()]
    check(any(x["entry"] == "cut.3do" and x["in"] == ["packs/second.zip"] and x["check_status"] == 4
              for x in lines) and r.returncode == 4, f"check: {lines}")


def case_walk():
    """A walk opens archives with -a only; -d mirrors them."""
    sound = sound_model(9)
    os.makedirs("tree/sub")
    with open("tree/a.3do", "wb") as f:
        f.write(sound)
    for path in ("tree/pack.zip", "tree/sub/more.ZIP"):
        with zipfile.ZipFile(path, "w") as z:
            z.writestr("m.3do", sound, compress_type=zipfile.ZIP_DEFLATED)
    r = run("convert", "-r", "-d", "out", "tree")
    check(sorted(os.listdir("out")) == ["a.3do"], f"without -a: {os.listdir('out')}")
    with open("tree/sub/fake.zip", "w") as f:
        f.write("a file named as an archive is, which is none")
    r = run("convert", "-r", "-a", "-v", "-d", "out2", "tree")
    check(r.returncode == 0 and "tree/sub/fake.zip: skipped: not a zip archive" in r.stderr,
          r.stderr)
    for path in ("out2/pack.zip", "out2/sub/more.ZIP"):
        check(zipfile.ZipFile(path).read("m.3do") == converted(sound), path)
    r = run("convert", "-r", "-a", "-i", "tree")
    r = run("convert", "-r", "-a", "-i", "-v", "tree")
    check(len(re.findall(r"ZIP?: up to date$", r.stderr, re.M | re.I)) == 2 and
          "a.3do: already converted" in r.stderr, r.stderr)


def case_many_entries():
    """65,536 entries and more: Zip64's end records, read and written."""
    sound = sound_model(10)
    with zipfile.ZipFile("many.zip", "w") as z:
        for i in range(70000):
            z.writestr(f"f{i}", b"", compress_type=zipfile.ZIP_STORED)
        z.writestr("model.3do", sound, compress_type=zipfile.ZIP_DEFLATED)
    r = run("convert", "-o", "out.zip", "many.zip")
    check(r.returncode == 0, r.stderr)
    with zipfile.ZipFile("out.zip") as z:
        check(len(z.infolist()) == 70001 and z.read("model.3do") == converted(sound), "zip64")


def case_safety():
    """The file path's guarantees on an archive: a change while it is
    converted, and signals at random moments of an in-place run."""
    sound = sound_model(11)
    with zipfile.ZipFile("big.zip", "w") as z:
        for i in range(300):
            z.writestr(f"m{i}.3do", sound * 1 + os.urandom(100), compress_type=zipfile.ZIP_DEFLATED)
    shutil.copy("big.zip", "want.zip")
    run("convert", "-i", "want.zip")
    if shutil.which("gdb") is not None:
        shutil.copy("big.zip", "in.zip")
        with open("change.sh", "w") as f:
            f.write("printf more >>in.zip")
        subprocess.run(["gdb", "-q", "-batch", "-ex", "set non-stop on", "-ex",
                        "set breakpoint pending on", "-ex", "break zip_close", "-ex",
                        "run convert -i in.zip >stdout 2>stderr", "-ex", "shell bash change.sh",
                        "-ex", "delete", "-ex", "continue", THREE_DO], capture_output=True,
                       timeout=300, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        stderr = open("stderr").read()
        check("in.zip: changed while it was converted; nothing written" in stderr, stderr)
        check(open("in.zip", "rb").read() == open("big.zip", "rb").read() + b"more", "written")
    elif os.environ.get("CI") == "true":
        fail("no gdb to hold the run")
    import random
    import signal
    import time
    for round_ in range(6):
        shutil.copy("big.zip", "in.zip")
        p = subprocess.Popen([THREE_DO, "convert", "-q", "-i", "--no-sync", "in.zip"])
        time.sleep(random.uniform(0.01, 0.6))
        p.send_signal((signal.SIGTERM, signal.SIGINT, signal.SIGHUP)[round_ % 3])
        status = p.wait()
        now = open("in.zip", "rb").read()
        check(now in (open("big.zip", "rb").read(), open("want.zip", "rb").read()),
              f"round {round_}: neither the archive nor its conversion (status {status})")
        check([n for n in os.listdir(".") if n.endswith(".tmp")] == [], "temporary files left")


def main():
    case = sys.argv[2]
    work = tempfile.mkdtemp(prefix="3do-archive-")
    cube = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "cube.3do")
    os.environ["CONVERT3DO_CUBE"] = os.path.abspath(cube)
    os.chdir(work)
    if archives_built():
        globals()["case_" + case]()
    shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failed")
        sys.exit(1)


if __name__ == "__main__":
    main()
