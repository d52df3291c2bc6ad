#!/usr/bin/env bash
# Every way a model is converted, on the same random models, against the
# reference model (tests/reference_model.h) that write_random_models runs:
# convert3do; 3do convert into a folder (--salvage) and in place; the Python
# package and the page's module, where this build has them. The library's
# own paths (in place, copying, surveyed, in pieces) meet the same model in
# the unit tests.
#
# usage: paths_test.sh PATH/TO/3do reference
# Environment: CONVERT3DO_TOOLS (convert3do, write_random_models);
# CONVERT3DO_PYTHON, with PYTHONPATH set to the built package; CONVERT3DO_NODE
# and CONVERT3DO_WEB (the module's folder).
# shellcheck source=cli_helpers.sh
. "$(dirname "$0")/cli_helpers.sh"

tools=${CONVERT3DO_TOOLS:?}
count=200

# not_3do NAME: whether the reference model found NAME no 3do file: nothing
# to write, and yet convert3do's status 0.
not_3do() { [ ! -s "expected/$1" ] && [ "$(cat "expected/$1.status")" -eq 0 ]; }

# salvaged FOLDER: each model's output in FOLDER, written by 3do convert
# --salvage, is the reference model's; a file that is no 3do file has none.
salvaged() {
  local f name
  for f in expected/*.3do; do
    name=$(basename "$f")
    if not_3do "$name"; then
      expect_absent "$1/$name"
    else
      cmp -s "$1/$name" "$f" || fail "3do convert -d: $name differs from the reference model's"
    fi
  done
}

# in_place FOLDER: what converts whole is the reference model's conversion
# in FOLDER, written by 3do convert -i; every other file is as it was.
in_place() {
  local f name
  for f in expected/*.3do; do
    name=$(basename "$f")
    if [ "$(cat "$f.status")" -eq 0 ] && ! not_3do "$name"; then
      cmp -s "$1/$name" "$f" || fail "3do convert -i: $name is not the reference model's"
    else
      cmp -s "$1/$name" "in/$name" || fail "3do convert -i: $name was changed"
    fi
  done
}

# module_outputs FOLDER: FOLDER/NAME is a module's output for each model with
# one, FOLDER/NAME.status the exit status it says convert3do has.
module_outputs() {
  local f name
  for f in expected/*.3do; do
    name=$(basename "$f")
    cmp -s "$1/$name.status" "$f.status" || fail "$1: $name: status $(cat "$1/$name.status")"
    if [ -s "$f" ]; then
      cmp -s "$1/$name" "$f" || fail "$1: $name differs from the reference model's"
    fi
  done
}

case $case_name in
  reference)
    mkdir in expected
    "${emulator[@]}" "$tools/write_random_models" in "$count" "$seed" expected ||
      fail "cannot write the models"
    # convert3do: the output, salvaged when damaged, and the exit status.
    mkdir classic
    for f in in/*.3do; do
      name=$(basename "$f")
      "${emulator[@]}" "$tools/convert3do" "$f" "classic/$name" >/dev/null 2>&1
      echo "$?" >"classic/$name.status"
    done
    module_outputs classic
    # 3do convert: -d with --salvage writes what convert3do writes; in place,
    # only what converts whole is replaced, and the rest left as it was.
    run convert -q --salvage -r -d out in
    salvaged out
    cp -r in inplace
    run convert -q -r -i inplace
    in_place inplace
    # The modules, where this build has them (not in sanitizer or cross builds).
    if [ -n "${CONVERT3DO_PYTHON:-}" ]; then
      mkdir python
      "$CONVERT3DO_PYTHON" - in python <<'PYTHON' || fail "the Python package failed"
import io, os, sys
import convert3do
source, target = sys.argv[1:]
for name in os.listdir(source):
    with open(os.path.join(source, name), "rb") as f:
        data = f.read()
    conversion = convert3do.convert(data, salvage=True)
    with open(os.path.join(target, name), "wb") as f:
        f.write(conversion.output)
    with open(os.path.join(target, name + ".status"), "w") as f:
        f.write("%d\n" % conversion.exit_status)
    # Streamed in pieces into another buffer: the library's copying path.
    streamed = io.BytesIO()
    convert3do.Converter.of_stream(io.BytesIO(data), streamed, piece=1 + len(data) % 4099)
    os.makedirs(target + "-stream", exist_ok=True)
    with open(os.path.join(target + "-stream", name), "wb") as f:
        f.write(streamed.getvalue())
    with open(os.path.join(target + "-stream", name + ".status"), "w") as f:
        f.write("%d\n" % conversion.exit_status)
PYTHON
      module_outputs python
      module_outputs python-stream
    fi
    if [ -n "${CONVERT3DO_NODE:-}" ]; then
      mkdir node
      "$CONVERT3DO_NODE" --input-type=module - in node "$CONVERT3DO_WEB/convert3do.mjs" <<'NODE' ||
import { readdirSync, readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
const [source, target, module] = process.argv.slice(2);
const { convert } = await import(pathToFileURL(module));
for (const name of readdirSync(source)) {
  const result = convert(readFileSync(join(source, name)));
  writeFileSync(join(target, name), result.output);
  writeFileSync(join(target, `${name}.status`), `${result.exitStatus}\n`);
}
NODE
        fail "the page's module failed"
      module_outputs node
    fi
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
finish
