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

const STATUS_NAMES = ["converted", "not_3do", "cut_header", "cut_chunk", "chunk_too_large",
                      "read_failed", "more", "ended", "bad_argument"];
const WALK_ENDS = ["bound", "unrecognised_tag", "end_of_input", "damaged", "not_3do"];
const MORE = 6;
const ENDED = 7;
const XYZS = 0x58595a53;

// The layout of an instance's memory, from the heap's base: the state of a
// converter or a survey, small variables, the chunks a piece met, and the
// data area for input and output.
const STATE = 0;
const VARIABLES = 2048;    // in, in_length, out, out_room: four 32-bit words
const NUMBERS = 2304;      // up to 32 float64 numbers
const CHUNKS = 4096;       // 2048 chunks of 7 float64 numbers
const DATA = 4096 + 2048 * 7 * 8;
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

// A fresh instance: its own memory, so that converters never share state.
function instantiate() {
  if (compiled === null) {
    compiled = new WebAssembly.Module(decodeBase64(WASM_BASE64));
  }
  const exports = new WebAssembly.Instance(compiled, {}).exports;
  const base = (exports.web_heap_base() + 15) & ~15;
  if (exports.convert3do_converter_size() > VARIABLES ||
      exports.convert3do_survey_size() > VARIABLES) {
    throw new Error("convert3do: the core's state does not fit its place");
  }
  return { exports, base, memory: exports.memory };
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

// The exit status convert3do gives for an outcome.
function exitStatus(outcome) {
  return outcome === "converted" || outcome === "not_3do" ? 0 : 4;
}

let shared = null;  // the instance the one-shot calls use, one call at a time

// Converts a whole model: { outcome, exitStatus, output, ... }, where output
// is exactly what convert3do writes (empty for a file that is not a 3do file).
function convert(bytes) {
  const input = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  shared = shared || instantiate();
  const core = shared;
  const data = core.base + DATA;
  reserve(core, data + input.length + 16);
  new Uint8Array(core.memory.buffer, data, input.length).set(input);
  const resultPointer = core.base + STATE;
  core.exports.convert3do_convert_buffer(data, input.length, data, input.length, resultPointer);
  const result = resultOf(core, resultPointer);
  result.exitStatus = exitStatus(result.outcome);
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
    const made = [];
    return { made, write: write || ((view) => made.push(view.slice())) };
  }

  return {
    get ended() {
      return status !== MORE;
    },
    push(bytes, write) {
      const out = collect(write);
      for (let at = 0; at < bytes.length && status === MORE; at += PIECE) {
        feed(bytes.subarray(at, Math.min(bytes.length, at + PIECE)), false, out.write);
      }
      return out.made;
    },
    end(write) {
      const out = collect(write);
      if (status === MORE) {
        feed(new Uint8Array(0), true, out.write);
      }
      const header = core.base + NUMBERS + 256;
      const resultPointer = core.base + NUMBERS + 512;
      exports.convert3do_converter_end(state, header, resultPointer);
      const result = resultOf(core, resultPointer);
      result.exitStatus = exitStatus(result.outcome);
      result.header = new Uint8Array(core.memory.buffer, header, 12).slice();
      result.tail = out.made;
      return result;
    },
  };
}

function tagText(tag) {
  const chars = [tag >>> 24, (tag >>> 16) & 255, (tag >>> 8) & 255, tag & 255];
  if (chars.every((c) => c >= 0x20 && c <= 0x7e)) {
    return String.fromCharCode(...chars);
  }
  return "0x" + (tag >>> 0).toString(16).toUpperCase().padStart(8, "0");
}

// Damage in the words both programs use.
function damageText(info) {
  if (info.outcome === "cut_header") {
    return `cut at byte ${info.damageOffset}, inside the 12-byte header`;
  }
  if (info.outcome === "chunk_too_large") {
    return `the chunk at byte ${info.damageChunk} (payload length ${info.damagePayloadLength}) ` +
           `would take the chunk area to ${info.damageAreaEnd} bytes, more than a 3do file can ` +
           "hold (2147483647)";
  }
  return `cut at byte ${info.damageOffset}, inside the chunk at byte ${info.damageChunk}`;
}

// A streaming survey: push(piece) as the input arrives, end(size) gives the
// object of info(); size is the input's size, or omitted for the bytes read.
// onChunk, when given, is called with each chunk instead of keeping them all.
function createSurvey(onChunk) {
  const core = instantiate();
  const { exports } = core;
  const state = core.base + STATE;
  const input = core.base + DATA;
  reserve(core, input + SURVEY_PIECE);
  exports.web_survey_init(state, VARIABLES);
  const chunks = [];
  const visit = onChunk || ((chunk) => chunks.push(chunk));
  let status = MORE;

  function take() {
    const count = exports.web_take_chunks(core.base + CHUNKS);
    const n = new Float64Array(core.memory.buffer, core.base + CHUNKS, count * 7);
    for (let i = 0; i < count; ++i) {
      const o = 7 * i;
      const chunk = { offset: n[o], tag: tagText(n[o + 1]), chunk_word: n[o + 2],
                      payload_length: n[o + 3], size: n[o + 4] };
      if (n[o + 1] === XYZS) {
        chunk.entries = n[o + 5];
        chunk.entries_to_change = n[o + 6];
      }
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
      for (let at = 0; at < bytes.length && status === MORE; at += SURVEY_PIECE) {
        feed(bytes.subarray(at, Math.min(bytes.length, at + SURVEY_PIECE)), false);
      }
    },
    end(size) {
      if (status === MORE) {
        feed(new Uint8Array(0), true);
      }
      const infoPointer = core.base + NUMBERS + 512;
      exports.convert3do_survey_end(state, BigInt(size === undefined ? -1 : size), infoPointer);
      exports.web_info_numbers(infoPointer, core.base + NUMBERS);
      return infoObject(numbers(core, 20), chunks);
    },
  };
}

// The object of one line of `3do info --json`, field for field, minus "file".
function infoObject(n, chunks) {
  const i = {
    size: n[0], is3do: n[1] !== 0, headerComplete: n[2] !== 0, headerWord: n[3],
    lengthField: n[4], chunkCount: n[5], chunkBytes: n[6], walkEnd: WALK_ENDS[n[7]],
    overrun: n[8], endOffset: n[9], endTag: n[10], damageOffset: n[11], damageChunk: n[12],
    damagePayloadLength: n[13], damageAreaEnd: n[14], outcome: STATUS_NAMES[n[15]],
    outputSize: n[16], wordsChanged: n[17], bytesDropped: n[18], alreadyConverted: n[19] !== 0,
  };
  const notA3do = i.walkEnd === "not_3do";
  const damaged = i.walkEnd === "damaged";
  return {
    chunks,
    size: i.size,
    is_3do: i.is3do,
    header_word: i.headerComplete ? i.headerWord : null,
    length_field: i.headerComplete ? i.lengthField : null,
    walk_end: i.walkEnd,
    end_offset: i.walkEnd === "unrecognised_tag" ? i.endOffset : null,
    end_tag: i.walkEnd === "unrecognised_tag" ? tagText(i.endTag) : null,
    overrun: i.walkEnd === "bound" ? i.overrun : null,
    damage_offset: damaged ? i.damageOffset : null,
    damage_chunk_offset: damaged ? i.damageChunk : null,
    damage: damaged ? damageText(i) : null,
    output_size: i.outputSize,
    output_length_field: i.outputSize > 0 ? i.chunkBytes : null,
    words_changed: i.wordsChanged,
    bytes_dropped: i.bytesDropped,
    already_converted: i.alreadyConverted,
    convert3do: notA3do ? "empty_output" : damaged ? "keeps_complete_chunks" : "converts",
    "3do_convert": notA3do ? "refuses" : damaged ? "writes_nothing_without_salvage" : "converts",
    exit_status: exitStatus(i.outcome),
  };
}

// What `3do info --json` says of a whole model, minus "file".
function info(bytes) {
  const input = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
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
