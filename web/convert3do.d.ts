// Types of convert3do.mjs: the converter's core in WebAssembly, for browsers
// and Node.js. Every word and figure comes from the core, as the convert3do
// and 3do programs say them.

/** A model: its bytes. Anything else is a TypeError. */
export type ModelBytes = Uint8Array | ArrayBuffer | ArrayBufferView;

/** The library's statuses, as names. */
export type Outcome =
  | "converted" | "not_3do" | "cut_header" | "cut_chunk" | "chunk_too_large" | "read_failed"
  | "more" | "ended" | "bad_argument" | "too_little_room" | "out_of_turn" | "stopped";

/** What a finished conversion of bytes in memory can say. */
export type ConversionOutcome = "converted" | "not_3do" | "cut_header" | "cut_chunk" | "chunk_too_large";

/** What a conversion did: the fields of the C library's convert3do_result. */
export interface Result {
  outcome: ConversionOutcome;
  /** What convert3do exits with for this input: 0, or 4 for damage. */
  exitStatus: number;
  /** The damage in convert3do's words, or null. */
  damage: string | null;
  outputLength: number;
  chunkBytes: number;
  inputEnd: number;
  damageOffset: number;
  damageChunk: number;
  damagePayloadLength: number;
  damageAreaEnd: number;
}

/** convert(): the result and exactly what convert3do writes. */
export interface Conversion extends Result {
  output: Uint8Array;
}

/** A chunk as `3do info --json` lists it. */
export interface Chunk {
  offset: number;
  tag: string;
  chunk_word: number;
  payload_length: number;
  size: number;
  /** XYZS chunks only. */
  entries?: number;
  entries_to_change?: number;
}

/** The object `3do info --json` prints for a file, minus "file". */
export interface Info {
  chunks: Chunk[];
  size: number | null;
  is_3do: boolean;
  header_word: number | null;
  length_field: number | null;
  walk_end: "bound" | "unrecognised_tag" | "end_of_input" | "damaged" | "not_3do" | "stopped";
  /** The same in words, as `3do info` says it. */
  walk_end_text: string;
  end_offset: number | null;
  end_tag: string | null;
  overrun: number | null;
  damage_offset: number | null;
  damage_chunk_offset: number | null;
  damage: string | null;
  output_size: number;
  output_length_field: number | null;
  words_changed: number;
  bytes_dropped: number | null;
  already_converted: boolean;
  convert3do: "converts" | "empty_output" | "keeps_complete_chunks";
  "3do_convert": "converts" | "refuses" | "writes_nothing_without_salvage";
  exit_status: number;
}

/** Converts a whole model. */
export function convert(bytes: ModelBytes): Conversion;

/** What `3do info --json` says of a whole model, minus "file". */
export function info(bytes: ModelBytes): Info;

/** Receives a piece of output, valid only during the call. */
export type Writer = (view: Uint8Array) => void;

/**
 * A conversion of a model given in pieces; its header comes last. The
 * conversion is the output given (by push, then end's tail), cut at the
 * result's outputLength (a damaged model's output may run past it), with
 * the header written over its first 12 bytes; an outputLength of 0 means
 * nothing is written.
 */
export interface Converter {
  /** Whether the walk has ended: more pieces are taken and ignored. */
  readonly ended: boolean;
  /**
   * The output the piece makes, or, given write, an empty array (write has
   * it). Throws a TypeError for what is no model's bytes or no function, and
   * an Error after end().
   */
  push(bytes: ModelBytes, write?: Writer): Uint8Array[];
  /**
   * The result, with header (the 12 bytes to write at offset 0) and tail
   * (output not yet given, or, given write, an empty array). Called again,
   * the same result.
   */
  end(write?: Writer): Result & { header: Uint8Array; tail: Uint8Array[] };
}
export function createConverter(): Converter;

/** A survey of a model given in pieces. */
export interface Survey {
  readonly ended: boolean;
  /** Throws a TypeError for what is no model's bytes, and an Error after end(). */
  push(bytes: ModelBytes): void;
  /** The chunk the walk is in (its header read, not all its payload), or null between chunks. */
  current(): Chunk | null;
  /**
   * size: the model's size, a whole number; omitted when not known (size
   * and bytes_dropped are then null); anything else is a TypeError. Called
   * again, the same object. With onChunk, its chunks are empty.
   */
  end(size?: number): Info;
}
/** onChunk, a function or omitted (anything else is a TypeError), is given each chunk instead. */
export function createSurvey(onChunk?: (chunk: Chunk) => void): Survey;

/** The core's version, as the programs say it. */
export function version(): string;
