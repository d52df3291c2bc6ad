// The worker, reading: a file's bytes whole, or in pieces. A file that
// cannot be read says why in the user's words.
const READ_PIECE = 8 << 20;
const READS_AHEAD = 4;
const SMALL = 1 << 20;  // a model up to this size is read whole, in one read

// Why a file read fails, for the user: most often it was changed or removed
// on disk after it was listed (the browser then says "network error").
function readFailure(error) {
  const name = error && error.name;
  if (name === "NotReadableError" || name === "NotFoundError" || /network error/i.test(String(error && error.message))) {
    return new Error("cannot be read: it was changed or removed after it was listed");
  }
  return new Error(`cannot be read: ${error && error.message || error}`);
}

async function readWhole(file) {
  try {
    return new Uint8Array(await file.arrayBuffer());
  } catch (error) {
    throw readFailure(error);
  }
}

// The file's pieces in order, from byte 0: slices of the file, each read
// whole (arrayBuffer), a few read at once. Never through the file's byte
// stream, though a stream read into one buffer used again is quicker: in
// Chromium such a read was seen to wait for good (a 40-byte file picked
// from disk, once in some hundred jobs), where reads of slices never did.
async function* pieces(file) {
  const reads = [];
  let asked = 0;
  for (let at = 0; at < file.size; at += READ_PIECE) {
    for (; reads.length < READS_AHEAD && asked < file.size; asked += READ_PIECE) {
      const read = file.slice(asked, asked + READ_PIECE).arrayBuffer();
      read.catch(() => {});  // left unheeded when the consumer stops early
      reads.push(read);
    }
    let piece;
    try {
      piece = new Uint8Array(await reads.shift());
    } catch (error) {
      throw readFailure(error);
    }
    yield piece;
  }
}

// Reads of many small files: each read of a file has a cost of its own, so
// small files that come one after another are read in groups, each group as
// one Blob of them (500 tiny models: 0.15 s, against 0.25 to 0.45 s read one
// by one, sixteen at a time), two groups under way at once. A group that
// cannot be read is read again file by file, so the file that fails says why
// and the others are read. ahead(i) gives the bytes of files[i] when it is
// small, null otherwise.
const GROUP_FILES = 64;
const GROUP_BYTES = 4 << 20;
const GROUPS_AHEAD = 2;

function readsAhead(files) {
  const started = new Map();
  const groupEnds = [];  // the index after each group started
  let next = 0;
  const startGroup = () => {
    const members = [];
    let bytes = 0;
    for (; next < files.length && members.length < GROUP_FILES; ++next) {
      const size = files[next].size;
      if (size > SMALL) {
        continue;
      }
      if (members.length > 0 && bytes + size > GROUP_BYTES) {
        break;
      }
      members.push(next);
      bytes += size;
    }
    groupEnds.push(next);
    const whole = members.length > 1 ? readWhole(new Blob(members.map((i) => files[i]))) : null;
    let at = 0;
    for (const index of members) {
      const from = at;
      const to = (at += files[index].size);
      const read = whole ? whole.then((all) => all.slice(from, to), () => readWhole(files[index]))
                         : readWhole(files[index]);
      read.catch(() => {});  // heeded when its turn comes
      started.set(index, read);
    }
  };
  return (i) => {
    while (groupEnds.length > 0 && groupEnds[0] <= i) {
      groupEnds.shift();
    }
    while (next < files.length && (next <= i || groupEnds.length < GROUPS_AHEAD)) {
      startGroup();
    }
    const read = started.get(i);
    started.delete(i);
    return read || null;
  };
}
