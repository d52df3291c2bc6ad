// The worker, on zip archives (mods): the models in one, found by their
// bytes whatever their names, listed and converted; every other entry is
// copied as it is stored, its local header and bytes a slice of the file that
// is never read, so its contents, name, time and place stay byte for byte.
// The central directory and the end records are the archive's own, with only
// what moved rewritten. Refused as 3do refuses them, in its words (ZIP_SAY,
// from its message table): cut short or split, end records and central
// directory that disagree, entries that share bytes or state more than
// deflate can make, unsafe or duplicate names, an encrypted model or one
// compressed other than stored or deflated, a CRC or size that does not
// match. Archives inside are opened in turn, three deep (the archive, those
// in it, and those in them), as 3do opens them; deeper ones are copied.
const ZIP_LOCAL = 0x04034b50;
const ZIP_CENTRAL = 0x02014b50;
const ZIP_END = 0x06054b50;
const ZIP_END64 = 0x06064b50;
const ZIP_LOCATOR64 = 0x07064b50;
const ZIP_DESCRIPTOR = 0x08074b50;
const ZIP_MOST_RATIO = 1032;
const HEADER_WINDOW = 64 * 1024;

// A message of 3do's table with its %s (and %u, %llu) filled in order.
function zipSay(format, ...values) {
  return format.replace(/%(s|u|llu)/g, () => String(values.shift()));
}

function zipRefusal(format, ...values) {
  return new Error(zipSay(format, ...values));
}

function startsLikeZip(bytes) {
  return bytes.length >= 4 && bytes[0] === 0x50 && bytes[1] === 0x4b &&
         ((bytes[2] === 3 && bytes[3] === 4) || (bytes[2] === 5 && bytes[3] === 6));
}

async function sliceOf(file, from, to) {
  try {
    return new Uint8Array(await file.slice(from, to).arrayBuffer());
  } catch (error) {
    throw readFailure(error);
  }
}

const CRC_TABLE = (() => {
  const table = new Int32Array(256);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) {
      c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    }
    table[n] = c;
  }
  return table;
})();

function crc32(bytes) {
  let c = -1;
  for (let i = 0; i < bytes.length; ++i) {
    c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  }
  return (c ^ -1) >>> 0;
}

// The end records: where the central directory is and how many entries it
// holds; the Zip64 ones where a locator stands before the end record.
async function zipEnds(file) {
  const tailLength = Math.min(file.size, 22 + 65535);
  const tail = await sliceOf(file, file.size - tailLength, file.size);
  const view = new DataView(tail.buffer);
  for (let i = tail.length - 22; i >= 0; --i) {
    if (view.getUint32(i, true) !== ZIP_END || i + 22 + view.getUint16(i + 20, true) !== tail.length) {
      continue;
    }
    const at = file.size - tailLength + i;
    if (view.getUint16(i + 4, true) !== 0) {
      throw zipRefusal(ZIP_SAY.kZipSplit);
    }
    let ends = { end: at, endAt: at, end64: -1, entries: view.getUint16(i + 10, true),
                 size: view.getUint32(i + 12, true), offset: view.getUint32(i + 16, true) };
    if (i >= 20 && view.getUint32(i - 20, true) === ZIP_LOCATOR64) {
      const end64 = Number(view.getBigUint64(i - 12, true));
      const record = new DataView((await sliceOf(file, end64, end64 + 56)).buffer);
      if (record.byteLength < 56 || record.getUint32(0, true) !== ZIP_END64) {
        throw zipRefusal(ZIP_SAY.kZipDirectory);
      }
      ends = { ...ends, endAt: end64, end64, entries: Number(record.getBigUint64(32, true)),
               size: Number(record.getBigUint64(40, true)), offset: Number(record.getBigUint64(48, true)) };
    }
    if (ends.offset + ends.size !== ends.endAt || ends.entries > ends.size / 46) {
      throw zipRefusal(ZIP_SAY.kZipDirectory);
    }
    return ends;
  }
  throw zipRefusal(ZIP_SAY.kZipNoEndRecord);
}

// Where a Zip64 extra field holds the sizes and offset the fields mark, as
// offsets into the record.
function zip64Fields(record, extraAt, extraLength, marked) {
  const view = new DataView(record.buffer, record.byteOffset, record.byteLength);
  const fields = {};
  for (let at = extraAt; at + 4 <= extraAt + extraLength;) {
    const id = view.getUint16(at, true);
    const length = view.getUint16(at + 2, true);
    if (id === 1) {
      let field = at + 4;
      for (const name of ["size", "compressedSize", "header"].filter((n) => marked[n])) {
        fields[name] = field;
        field += 8;
      }
      if (field > at + 4 + length) {
        throw zipRefusal(ZIP_SAY.kZipDirectory);
      }
      return fields;
    }
    at += 4 + length;
  }
  if (Object.values(marked).some(Boolean)) {
    throw zipRefusal(ZIP_SAY.kZipDirectory);
  }
  return fields;
}

// The central directory's entries, each with its record (kept, to be
// written again) and its fields.
function directoryEntries(directory, count) {
  const view = new DataView(directory.buffer, directory.byteOffset, directory.byteLength);
  const entries = [];
  let at = 0;
  for (let n = 0; n < count; ++n) {
    if (at + 46 > directory.length || view.getUint32(at, true) !== ZIP_CENTRAL) {
      throw zipRefusal(ZIP_SAY.kZipDirectory);
    }
    const nameLength = view.getUint16(at + 28, true);
    const extraLength = view.getUint16(at + 30, true);
    const end = at + 46 + nameLength + extraLength + view.getUint16(at + 32, true);
    if (end > directory.length) {
      throw zipRefusal(ZIP_SAY.kZipDirectory);
    }
    const record = directory.slice(at, end);
    const e = { record, flags: view.getUint16(at + 8, true), method: view.getUint16(at + 10, true),
                crc: view.getUint32(at + 16, true), compressedSize: view.getUint32(at + 20, true),
                size: view.getUint32(at + 24, true), header: view.getUint32(at + 42, true),
                name: new TextDecoder().decode(record.subarray(46, 46 + nameLength)) };
    const marked = { size: e.size === 0xffffffff, compressedSize: e.compressedSize === 0xffffffff,
                     header: e.header === 0xffffffff };
    e.zip64 = zip64Fields(record, 46 + nameLength, extraLength, marked);
    const rv = new DataView(record.buffer);
    for (const [name, field] of Object.entries(e.zip64)) {
      e[name] = Number(rv.getBigUint64(field, true));
    }
    entries.push(e);
    at = end;
  }
  if (at !== directory.length) {
    throw zipRefusal(ZIP_SAY.kZipDirectory);
  }
  return entries;
}

// Reads each entry's local header: where its bytes start, and where it ends
// (past its data descriptor). Headers near one another come in one read.
async function placeEntries(file, entries, directoryAt) {
  let window = null;
  let windowAt = 0;
  const bytesAt = async (from, length) => {
    if (window === null || from < windowAt || from + length > windowAt + window.length) {
      windowAt = from;
      window = await sliceOf(file, from, Math.min(directoryAt, from + Math.max(length, HEADER_WINDOW)));
    }
    return window.subarray(from - windowAt, from - windowAt + length);
  };
  for (const e of [...entries].sort((a, b) => a.header - b.header)) {
    const local = await bytesAt(e.header, 30);
    const view = new DataView(local.buffer, local.byteOffset, local.byteLength);
    if (local.length < 30 || view.getUint32(0, true) !== ZIP_LOCAL) {
      throw zipRefusal(ZIP_SAY.kZipLocalHeader, e.name);
    }
    e.localLength = 30 + view.getUint16(26, true) + view.getUint16(28, true);
    e.data = e.header + e.localLength;
    e.end = e.data + e.compressedSize;
    if (e.flags & 8) {
      const signature = await bytesAt(e.end, 4);
      const signed = signature.length === 4 && new DataView(signature.buffer, signature.byteOffset).getUint32(0, true) === ZIP_DESCRIPTOR;
      e.end += (signed ? 4 : 0) + (e.zip64.size !== undefined ? 20 : 12);
    }
    if (e.end > directoryAt) {
      throw zipRefusal(ZIP_SAY.kZipLocalHeader, e.name);
    }
  }
}

// The rules that need every entry: no two share bytes or a name; no name is
// unsafe; no deflated entry states more than deflate can make of its bytes.
function checkEntries(entries) {
  const byPlace = [...entries].sort((a, b) => a.header - b.header);
  for (let i = 1; i < byPlace.length; ++i) {
    if (byPlace[i - 1].end > byPlace[i].header) {
      throw zipRefusal(ZIP_SAY.kZipOverlap, byPlace[i - 1].name, byPlace[i].name);
    }
  }
  const names = new Set();
  for (const e of entries) {
    if (/^[\/\\]|^[A-Za-z]:|[\x00-\x1f\x7f]|(^|[\/\\])\.\.([\/\\]|$)/.test(e.name)) {
      throw zipRefusal(ZIP_SAY.kZipUnsafeName, e.name);
    }
    if (names.has(e.name)) {
      throw zipRefusal(ZIP_SAY.kZipDuplicate, e.name);
    }
    names.add(e.name);
    const encrypted = e.flags & 1;
    if (!encrypted && ((e.method === 0 && e.size !== e.compressedSize) ||
                       (e.method === 8 && e.size > ZIP_MOST_RATIO * e.compressedSize))) {
      throw zipRefusal(ZIP_SAY.kZipRatio, e.name, e.size, e.compressedSize);
    }
  }
}

// The archive's layout, checked: its end records and its entries.
async function readArchive(file) {
  const ends = await zipEnds(file);
  const directory = await sliceOf(file, ends.offset, ends.offset + ends.size);
  const entries = directoryEntries(directory, ends.entries);
  await placeEntries(file, entries, ends.offset);
  checkEntries(entries);
  return { ends, entries };
}

// Bytes through one of the browser's own compression streams (zlib).
async function throughStream(bytes, stream) {
  return new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer());
}

// Deflated bytes inflated (fflate: a stream costs more to set up than it
// saves, at any size measured).
async function inflated(stored) {
  return fflate.inflateSync(stored);
}

// Bytes deflated at a level: a large model at zlib's default, 6, by the
// browser's own stream (1.5 times quicker from 4 MB on; no quicker below),
// anything else by fflate.
const STREAM_DEFLATE = 1 << 20;
async function deflated(bytes, level) {
  return level === 6 && bytes.length >= STREAM_DEFLATE && typeof CompressionStream === "function"
    ? throughStream(bytes, new CompressionStream("deflate-raw"))
    : fflate.deflateSync(bytes, { level });
}

// An entry's contents, its CRC and size checked.
async function entryContents(file, e) {
  const stored = await sliceOf(file, e.data, e.data + e.compressedSize);
  let contents;
  try {
    contents = e.method === 8 ? await inflated(stored) : stored;
  } catch (error) {
    throw zipRefusal(ZIP_SAY.kZipInflate, e.name, error.message);
  }
  if (contents.length !== e.size) {
    throw zipRefusal(ZIP_SAY.kZipSize, e.name);
  }
  if (crc32(contents) !== e.crc) {
    throw zipRefusal(ZIP_SAY.kZipCrc, e.name);
  }
  return contents;
}

const ARCHIVE_DEPTH = 3;

// What the entry is, from its first bytes: "model", "archive" (opened in
// turn, above ARCHIVE_DEPTH) or "other". One that cannot be read is a
// model when its name ends in .3do, and is refused.
async function kindOf(file, e, depth) {
  const readable = !(e.flags & 1) && (e.method === 0 || e.method === 8);
  if (!readable) {
    if (/\.3do$/i.test(e.name)) {
      throw e.flags & 1 ? zipRefusal(ZIP_SAY.kZipEncryptedModel, e.name)
                        : zipRefusal(ZIP_SAY.kZipMethodModel, e.name, e.method);
    }
    return "other";
  }
  if (e.size === 0) {
    return "other";
  }
  let start = await sliceOf(file, e.data, e.data + Math.min(e.compressedSize, e.method === 8 ? 65536 : 16));
  if (e.method === 8) {
    const pieces = [];
    try {
      new fflate.Inflate((piece) => pieces.push(piece)).push(start, false);
    } catch (error) {
      throw zipRefusal(ZIP_SAY.kZipInflate, e.name, error.message);
    }
    start = pieces.length > 0 ? pieces[0] : (await entryContents(file, e)).subarray(0, 16);
  }
  if (info(start.subarray(0, 16)).walk_end !== "not_3do") {
    return "model";
  }
  return startsLikeZip(start) && depth + 1 < ARCHIVE_DEPTH ? "archive" : "other";
}

// Whether the file starts as a zip archive does.
async function isArchive(file) {
  return file.size >= 4 && startsLikeZip(await sliceOf(file, 0, 4));
}

// The models of an archive, each surveyed: [{ entry, info }], an entry of
// an archive inside named after it ("inner.zip \u203a a.3do").
async function listArchive(file, depth = 0) {
  const { entries } = await readArchive(file);
  const models = [];
  for (const e of entries) {
    const kind = await kindOf(file, e, depth);
    if (kind === "model") {
      models.push({ entry: e.name, info: info(await entryContents(file, e)) });
    } else if (kind === "archive") {
      const inner = await listArchive(new Blob([await entryContents(file, e)]), depth + 1);
      models.push(...inner.map((m) => ({ entry: `${e.name} \u203a ${m.entry}`, info: m.info })));
    }
  }
  if (models.length === 0 && depth === 0) {
    throw new Error(ZIP_SAY.kZipNoModels);
  }
  return models;
}

// Sets a field of a record (a DataView's bytes): in place, or in its Zip64
// extra field where one holds it; false when neither can hold the value.
function setZipField(view, at, value, zip64At) {
  if (zip64At !== undefined) {
    view.setBigUint64(zip64At, BigInt(value), true);
    return true;
  }
  if (value >= 0xffffffff) {
    return false;
  }
  view.setUint32(at, value, true);
  return true;
}

// The central directory record of an entry where the output puts it, with
// a converted model's CRC and sizes.
function movedRecord(e) {
  const record = e.record.slice();
  const view = new DataView(record.buffer);
  let fits = setZipField(view, 42, e.movedTo, e.zip64.header);
  if (e.made) {
    view.setUint16(8, e.flags & ~8, true);
    view.setUint32(16, e.made.crc, true);
    fits = setZipField(view, 20, e.made.stored.length, e.zip64.compressedSize) &&
           setZipField(view, 24, e.made.size, e.zip64.size) && fits;
  }
  if (!fits) {
    throw zipRefusal(ZIP_SAY.kZipDirectory);
  }
  return record;
}

// A converted model's local header: its own, with the new CRC and sizes,
// and no data descriptor (its sizes are known before its bytes).
function madeLocalHeader(local, made) {
  const header = local.slice();
  const view = new DataView(header.buffer);
  view.setUint16(6, view.getUint16(6, true) & ~8, true);
  view.setUint32(14, made.crc, true);
  const nameLength = view.getUint16(26, true);
  const marked = view.getUint32(18, true) === 0xffffffff || view.getUint32(22, true) === 0xffffffff;
  const fields = zip64Fields(header, 30 + nameLength, view.getUint16(28, true),
                             { size: marked, compressedSize: marked });
  if (!setZipField(view, 22, made.size, fields.size) ||
      !setZipField(view, 18, made.stored.length, fields.compressedSize)) {
    throw zipRefusal(ZIP_SAY.kZipDirectory);
  }
  return header;
}

// What a model entry becomes: null when its conversion changes nothing.
async function convertEntry(file, e, salvage) {
  const contents = await entryContents(file, e);
  const result = convert(contents);
  if (result.damage && !salvage) {
    const refusal = zipRefusal(ZIP_SAY.kZipEntryDamaged, e.name, result.damage);
    refusal.salvageable = true;
    throw refusal;
  }
  const output = result.output;
  if (output.length === contents.length && output.every((byte, i) => byte === contents[i])) {
    return null;
  }
  return { ...await madeOf(e, output), damaged: Boolean(result.damage), models: 1 };
}

// An entry's new contents, stored or deflated as it was.
async function madeOf(e, contents) {
  const level = [6, 9, 2, 1][(e.flags >> 1) & 3];
  const stored = e.method === 8 ? await deflated(contents, level) : contents;
  return { crc: crc32(contents), size: contents.length, stored };
}

// What an archive entry becomes: null when nothing in it changes.
async function convertInner(file, e, salvage, depth) {
  const inner = await convertArchive(new Blob([await entryContents(file, e)]), salvage, () => {}, depth + 1);
  if (inner.changed === 0) {
    return { unchanged: inner.models };
  }
  const contents = new Uint8Array(await inner.output.arrayBuffer());
  return { ...await madeOf(e, contents), damaged: inner.salvaged > 0, models: inner.models };
}

// The archive's end records with the central directory's new place.
async function movedEnds(file, ends, directoryAt, directorySize) {
  const bytes = await sliceOf(file, ends.endAt, file.size);
  const view = new DataView(bytes.buffer);
  const end = ends.end - ends.endAt;
  let fits = true;
  if (ends.end64 >= 0) {
    view.setBigUint64(40, BigInt(directorySize), true);
    view.setBigUint64(48, BigInt(directoryAt), true);
    view.setBigUint64(end - 12, BigInt(directoryAt + directorySize), true);
  }
  for (const [at, value] of [[end + 12, directorySize], [end + 16, directoryAt]]) {
    if (view.getUint32(at, true) !== 0xffffffff) {
      fits = setZipField(view, at, value) && fits;
    }
  }
  if (!fits) {
    throw zipRefusal(ZIP_SAY.kZipDirectory);
  }
  return bytes;
}

// Converts the archive: { output (a Blob), models, changed, salvaged }.
// Entries are written in the order of their bytes; a model whose conversion
// changes nothing, and every other entry, is a slice of the file.
async function convertArchive(file, salvage, reached = () => {}, depth = 0) {
  const { ends, entries } = await readArchive(file);
  const parts = [];
  let at = 0;
  const figures = { models: 0, changed: 0, salvaged: 0 };
  for (const e of [...entries].sort((a, b) => a.header - b.header)) {
    e.movedTo = at;
    e.made = null;
    const kind = await kindOf(file, e, depth);
    if (kind !== "other") {
      e.made = kind === "model" ? await convertEntry(file, e, salvage) : await convertInner(file, e, salvage, depth);
      figures.models += e.made === null ? 1 : e.made.models || e.made.unchanged;
      e.made = e.made && e.made.stored ? e.made : null;
    }
    if (e.made) {
      const header = madeLocalHeader(await sliceOf(file, e.header, e.data), e.made);
      parts.push(header, e.made.stored);
      at += header.length + e.made.stored.length;
      figures.changed += 1;
      figures.salvaged += e.made.damaged ? 1 : 0;
    } else {
      parts.push(file.slice(e.header, e.end));
      at += e.end - e.header;
    }
    reached(e.end);
  }
  if (figures.models === 0 && depth === 0) {
    throw new Error(ZIP_SAY.kZipNoModels);
  }
  const directoryAt = at;
  for (const e of entries) {
    const record = movedRecord(e);
    parts.push(record);
    at += record.length;
    e.made = null;
  }
  parts.push(await movedEnds(file, ends, directoryAt, at - directoryAt));
  return { output: new Blob(parts), ...figures };
}
