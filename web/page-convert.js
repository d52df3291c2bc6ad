// The page, converting: the models chosen (damaged ones only with salvage,
// never files that are not 3do files) are converted by the worker, one into
// a download under its own name, several into one zip that keeps their
// paths. A model that cannot be read, or gives nothing to write, is named in
// the box of problems; the others are converted all the same.
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

// What the worker is given: each model chosen, and each archive once (it
// refuses one holding a damaged model unless salvage).
function itemsOf(chosen) {
  const items = [];
  const archives = new Set();
  for (const r of chosen) {
    if (!r.archive) {
      items.push({ path: r.path, file: r.file });
    } else if (!archives.has(r.archive)) {
      archives.add(r.archive);
      items.push({ path: r.archive, file: r.file, archive: true });
    }
  }
  return items;
}

async function convertAll() {
  const salvage = $("salvage").checked;
  const chosen = rows.filter((r) => r.archive ||
                                    (r.info.walk_end !== "not_3do" && (salvage || r.info.walk_end !== "damaged")));
  const left = rows.length - chosen.length;
  showProblems([]);
  if (chosen.length === 0) {
    setStatus("Nothing to convert: no model is a 3do file that converts whole (tick salvage for damaged ones).");
    return;
  }
  const items = itemsOf(chosen);
  const zip = !(items.length === 1 && (items[0].archive || rows.length === 1));
  setStatus(`Converting ${files(chosen.length)}…`);
  const size = items.reduce((sum, item) => sum + item.file.size, 0);
  setProgress(0, size, `${sizeText(0)} of ${sizeText(size)}`);
  const started = performance.now();
  const answer = await ask({ type: "convert", zip, salvage, items }, {
    onProgress: (done, total) => setProgress(done, total, `${sizeText(done)} of ${sizeText(total)}`),
  });
  showProblems(answer.problems);
  for (const { path, message } of answer.problems) {
    markNotConverted(path, message);
  }
  if (answer.output !== null) {
    download(answer.output, zip ? "converted-3do.zip" : baseName(items[0].path));
  }
  const seconds = (performance.now() - started) / 1000;
  window.convert3doPage.lastRun = { seconds, sinks: answer.sinks, zipSink: zip ? answer.sink : null,
                                    timings: [answer.timings], converted: answer.converted,
                                    problems: answer.problems };
  const why = salvage ? "not 3do files" : "not 3do files, or damaged without salvage";
  const skipped = left > 0 ? `; ${left} left out (${why})` : "";
  const failed = answer.problems.length > 0 ? `; ${answer.problems.length} gave nothing (see above)` : "";
  setStatus(answer.output === null
    ? `Nothing downloaded${failed}${skipped}.`
    : `Converted ${answer.converted} of ${files(chosen.length)} in ${seconds.toFixed(2)} s${failed}${skipped}.`);
}
