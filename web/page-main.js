// The page: wires the controls to the list, the table and the jobs. The
// modules before this one share its scope (web/build.mjs puts them in one).
window.addEventListener("error", (event) => showError(event.message));
window.addEventListener("unhandledrejection", (event) => showError(String(event.reason)));
window.convert3doPage = { rows: [], lastRun: null };
// The page is ready once its worker is (a job asked for sooner waits for it).
startWorker(() => {
  if (queued.length === 0) {
    document.body.dataset.state = "idle";
    setStatus(`Ready (convert3do ${VERSION}).`);
  }
});

$("files").addEventListener("change", (event) => {
  const picked = [...event.target.files].map((file) => ({ path: file.name, file }));
  event.target.value = "";
  enqueue("list", () => listFiles(picked));
});
$("folder").addEventListener("change", (event) => {
  const picked = [...event.target.files].map((file) => ({ path: pathOf(file), file }));
  event.target.value = "";
  enqueue("list", () => listFiles(picked));
});
const drop = $("drop");
drop.addEventListener("dragover", (event) => {
  event.preventDefault();
  drop.classList.add("over");
});
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (event) => {
  event.preventDefault();
  drop.classList.remove("over");
  const found = dropped(event);  // the entries are read now, while the drop lasts
  enqueue("list", async () => {
    const { found: entries, problems } = await found;
    await listFiles(entries, problems);
  });
});
$("filter").addEventListener("change", redraw);
$("convert").addEventListener("click", () => enqueue("convert", convertAll));
$("clear").addEventListener("click", () => {
  rows.length = 0;
  showProblems([]);
  redraw();
  setBusy(false, 0);
  setStatus("The list is empty.");
  $("files").focus();
});
$("cancel").addEventListener("click", () => {
  const what = queued.includes("convert") ? "Cancelled: nothing downloaded." : "Cancelled.";
  cancelJobs();
  setStatus(what);
});
for (const button of $("models").tHead.querySelectorAll("button")) {
  button.addEventListener("click", () => sortBy(button.dataset.key));
}
setStatus("Starting…");
