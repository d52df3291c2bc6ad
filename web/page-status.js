// The page, what it says: the status line (announced only at a job's start
// and end, so that a screen reader is not read every file), the progress,
// the box of problems, sizes in words, and where the keyboard's focus goes
// when the buttons it was on go away.
const $ = (id) => document.getElementById(id);

function showError(text) {
  const box = $("error");
  box.textContent = `Something went wrong: ${text}`;
  box.classList.add("shown");
  document.body.dataset.state = "error";
}

// A job starts: what went wrong before is gone with it.
function clearError() {
  $("error").classList.remove("shown");
  $("error").textContent = "";
}

// The problems of single files, each with its name; none hides the box.
function showProblems(problems) {
  const box = $("problems");
  box.replaceChildren();
  for (const { path, message } of problems) {
    const item = document.createElement("li");
    item.textContent = `${path}: ${message}`;
    box.appendChild(item);
  }
  box.hidden = problems.length === 0;
}

function setStatus(text) {
  $("status").textContent = text;
}

// Progress while a job goes on: not announced, and redrawn at most ten
// times a second, but at once when a job starts (done 0).
let drawn = 0;
function setProgress(done, total, text) {
  const now = performance.now();
  if (now - drawn < 100 && done < total && done > 0) {
    return;
  }
  drawn = now;
  $("progress").value = total > 0 ? done / total : 0;
  if (text !== undefined) {
    $("progress-text").textContent = text;
  }
}

// "1 file", "2 files".
function files(count) {
  return count === 1 ? "1 file" : `${count} files`;
}

// A size in words: "170 bytes", "12.5 KiB", "256.0 MiB".
function sizeText(bytes) {
  if (bytes === null || bytes === undefined) {
    return "unknown";
  }
  if (bytes < 1024) {
    return bytes === 1 ? "1 byte" : `${bytes} bytes`;
  }
  const units = ["KiB", "MiB", "GiB", "TiB"];
  let value = bytes / 1024;
  let unit = 0;
  for (; value >= 1024 && unit < units.length - 1; ++unit) {
    value /= 1024;
  }
  return `${value.toFixed(1)} ${units[unit]}`;
}

// Busy while any job runs or waits. The buttons a job takes away give their
// focus to the one that takes their place, never to the page itself.
function setBusy(on, rowCount) {
  const focused = document.activeElement;
  $("progress-area").hidden = !on;
  $("convert").disabled = on || rowCount === 0;
  $("clear").disabled = on || rowCount === 0;
  document.body.dataset.state = on ? "busy" : document.body.dataset.state === "error" ? "error" : "idle";
  let target = null;
  if (on && (focused === $("convert") || focused === $("clear"))) {
    target = $("cancel");
  } else if (!on && (focused === $("cancel") || focused === document.body || focused === null)) {
    target = $("convert").disabled ? $("files") : $("convert");
  }
  // Moved in a task of its own: a focus makes the browser lay out the page
  // there and then (a table of 500 rows takes a fifth of a second), which
  // would hold back the job about to be sent.
  if (target !== null) {
    setTimeout(() => {
      if (!target.disabled && !target.closest("[hidden]")) {
        target.focus();
      }
    });
  }
}
