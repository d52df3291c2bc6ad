// The page, its list: models chosen or dropped are surveyed by the worker and
// added to the table in batches. A model listed already (the same path as
// picked, name, size and time), under its own name or under the one it was
// given, is not listed twice; another with a name already listed gets a
// name of its own, "same (2).3do", which is its path in the zip.
function identityOf(path, file) {
  return `${path}\0${file.name}\0${file.size}\0${file.lastModified}`;
}

// The path with " (n)" before its extension.
function numbered(path, n) {
  const slash = path.lastIndexOf("/") + 1;
  const dot = path.lastIndexOf(".");
  return dot > slash ? `${path.slice(0, dot)} (${n})${path.slice(dot)}` : `${path} (${n})`;
}

// The entries not listed yet, each with a path no other row has.
function fresh(entries) {
  const taken = new Set(rows.map((r) => r.path));
  const listed = new Set(rows.map((r) => identityOf(r.picked, r.file)));
  const kept = [];
  for (const { path, file } of entries) {
    const identity = identityOf(path, file);
    if (listed.has(identity)) {
      continue;
    }
    let name = path;
    for (let n = 2; taken.has(name); ++n) {
      name = numbered(path, n);
    }
    taken.add(name);
    listed.add(identity);
    kept.push({ path: name, picked: path, file });
  }
  return kept;
}

// Lists the entries ({ path, file }); problems, of the drop that gave them,
// are shown with those of the listing.
async function listFiles(entries, problems = []) {
  const adding = fresh(entries);
  showProblems(problems);
  if (adding.length === 0) {
    setStatus(entries.length > 0 ? "Those files are listed already."
      : problems.length > 0 ? "Nothing listed (see above)." : "No files chosen.");
    return;
  }
  setStatus(`Reading ${files(adding.length)}…`);
  setProgress(0, 1, `Read 0 of ${files(adding.length)}`);
  const started = performance.now();
  let rendering = 0;
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
        const { path, picked, file } = adding[item.index];
        if (item.error) {
          problems.push({ path, message: item.error });
          continue;
        }
        // A model inside an archive is listed under the archive's name.
        const r = { path: item.entry === undefined ? path : `${path} \u203a ${item.entry}`, picked, file,
                    info: item.info, element: null, details: null, archive: item.entry === undefined ? null : path };
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

// What a drop brings: each item read through its entry (a folder with its
// tree), or where the browser gives no entry, or one that cannot be read
// (Chromium on a page opened from file:// gives entries it cannot read), as
// the file the drop's list holds. A folder that cannot be read so is a
// problem of its own, which names the way that works. Everything the drop
// holds is taken now, while it lasts.
function dropped(event) {
  const given = [...event.dataTransfer.items].filter((item) => item.kind === "file");
  const entries = given.map((item) => (item.webkitGetAsEntry ? item.webkitGetAsEntry() : null));
  const plain = given.map((item) => item.getAsFile());
  return (async () => {
    const found = [];
    const problems = [];
    for (const [i, entry] of entries.entries()) {
      const before = found.length;
      try {
        if (entry === null) {
          throw new Error("no entry");
        }
        await walkEntry(entry, found);
        continue;
      } catch {
        found.length = before;  // what the entry gave is taken again below, or not at all
      }
      if (entry && entry.isDirectory) {
        problems.push({ path: entry.name, message: FOLDER_DROP_FAILS });
      } else if (plain[i] !== null) {
        found.push({ path: plain[i].name, file: plain[i] });
      }
    }
    return { found, problems };
  })();
}

const FOLDER_DROP_FAILS =
  "this browser does not let a page opened from a file read a dropped folder; use Choose a folder";
