// The page's worker: lists and converts models read in pieces, so that a
// large model never needs to be in memory whole and the page never freezes.
// The zip library (fflate), the converter's core (convert3do.js) and the
// worker's parts (worker-read.js, worker-sinks.js, worker-jobs.js) come
// before this script in the same source. To cancel, the page ends the
// worker and starts another.
//
// Messages in:  { type: "list", id, files: [File] }
//               { type: "convert", id, items: [{ path, file, archive }], zip, sink, salvage }
//               (sink: "auto", or "memory" or "file" to choose where outputs go)
// Messages out: { type: "ready" } (once, when the worker has started)
//               { type: "progress", id, done, total } (bytes)
//               { type: "listed", id, items: [{ index, info, entry } | { index, error }], done }
//               (entry: the name of a model inside the archive files[index])
//               { type: "converted", id, output (a Blob or File, or null), sink,
//                 sinks, converted, problems: [{ path, message }], timings }
//               { type: "failed", id, message }
self.onmessage = async (event) => {
  const message = event.data;
  try {
    if (message.type === "list") {
      await listJob(message.id, message.files);
    } else if (message.type === "convert") {
      await convertJob(message.id, message.items, message.zip, message.sink, message.salvage);
    }
  } catch (error) {
    self.postMessage({ type: "failed", id: message.id, message: String(error && error.message || error) });
  }
};
self.postMessage({ type: "ready" });
