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

// The file's pieces in order, from byte 0, each valid until the next is
// asked for: read through the file's byte stream into one buffer used again
// and again, which is quickest by far where there is one (three times the
// speed of slices here, and no fresh memory to fault in), else as slices, a
// few read at once. Each piece is filled whole but the last. (A Blob the
// page made is never read this way: such reads were seen to wait for good.)
async function* pieces(file) {
  let reader = null;
  try {
    reader = file.stream().getReader({ mode: "byob" });
  } catch {
    yield* slices(file);
    return;
  }
  let buffer = new ArrayBuffer(Math.min(READ_PIECE, Math.max(file.size, 1)));
  try {
    for (let ended = false; !ended;) {
      let filled = 0;
      while (filled < buffer.byteLength) {
        let answer;
        try {
          answer = await reader.read(new Uint8Array(buffer, filled));
        } catch (error) {
          throw readFailure(error);
        }
        if (answer.value === undefined) {
          throw readFailure(new Error("the file's stream stopped"));
        }
        buffer = answer.value.buffer;  // the same memory, handed back
        filled += answer.value.length;
        if (answer.done) {
          ended = true;
          break;
        }
      }
      if (filled > 0) {
        yield new Uint8Array(buffer, 0, filled);
      }
    }
  } finally {
    reader.cancel().catch(() => {});
  }
}

async function* slices(file) {
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

// Reads of many small files, a few under way at once (each read of a file
// has a cost of its own, which reads side by side share): ahead(i) gives the
// bytes of files[i] when it is small, null otherwise, starting the reads of
// the next ones.
function readsAhead(files, count = 16) {
  const started = new Map();
  let next = 0;
  return (i) => {
    for (next = Math.max(next, i); next < files.length && next < i + count; ++next) {
      if (files[next].size <= SMALL) {
        const read = readWhole(files[next]);
        read.catch(() => {});  // heeded when its turn comes
        started.set(next, read);
      }
    }
    const read = started.get(i);
    started.delete(i);
    return read || null;
  };
}
