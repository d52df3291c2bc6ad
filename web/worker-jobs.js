// The worker's two jobs: listing models (each surveyed, read only as far as
// its walk goes), and converting them (one into its own download, or several
// streamed into one zip, each straight from its output, with no round trip
// through the page). A model that cannot be read is a problem of its own:
// the others go on.
// Progress, sent at most every 50 ms (a message costs as much as converting
// a small model), and at the end.
let progressSent = 0;
function progress(id, done, total) {
  const now = performance.now();
  if (now - progressSent >= 50 || done >= total) {
    progressSent = now;
    self.postMessage({ type: "progress", id, done, total });
  }
}

async function surveyOne(file, read) {
  if (read !== null) {
    return info(await read);
  }
  const survey = createSurvey();
  for await (const piece of pieces(file)) {
    survey.push(piece);
    if (survey.ended) {
      break;
    }
  }
  return survey.end(file.size);
}

// Surveys each file, sending the answers in batches: many small models cost
// a message a batch, not one each.
async function listJob(id, files) {
  const began = performance.now();
  const total = files.reduce((sum, file) => sum + file.size, 0);
  let done = 0;
  let batch = [];
  let sent = performance.now();
  const ahead = readsAhead(files);
  for (let index = 0; index < files.length; ++index) {
    try {
      const read = ahead(index);
      if (read !== null ? startsLikeZip(await read) : await isArchive(files[index])) {
        for (const model of await listArchive(files[index])) {
          batch.push({ index, entry: model.entry, info: model.info });
        }
      } else {
        batch.push({ index, info: await surveyOne(files[index], read) });
      }
    } catch (error) {
      batch.push({ index, error: error.message });
    }
    done += files[index].size;
    if (batch.length >= 64 || performance.now() - sent > 100) {
      self.postMessage({ type: "listed", id, items: batch });
      progress(id, done, total);
      batch = [];
      sent = performance.now();
    }
  }
  self.postMessage({ type: "listed", id, items: batch, done: true, seconds: (performance.now() - began) / 1000 });
}

// Converts one model; gives { result, output } (output null when nothing is
// written) and where the time went; reached(bytes) is told how far the model
// has been read, piece by piece.
async function convertOne(id, file, want, timings, use, read = null, reached = () => {}) {
  let clock = performance.now();
  const lap = (key) => {
    const now = performance.now();
    timings[key] += now - clock;
    clock = now;
  };
  if (file.size <= SMALL && want !== "file") {
    const bytes = await (read || readWhole(file));
    lap("read");
    const result = convert(bytes);  // exactly convert3do's output, in one call
    lap("convert");
    const output = result.outputLength > 0 ? partsOutput([result.output], result.outputLength) : null;
    return { result, output, sink: "memory" };
  }
  const converter = createConverter();
  const sink = await openSink(id, file.size, want, use, file);
  try {
    const write = (view) => {
      const started = performance.now();
      sink.write(view);
      timings.write += performance.now() - started;
      timings.convert -= performance.now() - started;  // counted by the lap around push
    };
    let at = 0;
    for await (const piece of pieces(file)) {
      lap("read");
      if (sink.see) {
        sink.see(piece);
      }
      converter.push(piece, write);
      lap("convert");
      reached((at += piece.length));
      if (converter.ended) {
        break;
      }
    }
    const result = converter.end(write);
    const output = await sink.finish(result.header, result.outputLength);
    lap("write");
    delete result.tail;
    if (result.outputLength === 0) {
      output.release();
      return { result, output: null, sink: sink.kind };
    }
    return { result, output, sink: sink.kind };
  } catch (error) {
    sink.abort();
    throw error;
  }
}

// Why a model gives no output, though chosen: damaged inside its header.
function nothingWritten(result) {
  return result.damage ? `nothing to salvage: ${result.damage}` : "nothing to write";
}

// Converts an archive item into its converted archive: { result, output }
// as convertOne gives them.
async function convertArchiveItem(file, salvage, reached) {
  const made = await convertArchive(file, salvage, reached);
  const output = { blob: async () => made.output, contents: async function* () {
    yield new Uint8Array(await made.output.arrayBuffer());
  }, release: () => {} };
  return { result: made, output, sink: "memory" };
}

// Converts the items ({ path, file, archive }): one into its own download,
// or all into one store-only zip that keeps their paths. An archive becomes
// the archive converted.
async function convertJob(id, items, zip, want, salvage = false) {
  const timings = { read: 0, convert: 0, write: 0 };
  const problems = [];
  const sinks = [];
  const total = items.reduce((sum, item) => sum + item.file.size, 0);
  let done = 0;
  if (!zip) {
    const { path, file, archive } = items[0];
    let made = { output: null, sink: null };
    try {
      const reached = (at) => progress(id, at, total);
      made = archive ? await convertArchiveItem(file, salvage, reached)
                     : await convertOne(id, file, want, timings, "download", null, reached);
      if (made.output === null) {
        problems.push({ path, message: nothingWritten(made.result) });
      }
    } catch (error) {
      problems.push({ path, message: error.message });  // as one of many would be
    }
    progress(id, file.size, total);
    const { output, sink } = made;
    self.postMessage({ type: "converted", id, output: output && await output.blob(), sink,
                       sinks: sink ? [sink] : [], converted: output ? 1 : 0, problems, timings });
    return;
  }
  const names = new TextEncoder();
  const bound = items.reduce((n, item) => n + item.file.size + 2 * names.encode(item.path).length + 256, 1024);
  const zipSink = await openSink(`${id}-zip`, bound, want, "zip");
  try {
    let failure = null;
    let length = 0;
    const archive = new fflate.Zip((error, data) => {
      if (error) {
        failure = error;
      } else {
        zipSink.write(data);
        length += data.length;
      }
    });
    let converted = 0;
    const ahead = readsAhead(want === "file" ? [] : items.map((item) => item.file));
    for (const [index, { path, file, archive: zipped }] of items.entries()) {
      let made;
      try {
        const reached = (at) => progress(id, done + at, total);
        made = zipped ? await convertArchiveItem(file, salvage, reached)
                       : await convertOne(id, file, want, timings, "zip", ahead(index), reached);
      } catch (error) {
        problems.push({ path, message: error.message });
        continue;
      } finally {
        progress(id, (done += file.size), total);
      }
      sinks.push(made.sink);
      if (made.output === null) {
        problems.push({ path, message: nothingWritten(made.result) });
        continue;
      }
      const entry = new fflate.ZipPassThrough(path);
      archive.add(entry);
      for await (const part of made.output.contents()) {
        entry.push(part);  // written through at once
      }
      entry.push(new Uint8Array(0), true);
      made.output.release();
      converted += 1;
      if (failure) {
        throw failure;
      }
    }
    archive.end();
    if (failure) {
      throw failure;
    }
    const zipped = await zipSink.finish(null, length);
    self.postMessage({ type: "converted", id, output: converted > 0 ? await zipped.blob() : null,
                       sink: zipSink.kind, sinks: [...new Set(sinks)], converted, problems, timings });
  } catch (error) {
    zipSink.abort();
    throw error;
  }
}
