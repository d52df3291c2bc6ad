// The page, its worker: jobs sent to it one at a time, in the order asked.
// A job asked for while another runs waits its turn (a pick during a
// conversion is listed after it), and Cancel ends the worker and starts
// another, which stops a job whatever it is waiting for.
let worker = null;
let nextId = 1;
const pending = new Map();  // id -> { resolve, reject, onProgress, onListed }

// onReady runs once the worker has started.
function startWorker(onReady = () => {}) {
  worker = new Worker(URL.createObjectURL(new Blob([WORKER_SOURCE], { type: "text/javascript" })));
  worker.onerror = (event) => showError(`the worker failed: ${event.message}`);
  worker.onmessage = (event) => {
    const message = event.data;
    if (message.type === "ready") {
      onReady();
      return;
    }
    const job = pending.get(message.id);
    if (!job) {
      return;
    }
    if (message.type === "progress") {
      job.onProgress(message.done, message.total);
    } else if (message.type === "listed") {
      job.onListed(message.items);
      if (message.done) {
        pending.delete(message.id);
        job.resolve(message);
      }
    } else if (message.type === "failed") {
      pending.delete(message.id);
      job.reject(new Error(message.message));
    } else {
      pending.delete(message.id);
      job.resolve(message);
    }
  };
}

// Sends a job to the worker; its answer, or its failure.
function ask(message, handlers = {}) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject, onProgress: handlers.onProgress || (() => {}),
                      onListed: handlers.onListed || (() => {}) });
    // ?sink=memory or ?sink=file chooses where outputs go, whatever their size.
    const sink = new URLSearchParams(location.search).get("sink") || "auto";
    worker.postMessage({ id, sink, ...message });
  });
}

// The jobs waiting and running; the page is busy while there is one.
let queue = Promise.resolve();
const queued = [];  // the kinds of the jobs waiting or running: "list", "convert"
let generation = 0;  // a cancel drops the jobs asked for before it

function enqueue(kind, task) {
  const asked = generation;
  queued.push(kind);
  setBusy(true, rows.length);
  queue = queue.then(() => {
    if (asked !== generation) {
      return null;
    }
    clearError();
    return task();
  }).catch((error) => {
    if (error.message !== "cancelled") {
      showError(error.message);
    }
  }).finally(() => {
    queued.splice(queued.indexOf(kind), 1);
    if (queued.length === 0) {
      setBusy(false, rows.length);
    }
  });
  return queue;
}

function cancelJobs() {
  generation += 1;
  worker.terminate();
  for (const job of pending.values()) {
    job.reject(new Error("cancelled"));
  }
  pending.clear();
  startWorker();
}
