// The worker, writing: where an output goes. An output of up to 256 MiB is
// made in memory: for its own download as Blobs made as it comes (each
// piece copied once, into the browser's store of Blobs, and the whole a
// Blob of Blobs, which copies nothing); for a zip as blocks of bytes, which
// the zip then takes. A larger output goes to a file of the origin-private
// file system, written through a sync access handle, so that a 1 GiB model
// takes little page memory; where the browser offers no such file system (a
// page opened from file://), memory again. A zip, whose bytes are its own,
// goes to the same kinds of place, chosen by its size.
//
// A sink takes write(bytes) (the output in order, bytes valid only during
// the call) and finish(header, length), which gives the output:
// { size, blob(): a Blob or File, contents(): its bytes in pieces (for a
// zip), release() }.
const MEMORY_UP_TO = 256 << 20;
const BLOCK = 8 << 20;

// Such files stay while the page that made them is open, since its downloads
// read them. Each worker holds a lock named after its session while it
// lives, and a worker that starts removes the files of every session whose
// lock none holds: those of pages closed or gone. A file is made only once
// the lock is held, and never waits for that clean-up: a file of a worker
// still closing may not be removable yet, and that must not hold a
// conversion up. Each file has a name of its own.
const SESSION = Date.now().toString(36) + Math.random().toString(36).slice(2, 8);
const FILE_PREFIX = "convert3do-";
let fileSerial = 0;
const sessionHeld = new Promise((held, failed) => {
  if (!self.navigator.locks || !navigator.storage || !navigator.storage.getDirectory) {
    failed(new Error("no origin-private file system here"));
    return;
  }
  navigator.locks.request(FILE_PREFIX + SESSION, () => {
    held();
    return new Promise(() => {});  // until the worker goes
  }).catch(failed);
});
sessionHeld.then(async () => {
  const live = new Set((await navigator.locks.query()).held.map((lock) => lock.name));
  const root = await navigator.storage.getDirectory();
  const stale = [];
  for await (const name of root.keys()) {
    const session = /^convert3do-([a-z0-9]+)-/.exec(name);
    if (session && !live.has(FILE_PREFIX + session[1])) {
      stale.push(name);
    }
  }
  for (const name of stale) {
    await root.removeEntry(name).catch(() => {});  // in use still: the next worker's
  }
}).catch(() => {});  // no such file system here (file://): nothing to remove

// An output held as parts in order: Uint8Arrays, or Blobs.
function partsOutput(parts, size) {
  return {
    size,
    blob: async () => new Blob(parts, { type: "application/octet-stream" }),
    * contents() {
      yield* parts;
    },
    release() {
      parts.length = 0;
    },
  };
}

// An output made for its own download: the Blob that is downloaded.
function downloadOutput(whole, size) {
  return {
    size,
    blob: async () => whole,
    * contents() {
      throw new Error("an output made for its own download is not read again");
    },
    release() {},
  };
}

// An output for its own download: gathered in one block used again and
// again, each block full made a Blob (copied once, into the browser's store
// of Blobs); the whole is a Blob of those, which copies nothing.
function blobSink() {
  const parts = [];
  const block = new Uint8Array(BLOCK);
  let held = 0;
  const seal = () => {
    if (held > 0) {
      parts.push(new Blob([block.subarray(0, held)]));
      held = 0;
    }
  };
  return {
    kind: "memory",
    write(bytes) {
      for (let at = 0; at < bytes.length;) {
        const take = Math.min(BLOCK - held, bytes.length - at);
        block.set(bytes.subarray(at, at + take), held);
        held += take;
        at += take;
        if (held === BLOCK) {
          seal();
        }
      }
    },
    async finish(header, length) {
      seal();
      let whole = new Blob(parts, { type: "application/octet-stream" }).slice(0, length);
      parts.length = 0;
      if (header !== null && length > 0) {
        whole = new Blob([header, whole.slice(12)], { type: "application/octet-stream" });
      }
      return downloadOutput(whole, length);
    },
    abort() {
      parts.length = 0;
    },
  };
}

// An output for its own download made of the input file itself: the bytes
// the conversion keeps as they were are slices of the file (nothing copied,
// nothing held), and only the chunks it rewrites (XYZS) and the header are
// bytes of its own. A survey walked over each piece just before the
// converter (see(piece)) says which bytes those are, as they come.
function patchSink(file) {
  const map = createRewriteMap();
  const ranges = [];  // [start, end] of what is rewritten, in order
  const patches = [];  // { at, bytes }: the output there, in order
  let written = 0;
  let first = 0;  // the first range the output to come may meet
  const note = ([start, end]) => {
    const last = ranges[ranges.length - 1];
    if (last && start <= last[1]) {
      last[1] = Math.max(last[1], end);  // the chunk the walk was in, or one near it
    } else {
      ranges.push([start, end]);
    }
  };
  return {
    kind: "patch",
    see(piece) {
      if (!map.ended) {
        map.push(piece).forEach(note);
      }
    },
    write(bytes) {
      const from = written;
      const to = written + bytes.length;
      while (first < ranges.length && ranges[first][1] <= from) {
        first += 1;
      }
      for (let i = first; i < ranges.length && ranges[i][0] < to; ++i) {
        const start = Math.max(from, ranges[i][0]);
        const end = Math.min(to, ranges[i][1]);
        if (start < end) {
          patches.push({ at: start, bytes: bytes.slice(start - from, end - from) });
        }
      }
      written = to;
    },
    async finish(header, length) {
      map.end();
      const parts = [];
      let at = 0;
      if (header !== null && length > 0) {
        parts.push(header);
        at = 12;
      }
      for (const { at: start, bytes } of patches) {
        const end = Math.min(start + bytes.length, length);
        if (end <= at) {
          continue;
        }
        if (start > at) {
          parts.push(file.slice(at, start));
        }
        parts.push(bytes.subarray(Math.max(at, start) - start, end - start));
        at = end;
      }
      if (at < length) {
        parts.push(file.slice(at, length));
      }
      patches.length = 0;
      const whole = new Blob(parts, { type: "application/octet-stream" });
      return downloadOutput(whole, length);
    },
    abort() {
      patches.length = 0;
    },
  };
}

// An output as blocks of bytes of its own: for a zip, and a zip's own bytes.
function bytesSink() {
  const blocks = [];
  let held = BLOCK;  // in the last block
  return {
    kind: "memory",
    write(bytes) {
      for (let at = 0; at < bytes.length;) {
        if (held === BLOCK) {
          blocks.push(new Uint8Array(BLOCK));
          held = 0;
        }
        const take = Math.min(BLOCK - held, bytes.length - at);
        blocks[blocks.length - 1].set(bytes.subarray(at, at + take), held);
        held += take;
        at += take;
      }
    },
    async finish(header, length) {
      const parts = [];
      for (let i = 0, left = length; i < blocks.length && left > 0; ++i) {
        parts.push(left >= BLOCK ? blocks[i] : blocks[i].subarray(0, left));
        left -= parts[parts.length - 1].length;
      }
      blocks.length = 0;
      if (header !== null && length > 0) {
        parts[0].set(header, 0);
      }
      return partsOutput(parts, length);
    },
    abort() {
      blocks.length = 0;
    },
  };
}

// A file of the origin-private file system, written in large blocks (many
// small writes cost far more), with room asked for once.
async function fileSink(id, size) {
  await sessionHeld;
  const root = await navigator.storage.getDirectory();
  const name = `${FILE_PREFIX}${SESSION}-${id}-${(fileSerial += 1)}.3do`;
  const handle = await root.getFileHandle(name, { create: true });
  const access = await handle.createSyncAccessHandle();
  access.truncate(size);
  const block = new Uint8Array(BLOCK);
  let held = 0;
  let at = 0;
  const flush = () => {
    access.write(block.subarray(0, held), { at });
    at += held;
    held = 0;
  };
  let open = true;
  const close = () => {
    if (open) {
      open = false;
      access.close();
    }
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
      access.truncate(length);
      if (header !== null && length > 0) {
        access.write(header, { at: 0 });
      }
      return {
        size: length,
        async blob() {
          close();
          return handle.getFile();
        },
        * contents() {  // read back through the handle, for a zip
          for (let from = 0; from < length; from += BLOCK) {
            const bytes = new Uint8Array(Math.min(BLOCK, length - from));
            access.read(bytes, { at: from });
            yield bytes;
          }
        },
        release() {
          close();
          root.removeEntry(name).catch(() => {});
        },
      };
    },
    abort() {
      close();
      root.removeEntry(name).catch(() => {});
    },
  };
}

// A sink for an output of at most size bytes: a model's for its own
// download ("download"), or one read again (a model's in a zip, a zip's
// own); want ("file" or "memory") overrides the size's choice.
async function openSink(id, size, want, use, file) {
  if (use === "download" && want !== "file") {
    return patchSink(file);  // as light as a file of its own, and quicker: any size
  }
  const inMemory = () => (use === "download" ? blobSink() : bytesSink());
  if (want === "memory" || (want !== "file" && size <= MEMORY_UP_TO)) {
    return inMemory();
  }
  try {
    return await fileSink(id, size);
  } catch {
    return inMemory();  // no such file system here (file://)
  }
}
