// The page's worker: surveys and converts models read in pieces (a survey
// stops reading where the walk ends), so that a large model never needs to be
// in memory whole and the page never freezes. The converter's core
// (convert3do.js) comes before this script in the same source.
//
// Messages in:  { type: "info" | "convert", id, file, sink } (sink: "auto",
//               or "memory" or "file" to choose where the output goes),
//               { type: "zip", id, entries: [{ path, output }], sink } and
//               { type: "cancel", id }
// Messages out: { type: "progress", id, done, total }, { type: "info", id, info },
//               { type: "converted", id, result, output, sink } (output: a File
//               or Blob, or null when nothing is written),
//               { type: "zipped", id, output, sink }, { type: "failed", id, message }
// The zip library, fflate, comes before it too.
const READ_PIECE = 8 << 20;
const READS_AHEAD = 4;
const cancelled = new Set();

function progress(id, done, total) {
  self.postMessage({ type: "progress", id, done, total });
}

function checkCancelled(id) {
  if (cancelled.has(id)) {
    throw new Error("cancelled");
  }
}

// Lets the messages waiting for the worker (a cancel) in between two pieces:
// reads that are ready at once would otherwise never leave room for them.
const ticks = new MessageChannel();
const ticking = [];
ticks.port1.onmessage = () => ticking.shift()();
function nextTask() {
  return new Promise((resolve) => {
    ticking.push(resolve);
    ticks.port2.postMessage(0);
  });
}

// The file's pieces in order, each valid until the next is asked for. Where
// the file's stream is a byte stream, they are read into one buffer used
// again and again, so that a large model leaves no garbage for the page's
// memory to grow with; elsewhere as slices, READS_AHEAD of them read at once
// (one read at a time leaves the browser's file reading half idle).
async function* pieces(id, file) {
  let reader = null;
  try {
    reader = file.stream().getReader({ mode: "byob" });
  } catch {
    yield* slices(id, file);
    return;
  }
  let buffer = new ArrayBuffer(READ_PIECE);
  try {
    for (let ended = false; !ended;) {
      let filled = 0;
      while (filled < buffer.byteLength) {
        const { done, value } = await reader.read(new Uint8Array(buffer, filled));
        if (value === undefined) {
          throw new Error("the file's stream stopped");
        }
        buffer = value.buffer;  // the same memory, handed back
        filled += value.length;
        if (done) {
          ended = true;
          break;
        }
      }
      await nextTask();
      checkCancelled(id);
      if (filled > 0) {
        yield new Uint8Array(buffer, 0, filled);
      }
    }
  } finally {
    reader.cancel().catch(() => {});
  }
}

async function* slices(id, file) {
  const reads = [];
  let asked = 0;
  for (let at = 0; at < file.size; at += READ_PIECE) {
    for (; reads.length < READS_AHEAD && asked < file.size; asked += READ_PIECE) {
      const read = file.slice(asked, asked + READ_PIECE).arrayBuffer();
      read.catch(() => {});  // left unheeded when the caller stops early
      reads.push(read);
    }
    checkCancelled(id);
    yield new Uint8Array(await reads.shift());
  }
}

async function surveyFile(id, file) {
  const survey = createSurvey();
  let done = 0;
  for await (const piece of pieces(id, file)) {
    survey.push(piece);
    progress(id, (done += piece.length), file.size);
    if (survey.ended) {
      break;
    }
  }
  return survey.end(file.size);
}

// Where the output goes. A model of up to 256 MiB is converted in memory,
// where it is quickest (writes to the origin-private file system cost more
// than all the rest of a conversion). A larger one goes to a file there,
// written through a sync access handle, so that a 1 GiB model takes little
// page memory; where the browser offers none (a page opened from file://),
// to memory as well. want ("file" or "memory") overrides the size's choice.
const MEMORY_UP_TO = 256 << 20;

// Such files stay while the page that made them is open, since its downloads
// read them. Each page holds a lock named after its session while it lives,
// and a page that starts removes the files of every session whose lock no
// page holds: those of pages closed or gone.
const SESSION = Date.now().toString(36) + Math.random().toString(36).slice(2, 8);
const FILE_PREFIX = "convert3do-";
const sessionReady = (async () => {
  if (!self.navigator.locks || !navigator.storage || !navigator.storage.getDirectory) {
    return;
  }
  await new Promise((held) => {
    navigator.locks.request(FILE_PREFIX + SESSION, () => {
      held();
      return new Promise(() => {});  // until the page goes
    });
  });
  const live = new Set((await navigator.locks.query()).held.map((lock) => lock.name));
  const root = await navigator.storage.getDirectory();
  for await (const name of root.keys()) {
    const session = /^convert3do-([a-z0-9]+)-/.exec(name);
    if (session && !live.has(FILE_PREFIX + session[1])) {
      await root.removeEntry(name).catch(() => {});
    }
  }
})().catch(() => {});  // no such file system here (file://): nothing to remove

async function openSink(id, size, want) {
  try {
    if (want === "memory" || (want !== "file" && size <= MEMORY_UP_TO)) {
      throw new Error("memory chosen");
    }
    await sessionReady;
    const root = await navigator.storage.getDirectory();
    const name = `${FILE_PREFIX}${SESSION}-${id}.3do`;
    const handle = await root.getFileHandle(name, { create: true });
    const access = await handle.createSyncAccessHandle();
    access.truncate(size);  // the output is never longer than the input: room asked for once
    // Writes go out in large blocks: many small writes cost far more.
    const block = new Uint8Array(8 << 20);
    let held = 0;
    let at = 0;
    const flush = () => {
      access.write(block.subarray(0, held), { at });
      at += held;
      held = 0;
    };
    return {
      kind: "file",
      write(bytes) {
        if (held + bytes.length > block.length) {
          flush();
        }
        if (bytes.length > block.length) {
          access.write(bytes, { at });
          at += bytes.length;
        } else {
          block.set(bytes, held);
          held += bytes.length;
        }
      },
      async finish(header, length) {
        flush();
        if (length > 0) {
          access.truncate(length);
          if (header !== null) {
            access.write(header, { at: 0 });
          }
        } else {
          access.truncate(0);
        }
        access.close();
        return handle.getFile();
      },
      abort() {
        access.close();
        root.removeEntry(name).catch(() => {});
      },
    };
  } catch (error) {
    // Pieces copied into large blocks: the converter's views are valid only
    // during the call, and few large blocks cost less than many small ones.
    const parts = [];
    let block = null;
    let held = 0;
    const BLOCK = 8 << 20;
    return {
      kind: "memory",
      write(bytes) {
        for (let at = 0; at < bytes.length;) {
          if (block === null || held === BLOCK) {
            block = new Uint8Array(BLOCK);
            held = 0;
            parts.push(block);
          }
          const take = Math.min(BLOCK - held, bytes.length - at);
          block.set(bytes.subarray(at, at + take), held);
          held += take;
          at += take;
        }
      },
      async finish(header, length) {
        const blob = new Blob(parts, { type: "application/octet-stream" }).slice(0, length);
        parts.length = 0;
        if (length === 0 || header === null) {
          return blob;
        }
        return new Blob([header, blob.slice(12)], { type: "application/octet-stream" });
      },
      abort() {
        parts.length = 0;
      },
    };
  }
}

// A store-only zip of entries ({ path, output }), streamed by fflate into a
// sink chosen by its size as a model's output is.
async function zipModels(id, entries, want) {
  const names = new TextEncoder();
  const bound = entries.reduce((n, e) => n + e.output.size + 2 * names.encode(e.path).length + 256,
                               1024);
  const sink = await openSink(id, bound, want);
  try {
    let failure = null;
    let length = 0;
    const zip = new fflate.Zip((error, data) => {
      if (error) {
        failure = error;
      } else {
        sink.write(data);
        length += data.length;
      }
    });
    let done = 0;
    for (const { path, output } of entries) {
      const entry = new fflate.ZipPassThrough(path);
      zip.add(entry);
      for await (const piece of pieces(id, output)) {
        entry.push(piece);  // written through at once, before the piece's buffer is used again
        progress(id, (done += piece.length), bound);
      }
      entry.push(new Uint8Array(0), true);
      if (failure) {
        throw failure;
      }
    }
    zip.end();
    if (failure) {
      throw failure;
    }
    return { output: await sink.finish(null, length), sink: sink.kind };
  } catch (error) {
    sink.abort();
    throw error;
  }
}

async function convertModel(id, file, want) {
  const converter = createConverter();
  const sink = await openSink(id, file.size, want);
  // Where the time goes, in milliseconds: reading, converting, writing.
  const timings = { read: 0, convert: 0, write: 0 };
  let clock = performance.now();
  const lap = (key) => {
    const now = performance.now();
    timings[key] += now - clock;
    clock = now;
  };
  try {
    const write = (view) => {
      const started = performance.now();
      sink.write(view);
      timings.write += performance.now() - started;
      timings.convert -= performance.now() - started;  // counted by the lap around push
    };
    let done = 0;
    for await (const piece of pieces(id, file)) {
      lap("read");
      converter.push(piece, write);
      lap("convert");
      progress(id, (done += piece.length), file.size);
      if (converter.ended) {
        break;
      }
    }
    const result = converter.end(write);
    const output = await sink.finish(result.header, result.outputLength);
    lap("write");
    delete result.tail;
    return { result, output, sink: sink.kind, timings };
  } catch (error) {
    sink.abort();
    throw error;
  }
}

self.onmessage = async (event) => {
  const message = event.data;
  if (message.type === "cancel") {
    cancelled.add(message.id);
    return;
  }
  try {
    if (message.type === "info") {
      self.postMessage({ type: "info", id: message.id, info: await surveyFile(message.id, message.file) });
    } else if (message.type === "convert") {
      const converted = await convertModel(message.id, message.file, message.sink);
      self.postMessage({ type: "converted", id: message.id, ...converted });
    } else if (message.type === "zip") {
      const zipped = await zipModels(message.id, message.entries, message.sink);
      self.postMessage({ type: "zipped", id: message.id, ...zipped });
    }
  } catch (error) {
    self.postMessage({ type: "failed", id: message.id, message: String(error && error.message || error) });
  } finally {
    cancelled.delete(message.id);
  }
};
