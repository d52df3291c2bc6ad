// The page: models chosen or dropped are surveyed in a worker and listed;
// Convert downloads one converted model under its own name, or several as
// one zip that keeps the folder tree. Damaged models are left out unless
// salvage is ticked; files that are not 3do files are listed and left out.
(() => {
  const $ = (id) => document.getElementById(id);
  const rows = [];  // { path, file, info, element, details }
  let sortKey = null;
  let sortUp = true;
  let nextId = 1;
  const pending = new Map();  // id -> { resolve, reject, onProgress }
  let current = null;  // ids of the job under way, for Cancel
  let cancelAsked = false;  // Cancel was pressed: nothing more is downloaded

  function showError(text) {
    const box = $("error");
    box.textContent = `Something went wrong: ${text}`;
    box.classList.add("shown");
    document.body.dataset.state = "error";
  }
  window.addEventListener("error", (event) => showError(event.message));
  window.addEventListener("unhandledrejection", (event) => showError(String(event.reason)));

  const worker = new Worker(URL.createObjectURL(new Blob([WORKER_SOURCE], { type: "text/javascript" })));
  worker.onerror = (event) => showError(`the worker failed: ${event.message}`);
  worker.onmessage = (event) => {
    const message = event.data;
    const job = pending.get(message.id);
    if (!job) {
      return;
    }
    if (message.type === "progress") {
      job.onProgress(message.done, message.total);
      return;
    }
    pending.delete(message.id);
    if (message.type === "failed") {
      job.reject(new Error(message.message));
    } else {
      job.resolve(message);
    }
  };

  // what: { file } for "info" and "convert", { entries } for "zip".
  function ask(type, what, onProgress) {
    const id = nextId++;
    return {
      id,
      done: new Promise((resolve, reject) => {
        pending.set(id, { resolve, reject, onProgress: onProgress || (() => {}) });
        // ?sink=memory or ?sink=file chooses where outputs go, whatever their size.
        const sink = new URLSearchParams(location.search).get("sink") || "auto";
        worker.postMessage({ type, id, sink, ...what });
      }),
    };
  }

  function setStatus(text) {
    $("status").textContent = text;
  }

  function setProgress(done, total) {
    $("progress").value = total > 0 ? done / total : 0;
  }

  function busy(on) {
    $("progress-area").hidden = !on;
    $("convert").disabled = on || rows.length === 0;
    $("clear").disabled = on || rows.length === 0;
    document.body.dataset.state = on ? "busy" : "idle";
  }

  // What a conversion does with the model, in a word, and its class.
  function stateOf(info) {
    if (info.walk_end === "not_3do") {
      return ["not a 3do file", "state-not3do", 4];
    }
    if (info.walk_end === "damaged") {
      return [`damaged: ${info.damage}`, "state-damaged", 3];
    }
    if (info.already_converted) {
      return ["already converted", "state-ok", 0];
    }
    if (info.bytes_dropped > 0) {
      return ["converts, drops data", "state-drops", 2];
    }
    return ["converts", "state-ok", 1];
  }

  function walkText(info) {
    switch (info.walk_end) {
      case "bound": return "length bound";
      case "unrecognised_tag": return `unrecognised tag ${info.end_tag} at byte ${info.end_offset}`;
      case "end_of_input": return "end of input";
      case "damaged": return `damage at byte ${info.damage_offset}`;
      default: return "not a 3do file";
    }
  }

  const sortValues = {
    path: (r) => r.path,
    size: (r) => r.info.size,
    walk: (r) => r.info.walk_end,
    words: (r) => r.info.words_changed,
    dropped: (r) => r.info.bytes_dropped,
    state: (r) => stateOf(r.info)[2],
  };

  function cell(row, text, className) {
    const td = document.createElement("td");
    td.textContent = text;
    if (className) {
      td.className = className;
    }
    row.appendChild(td);
    return td;
  }

  function chunkTable(info) {
    const table = document.createElement("table");
    table.className = "chunks";
    const shown = info.chunks.slice(0, 10000);
    table.innerHTML = "<thead><tr><th scope=col class=number>Offset</th><th scope=col>Tag</th>" +
      "<th scope=col class=number>Chunk word</th><th scope=col class=number>Payload</th>" +
      "<th scope=col class=number>Size</th><th scope=col class=number>Entries</th>" +
      "<th scope=col class=number>To change</th></tr></thead>";
    const body = document.createElement("tbody");
    for (const c of shown) {
      const tr = document.createElement("tr");
      for (const [value, number] of [[c.offset, 1], [c.tag, 0], [c.chunk_word, 1], [c.payload_length, 1],
                                     [c.size, 1], [c.entries ?? "", 1], [c.entries_to_change ?? "", 1]]) {
        cell(tr, String(value), number ? "number" : "");
      }
      body.appendChild(tr);
    }
    table.appendChild(body);
    const wrap = document.createElement("div");
    wrap.className = "table-wrap";
    const note = document.createElement("p");
    note.textContent = info.chunks.length > shown.length
      ? `The first ${shown.length} of ${info.chunks.length} chunks:`
      : `${info.chunks.length} chunks kept by the walk:`;
    wrap.append(note, table);
    return wrap;
  }

  function render(r) {
    const tr = document.createElement("tr");
    const [state, className] = stateOf(r.info);
    cell(tr, r.path);
    cell(tr, String(r.info.size), "number");
    cell(tr, walkText(r.info));
    cell(tr, String(r.info.words_changed), "number");
    cell(tr, String(r.info.bytes_dropped), "number");
    cell(tr, state, className);
    const td = cell(tr, "");
    const button = document.createElement("button");
    button.textContent = "Chunks";
    button.setAttribute("aria-expanded", "false");
    button.setAttribute("aria-label", `Chunks of ${r.path}`);
    button.addEventListener("click", () => {
      const open = button.getAttribute("aria-expanded") === "true";
      button.setAttribute("aria-expanded", String(!open));
      if (open) {
        r.details.remove();
        r.details = null;
        return;
      }
      r.details = document.createElement("tr");
      r.details.className = "details";
      const wide = document.createElement("td");
      wide.colSpan = 7;
      wide.appendChild(chunkTable(r.info));
      r.details.appendChild(wide);
      tr.after(r.details);
    });
    td.appendChild(button);
    tr.dataset.path = r.path;
    r.element = tr;
  }

  function shows(r) {
    const filter = $("filter").value;
    const info = r.info;
    if (filter === "loses") {
      return info.bytes_dropped > 0 || info.walk_end === "damaged";
    }
    if (filter === "damaged") {
      return info.walk_end === "damaged";
    }
    if (filter === "not3do") {
      return info.walk_end === "not_3do";
    }
    return true;
  }

  function redraw() {
    const body = $("models").tBodies[0];
    const ordered = rows.slice();
    if (sortKey) {
      const value = sortValues[sortKey];
      ordered.sort((a, b) => {
        const x = value(a);
        const y = value(b);
        return (x < y ? -1 : x > y ? 1 : 0) * (sortUp ? 1 : -1);
      });
    }
    body.replaceChildren();
    for (const r of ordered) {
      if (shows(r)) {
        body.appendChild(r.element);
        if (r.details) {
          body.appendChild(r.details);
        }
      }
    }
    for (const th of $("models").tHead.rows[0].cells) {
      const button = th.querySelector("button");
      if (button) {
        th.setAttribute("aria-sort", button.dataset.key === sortKey ? (sortUp ? "ascending" : "descending") : "none");
      }
    }
    window.convert3doPage.rows = rows.map((r) => ({ path: r.path, info: r.info }));
  }

  // "1 file", "2 files".
  function files(count) {
    return count === 1 ? "1 file" : `${count} files`;
  }

  async function addFiles(entries) {
    busy(true);
    let done = 0;
    try {
      for (const { path, file } of entries) {
        const job = ask("info", { file }, (partDone, total) => setProgress(done + partDone / Math.max(total, 1), entries.length));
        current = [job.id];
        const answer = await job.done;
        const r = { path, file, info: answer.info, element: null, details: null };
        render(r);
        rows.push(r);
        done += 1;
        setProgress(done, entries.length);
        setStatus(`Read ${done} of ${files(entries.length)}.`);
      }
      setStatus(`${files(rows.length)} listed.`);
    } catch (error) {
      setStatus(error.message === "cancelled" ? "Cancelled." : `Stopped: ${error.message}`);
    } finally {
      current = null;
      redraw();
      busy(false);
    }
  }

  function pathOf(file) {
    return file.webkitRelativePath || file.name;
  }

  // The files under a dropped folder, with their paths.
  async function walkEntry(entry, into) {
    if (entry.isFile) {
      const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
      into.push({ path: entry.fullPath.replace(/^\//, ""), file });
      return;
    }
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (batch.length === 0) {
        return;
      }
      for (const child of batch) {
        await walkEntry(child, into);
      }
    }
  }

  function download(blob, name) {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  function baseName(path) {
    return path.split("/").pop();
  }

  // One store-only zip of the outputs, made in the worker: in memory, or for
  // a large one in a file, as a large model's output is.
  async function zipOf(outputs) {
    const entries = outputs.map(({ path, output }) => ({ path, output }));
    const job = ask("zip", { entries });
    current = [job.id];
    return job.done;  // { output, sink }
  }

  async function convertAll() {
    const salvage = $("salvage").checked;
    const chosen = rows.filter((r) => r.info.walk_end !== "not_3do" &&
                                       (salvage || r.info.walk_end !== "damaged"));
    const left = rows.length - chosen.length;
    if (chosen.length === 0) {
      setStatus("Nothing to convert: no model is a 3do file that converts whole (tick salvage for damaged ones).");
      return;
    }
    busy(true);
    setStatus("Converting…");
    cancelAsked = false;
    const total = chosen.reduce((sum, r) => sum + r.file.size, 0);
    setProgress(0, total);
    let done = 0;
    const outputs = [];
    const started = performance.now();
    try {
      for (const r of chosen) {
        const job = ask("convert", { file: r.file }, (partDone) => setProgress(done + partDone, total));
        current = [job.id];
        const answer = await job.done;
        if (cancelAsked) {
          throw new Error("cancelled");  // the worker had finished when it came
        }
        done += r.file.size;
        outputs.push({ path: r.path, output: answer.output, sink: answer.sink, timings: answer.timings });
        setStatus(`Converted ${outputs.length} of ${files(chosen.length)}.`);
      }
      const skipped = left > 0 ? `; ${left} left out (not 3do files, or damaged without salvage)` : "";
      let zipSink = null;
      if (outputs.length === 1 && rows.length === 1) {
        download(outputs[0].output, baseName(outputs[0].path));
      } else {
        setStatus("Making the zip…");
        const zipped = await zipOf(outputs);
        if (cancelAsked) {
          throw new Error("cancelled");
        }
        download(zipped.output, "converted-3do.zip");
        zipSink = zipped.sink;
      }
      const seconds = (performance.now() - started) / 1000;
      window.convert3doPage.lastRun = { seconds, sinks: outputs.map((o) => o.sink), zipSink,
                                        timings: outputs.map((o) => o.timings) };
      setStatus(`Converted ${files(outputs.length)} in ${seconds.toFixed(2)} s${skipped}.`);
    } catch (error) {
      setStatus(error.message === "cancelled" ? "Cancelled: nothing downloaded." : `Stopped: ${error.message}`);
    } finally {
      current = null;
      busy(false);
    }
  }

  window.convert3doPage = { rows: [], lastRun: null };

  $("files").addEventListener("change", (event) => {
    addFiles([...event.target.files].map((file) => ({ path: file.name, file })));
    event.target.value = "";
  });
  $("folder").addEventListener("change", (event) => {
    addFiles([...event.target.files].map((file) => ({ path: pathOf(file), file })));
    event.target.value = "";
  });
  const drop = $("drop");
  drop.addEventListener("dragover", (event) => {
    event.preventDefault();
    drop.classList.add("over");
  });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", async (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    const found = [];
    const items = [...event.dataTransfer.items].map((item) => item.webkitGetAsEntry && item.webkitGetAsEntry());
    if (items.every(Boolean)) {
      for (const entry of items) {
        await walkEntry(entry, found);
      }
    } else {
      for (const file of event.dataTransfer.files) {
        found.push({ path: file.name, file });
      }
    }
    addFiles(found);
  });
  $("filter").addEventListener("change", redraw);
  $("convert").addEventListener("click", convertAll);
  $("clear").addEventListener("click", () => {
    rows.length = 0;
    redraw();
    busy(false);
    setStatus("");
  });
  $("cancel").addEventListener("click", () => {
    cancelAsked = true;
    for (const id of current || []) {
      worker.postMessage({ type: "cancel", id });
    }
  });
  for (const button of $("models").tHead.querySelectorAll("button")) {
    button.addEventListener("click", () => {
      sortUp = sortKey === button.dataset.key ? !sortUp : true;
      sortKey = button.dataset.key;
      redraw();
    });
  }
  document.body.dataset.state = "idle";
  setStatus(`Ready (convert3do ${convert3do.version()}).`);
})();
