// The page, its list: models chosen or dropped are surveyed by the worker and
// added to the table in batches. A model listed already (the same name,
// size and time) is not listed twice; another with a name already listed
// gets a name of its own, "same (2).3do", which is its path in the zip.
function sameFile(a, b) {
  return a.name === b.name && a.size === b.size && a.lastModified === b.lastModified;
}

// The path with " (n)" before its extension.
function numbered(path, n) {
  const slash = path.lastIndexOf("/") + 1;
  const dot = path.lastIndexOf(".");
  return dot > slash ? `${path.slice(0, dot)} (${n})${path.slice(dot)}` : `${path} (${n})`;
}

// The entries not listed yet, each with a path no other row has.
function fresh(entries) {
  const taken = new Map(rows.map((r) => [r.path, r.file]));
  const kept = [];
  for (const { path, file } of entries) {
    if (taken.has(path) && sameFile(taken.get(path), file)) {
      continue;
    }
    let name = path;
    for (let n = 2; taken.has(name); ++n) {
      name = numbered(path, n);
    }
    taken.set(name, file);
    kept.push({ path: name, file });
  }
  return kept;
}

async function listFiles(entries) {
  const adding = fresh(entries);
  if (adding.length === 0) {
    setStatus(entries.length > 0 ? "Those files are listed already." : "No files chosen.");
    return;
  }
  setStatus(`Reading ${files(adding.length)}…`);
  const started = performance.now();
  let rendering = 0;
  showProblems([]);
  const problems = [];
  let read = 0;
  // Rows go into the table at most twice a second: each time, the browser
  // lays the whole table out again.
  let fragment = document.createDocumentFragment();
  let shown = performance.now();
  const answer = await ask({ type: "list", files: adding.map((e) => e.file) }, {
    onProgress: (done, total) => setProgress(done, total, `Read ${read} of ${files(adding.length)}`),
    onListed: (items) => {
      const t0 = performance.now();
      for (const item of items) {
        const { path, file } = adding[item.index];
        if (item.error) {
          problems.push({ path, message: item.error });
          continue;
        }
        const r = { path, file, info: item.info, element: null, details: null };
        render(r);
        rows.push(r);
        if (shows(r)) {
          fragment.appendChild(r.element);
        }
      }
      read += items.length;
      if (t0 - shown >= 500) {
        $("models").tBodies[0].appendChild(fragment);
        fragment = document.createDocumentFragment();
        shown = t0;
      }
      rendering += performance.now() - t0;
    },
  });
  const answered = performance.now();
  showProblems(problems);
  redraw();
  window.convert3doPage.lastList = { seconds: (performance.now() - started) / 1000,
                                     answered: (answered - started) / 1000, worker: answer.seconds, rendering };
  setStatus(`${files(rows.length)} listed.` +
            (problems.length > 0 ? ` ${files(problems.length)} could not be read (see above).` : ""));
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

async function dropped(event) {
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
  return found;
}
