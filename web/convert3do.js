// convert3do for browsers and Node.js: the converter's core compiled to
// WebAssembly and inlined below, so the module is one file that fetches
// nothing. convert(bytes) gives exactly what the convert3do program writes;
// info(bytes) gives what one line of `3do info --json` says (minus "file");
// createConverter() and createSurvey() take a large model in pieces.
//
// This file is the body of both convert3do.mjs (with an export line added)
// and the page's inline script; web/build.mjs puts the module in place of
// the marker below.
const WASM_BASE64 = "@CONVERT3DO_WASM_BASE64@";

// Every word a user reads (status names, damage, tags, the object of
// `3do info --json`) comes from the library itself. The statuses' names and
// numbers are read from it when the module is first compiled:
// STATUS_NAMES[status] is a status's name, and MORE and ENDED the two a
// walk's calls answer with most.
const STATUS_NAMES = [];
let MORE = -1;
let ENDED = -1;

function readStatusNames(exports) {
  const bytes = new Uint8Array(exports.memory.buffer);
  for (let status = 0, at; (at = exports.convert3do_status_name(status)) !== 0; ++status) {
    STATUS_NAMES.push(new TextDecoder().decode(bytes.subarray(at, bytes.indexOf(0, at))));
  }
  MORE = STATUS_NAMES.indexOf("more");
  ENDED = STATUS_NAMES.indexOf("ended");
}

// The layout of an instance's memory, from the heap's base: the state of a
// converter or a survey, small variables, the chunks a piece met, and the
// data area for input and output.
const STATE = 0;
const VARIABLES = 2048;    // in, in_length, out, out_room: four 32-bit words
const NUMBERS = 2304;      // up to 32 float64 numbers
const DATA = 4096;         // input, output, and a survey's text after its input
const SURVEY_PIECE = 16384;  // a survey piece meets fewer chunks than the buffer holds
const PIECE = 1 << 20;       // the most a converter takes in one call

let compiled = null;

function decodeBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) {
    bytes[i] = binary.charCodeAt(i);
  }
  return bytes;
}

// Instances given back by converters and surveys that ended, to be used again:
// starting an instance costs more than converting a small model.
const idle = [];

// An instance of its own, so that converters never share state: one given
// back, or a fresh one.
function instantiate() {
  if (idle.length > 0) {
    return idle.pop();
  }
  if (compiled === null) {
    compiled = new WebAssembly.Module(decodeBase64(WASM_BASE64));
  }
  const exports = new WebAssembly.Instance(compiled, {}).exports;
  if (STATUS_NAMES.length === 0) {
    readStatusNames(exports);
  }
  const base = (exports.web_heap_base() + 15) & ~15;
  if (exports.convert3do_converter_size() > VARIABLES ||
      exports.convert3do_survey_size() > VARIABLES) {
    throw new Error("convert3do: the core's state does not fit its place");
  }
  return { exports, base, memory: exports.memory };
}

// Gives an instance back once its converter or survey has ended.
function release(core) {
  if (idle.length < 4) {
    idle.push(core);
  }
}

// The bytes of a model: a Uint8Array, an ArrayBuffer or any other
// ArrayBufferView; a TypeError for anything else.
function bytesOf(input) {
  if (input instanceof Uint8Array) {
    return input;
  }
  if (input instanceof ArrayBuffer) {
    return new Uint8Array(input);
  }
  if (ArrayBuffer.isView(input)) {
    return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  }
  throw new TypeError("convert3do: a model is a Uint8Array, an ArrayBuffer or another ArrayBufferView, " +
                      `not ${input === null ? "null" : typeof input}`);
}

// Makes the instance's memory reach at least end bytes.
function reserve(core, end) {
  const have = core.memory.buffer.byteLength;
  if (end > have) {
    core.memory.grow(Math.ceil((end - have) / 65536));
  }
}

function numbers(core, count) {
  return new Float64Array(core.memory.buffer, core.base + NUMBERS, count);
}

function resultOf(core, resultPointer) {
  core.exports.web_result_numbers(resultPointer, core.base + NUMBERS);
  const n = numbers(core, 8);
  return {
    outcome: STATUS_NAMES[n[0]],
    outputLength: n[1],
    chunkBytes: n[2],
    inputEnd: n[3],
    damageOffset: n[4],
    damageChunk: n[5],
    damagePayloadLength: n[6],
    damageAreaEnd: n[7],
  };
}

// Reads the NUL-free text of length bytes at pointer.
function textAt(core, pointer, length) {
  return new TextDecoder().decode(new Uint8Array(core.memory.buffer, pointer, length));
}

// A result with convert3do's exit status and, for damaged input, the damage
// in the library's words.
function described(core, result, resultPointer) {
  result.exitStatus = core.exports.convert3do_exit_status(STATUS_NAMES.indexOf(result.outcome));
  const text = core.base + NUMBERS + 1024;
  const length = core.exports.convert3do_result_damage_text(resultPointer, text, 512);
  result.damage = length > 0 ? textAt(core, text, Math.min(length, 511)) : null;
  return result;
}

let shared = null;  // the instance the one-shot calls use, one call at a time

// Converts a whole model: { outcome, exitStatus, output, ... }, where output
// is exactly what convert3do writes (empty for a file that is not a 3do file).
function convert(bytes) {
  const input = bytesOf(bytes);
  shared = shared || instantiate();
  const core = shared;
  const data = core.base + DATA;
  reserve(core, data + input.length + 16);
  new Uint8Array(core.memory.buffer, data, input.length).set(input);
  const resultPointer = core.base + STATE;
  core.exports.convert3do_convert_buffer(data, input.length, data, input.length, resultPointer);
  const result = described(core, resultOf(core, resultPointer), resultPointer);
  result.output = new Uint8Array(core.memory.buffer, data, result.outputLength).slice();
  return result;
}

// A streaming converter: push(piece) returns the output it makes (a list of
// Uint8Arrays, to be written one after another from offset 0), end() the
// result, with header (the 12 bytes to write at offset 0 at the end) and
// outputLength (where the output ends: cut anything written past it). Given
// a function, push(piece, write) and end(write) hand it each output piece
// instead, as a view valid only during the call: one copy fewer.
function createConverter() {
  const core = instantiate();
  const { exports } = core;
  const state = core.base + STATE;
  const vars = core.base + VARIABLES;
  const input = core.base + DATA;
  const output = input + PIECE;
  const room = PIECE + 64;
  reserve(core, output + room);
  exports.convert3do_converter_init(state, VARIABLES);
  let status = MORE;
  let finished = null;

  function feed(piece, atEnd, write) {
    new Uint8Array(core.memory.buffer, input, piece.length).set(piece);
    const words = new Uint32Array(core.memory.buffer, vars, 4);
    words[0] = input;
    words[1] = piece.length;
    do {
      words[2] = output;
      words[3] = room;
      status = exports.convert3do_convert(state, vars, vars + 4, vars + 8, vars + 12, atEnd ? 1 : 0);
      const length = words[2] - output;
      if (length > 0) {
        write(new Uint8Array(core.memory.buffer, output, length));
      }
    } while (status === MORE && (words[1] > 0 || atEnd));
  }

  function collect(write) {
    if (write !== undefined && typeof write !== "function") {
      throw new TypeError("convert3do: write must be a function");
    }
    const made = [];
    return { made, write: write || ((view) => made.push(view.slice())) };
  }

  return {
    get ended() {
      return status !== MORE;
    },
    push(bytes, write) {
      const input = bytesOf(bytes);
      const out = collect(write);
      if (finished !== null) {
        throw new Error("convert3do: push() after end()");
      }
      for (let at = 0; at < input.length && status === MORE; at += PIECE) {
        feed(input.subarray(at, Math.min(input.length, at + PIECE)), false, out.write);
      }
      return out.made;
    },
    end(write) {
      if (finished !== null) {
        return finished;  // the instance is given back: the result is kept
      }
      const out = collect(write);
      if (status === MORE) {
        feed(new Uint8Array(0), true, out.write);
      }
      const header = core.base + NUMBERS + 256;
      const resultPointer = core.base + NUMBERS + 512;
      exports.convert3do_converter_end(state, header, resultPointer);
      const result = described(core, resultOf(core, resultPointer), resultPointer);
      result.header = new Uint8Array(core.memory.buffer, header, 12).slice();
      result.tail = out.made;
      release(core);
      status = ENDED;
      finished = result;
      return result;
    },
  };
}

// A streaming survey: push(piece) as the input arrives, end(size) gives the
// object of info(); size is the input's size, or omitted when it is not known
// (size and bytes_dropped are then null). onChunk, when given, is called with
// each chunk instead of keeping them all.
function createSurvey(onChunk) {
  if (onChunk !== undefined && typeof onChunk !== "function") {
    throw new TypeError("convert3do: onChunk must be a function");
  }
  const core = instantiate();
  const { exports } = core;
  const state = core.base + STATE;
  const input = core.base + DATA;
  const text = input + SURVEY_PIECE;
  let room = 1 << 18;
  reserve(core, text + room);
  exports.web_survey_init(state, VARIABLES);
  const chunks = [];
  const visit = onChunk || ((chunk) => chunks.push(chunk));
  let status = MORE;
  let finished = null;

  // The object the library writes as JSON at text.
  function json(length) {
    return JSON.parse(textAt(core, text, length));
  }

  function take() {
    let length = exports.web_chunks_json(text, room);
    if (length >= room) {
      room = length + 1;
      reserve(core, text + room);
      length = exports.web_chunks_json(text, room);
    }
    for (const chunk of json(length)) {
      visit(chunk);
    }
  }

  function feed(piece, atEnd) {
    new Uint8Array(core.memory.buffer, input, piece.length).set(piece);
    status = exports.convert3do_survey_feed(state, input, piece.length, atEnd ? 1 : 0);
    take();
  }

  return {
    get ended() {
      return status !== MORE;
    },
    push(bytes) {
      const input = bytesOf(bytes);
      if (finished !== null) {
        throw new Error("convert3do: push() after end()");
      }
      for (let at = 0; at < input.length && status === MORE; at += SURVEY_PIECE) {
        feed(input.subarray(at, Math.min(input.length, at + SURVEY_PIECE)), false);
      }
    },
    // The chunk the walk is in (its header read, not all its payload), as
    // the chunks handed out are, or null between chunks.
    current() {
      const chunk = core.base + NUMBERS + 1024;
      if (status !== MORE || exports.convert3do_survey_current(state, chunk) === 0) {
        return null;
      }
      return json(exports.convert3do_chunk_json(chunk, text, room));
    },
    end(size) {
      if (size !== undefined && !(Number.isSafeInteger(size) && size >= 0)) {
        throw new TypeError("convert3do: size must be a whole number of bytes, or omitted");
      }
      if (finished !== null) {
        return finished;
      }
      if (status === MORE) {
        feed(new Uint8Array(0), true);
      }
      const infoPointer = core.base + NUMBERS + 512;
      exports.convert3do_survey_end(state, BigInt(size === undefined ? -1 : size), infoPointer);
      const object = json(exports.convert3do_info_json(infoPointer, 0, 0, text, room));
      object.chunks = chunks;
      release(core);
      status = ENDED;
      finished = object;
      return object;
    },
  };
}

// The ranges of a model that a conversion rewrites (its XYZS chunks, with
// what lies between two of them less than NEAR bytes apart), found by a
// survey walked over the same pieces: push(piece) gives the ranges met, as
// [start, end] pairs, the last one perhaps open to the bytes to come (the
// chunk the walk is in). For the page's downloads, which copy only these.
function createRewriteMap(near = 4096) {
  const core = instantiate();
  const { exports } = core;
  const state = core.base + STATE;
  const input = core.base + DATA;
  const pairs = input + SURVEY_PIECE;
  reserve(core, pairs + 2048 * 16);
  exports.web_survey_init(state, VARIABLES);
  let status = MORE;
  const current = core.base + NUMBERS + 1024;
  return {
    get ended() {
      return status !== MORE;
    },
    push(bytes) {
      const met = [];
      for (let at = 0; at < bytes.length && status === MORE; at += SURVEY_PIECE) {
        const piece = bytes.subarray(at, Math.min(bytes.length, at + SURVEY_PIECE));
        new Uint8Array(core.memory.buffer, input, piece.length).set(piece);
        status = exports.convert3do_survey_feed(state, input, piece.length, 0);
        const count = exports.web_take_xyzs(pairs, near);
        const numbers = new Float64Array(core.memory.buffer, pairs, count * 2);
        for (let i = 0; i < count; ++i) {
          met.push([numbers[2 * i], numbers[2 * i + 1]]);
        }
      }
      if (status === MORE && exports.web_current_xyzs(state, current) === 1) {
        const numbers = new Float64Array(core.memory.buffer, current, 2);
        met.push([numbers[0], numbers[1]]);
      }
      return met;
    },
    end() {
      release(core);
      status = ENDED;
    },
  };
}

// What `3do info --json` says of a whole model, minus "file".
function info(bytes) {
  const input = bytesOf(bytes);
  const survey = createSurvey();
  survey.push(input);
  return survey.end(input.length);
}

function version() {
  shared = shared || instantiate();
  const pointer = shared.exports.convert3do_version();
  const bytes = new Uint8Array(shared.memory.buffer, pointer, 32);
  return String.fromCharCode(...bytes.subarray(0, bytes.indexOf(0)));
}
