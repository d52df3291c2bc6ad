// convert3do.mjs against the native programs, on random models written by
// write_random_models: convert() gives convert3do's output and exit status,
// info() the line of `3do info --json` (minus "file"), and the streaming
// converter, fed random pieces, what convert() gives.
//
// Environment: CONVERT3DO_WEB (the build's web folder), CONVERT3DO_TOOLS (the
// folder of convert3do, 3do and write_random_models).
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, readdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const web = process.env.CONVERT3DO_WEB;
const tools = process.env.CONVERT3DO_TOOLS;
const { convert, info, createConverter, createSurvey } = await import(pathToFileURL(join(web, "convert3do.mjs")));
const COUNT = 2000;

function run(program, args) {
  const result = spawnSync(join(tools, program), args, { maxBuffer: 1 << 30 });
  assert.equal(result.error, undefined);
  return result;
}

const dir = mkdtempSync(join(tmpdir(), "convert3do-web-"));
test.after(() => rmSync(dir, { recursive: true, force: true }));
assert.equal(run("write_random_models", [dir, String(COUNT), "20261207"]).status, 0);
const names = readdirSync(dir).filter((name) => name.endsWith(".3do")).sort();

test("info() says what 3do info --json says, field for field", () => {
  const lines = run("3do", ["info", "--json", ...names.map((n) => join(dir, n))])
    .stdout.toString().trim().split("\n").map((line) => JSON.parse(line));
  assert.equal(lines.length, names.length);
  for (const line of lines) {
    const { file, ...expected } = line;
    const bytes = readFileSync(file);
    assert.deepEqual(info(bytes), expected, file);
    // A conversion's damage is said in the same words.
    assert.equal(convert(bytes).damage, expected.damage, file);
  }
  // Those words come from the library: the module writes none of them.
  const source = readFileSync(join(web, "convert3do.mjs"), "utf8").replace(/"[A-Za-z0-9+/=]{200,}"/, "");
  for (const words of ["cut at byte", "inside the chunk", "keeps_complete_chunks", "unrecognised_tag",
                       "padStart"]) {
    assert.equal(source.includes(words), false, `convert3do.mjs says "${words}" itself`);
  }
});

test("convert() writes what convert3do writes, with its exit status", () => {
  const out = join(dir, "out.bin");
  for (const name of names) {
    const input = readFileSync(join(dir, name));
    const native = run("convert3do", [join(dir, name), out]);
    const result = convert(input);
    assert.equal(result.exitStatus, native.status, name);
    assert.deepEqual(Buffer.from(result.output), readFileSync(out), name);
  }
});

test("the streaming converter gives what convert() gives, in pieces of any size", () => {
  let seed = 7;
  const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648);
  for (const name of names.slice(0, 400)) {
    const input = readFileSync(join(dir, name));
    const converter = createConverter();
    const parts = [];
    for (let at = 0; at < input.length && !converter.ended;) {
      const size = 1 + (next() % (next() % 2 ? 64 : 70000));
      parts.push(...converter.push(input.subarray(at, at + size)));
      at += size;
    }
    const result = converter.end();
    parts.push(...result.tail);
    const output = Buffer.concat(parts.map((p) => Buffer.from(p)));
    if (result.outputLength > 0) {
      output.set(result.header, 0);
    }
    assert.deepEqual(output.subarray(0, result.outputLength), Buffer.from(convert(input).output), name);
  }
});

test("the streaming survey says what info() says, in pieces of any size", () => {
  let seed = 11;
  const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648);
  for (const name of names.slice(0, 400)) {
    const input = readFileSync(join(dir, name));
    const chunks = [];
    const survey = createSurvey((chunk) => chunks.push(chunk));
    for (let at = 0; at < input.length && !survey.ended;) {
      const size = 1 + (next() % (next() % 2 ? 40 : 50000));
      survey.push(input.subarray(at, at + size));
      at += size;
    }
    const whole = info(input);
    assert.deepEqual({ ...survey.end(input.length), chunks }, whole, name);
  }
});

test("a model is any view of bytes; anything else is a TypeError", () => {
  const bytes = readFileSync(join(dir, names[0]));
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + (bytes.length & ~3));
  const expected = convert(new Uint8Array(buffer)).output;
  for (const [what, model] of [["an ArrayBuffer", buffer], ["a DataView", new DataView(buffer)],
                               ["a Buffer", Buffer.from(buffer)], ["an Int32Array", new Int32Array(buffer)]]) {
    assert.deepEqual(convert(model).output, expected, what);
    assert.equal(info(model).size, buffer.byteLength, what);
  }
  for (const model of ["abc", undefined, null, 42, [1, 2, 3], { length: 3 }]) {
    assert.throws(() => convert(model), TypeError, String(model));
    assert.throws(() => info(model), TypeError, String(model));
    assert.throws(() => createConverter().push(model), TypeError, String(model));
  }
});

test("misuse is refused at the call: not later, and never silently", () => {
  const bytes = readFileSync(join(dir, names[0]));
  // what | the call | the error
  const cases = [
    ["a visitor that is no function", () => createSurvey("x"), TypeError],
    ["a visitor that is no function (null)", () => createSurvey(null), TypeError],
    ["a size that is a string", () => createSurvey().end("12"), TypeError],
    ["a size below 0", () => createSurvey().end(-1), TypeError],
    ["a size not whole", () => createSurvey().end(1.5), TypeError],
    ["a writer that is no function", () => createConverter().push(bytes, 7), TypeError],
    ["push() after end(), converter", () => {
      const converter = createConverter();
      converter.end();
      converter.push(bytes);
    }, Error],
    ["push() after end(), survey", () => {
      const survey = createSurvey();
      survey.end(0);
      survey.push(bytes);
    }, Error],
  ];
  for (const [what, call, kind] of cases) {
    assert.throws(call, kind, what);
  }
  // What stays allowed: pieces after the walk ended (here at a length
  // bound of 0) are taken and ignored.
  const bound = new Uint8Array([0x34, 0x4f, 0x44, 0x33, 1, 0, 0, 0, 0, 0, 0, 0]);
  const converter = createConverter();
  converter.push(bound);
  assert.equal(converter.ended, true);
  assert.deepEqual(converter.push(new Uint8Array(16)), []);
  assert.equal(converter.end().outputLength, 12);
});
