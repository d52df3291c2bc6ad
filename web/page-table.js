// The page, its table: a row for each model, what a conversion would do
// with it; sorted by any column, filtered, opened to its chunks. On a narrow
// screen each row is a card whose cells are labelled (the stylesheet does
// it, from each cell's data-label).
const rows = [];  // { path, file, info, element, details }
let sortKey = null;
let sortUp = true;

// What a conversion does with the model, in a word, its class and its rank.
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

// Where and why the walk ends, in the library's words, as 3do info says it.
function walkText(info) {
  return info.walk_end_text;
}

const sortValues = {
  path: (r) => r.path,
  size: (r) => r.info.size,
  walk: (r) => r.info.walk_end,
  words: (r) => r.info.words_changed,
  dropped: (r) => r.info.bytes_dropped,
  state: (r) => stateOf(r.info)[2],
};

const LABELS = ["File", "Size", "Walk ends", "Words changed", "Bytes dropped", "State", "Chunks"];

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) {
    td.className = className;
  }
  td.dataset.label = LABELS[row.cells.length];
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
      const td = document.createElement("td");
      td.textContent = String(value);
      td.className = number ? "number" : "";
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  table.appendChild(body);
  const wrap = document.createElement("div");
  wrap.className = "table-wrap";  // scrolls by itself: the file's name stays in view
  const note = document.createElement("p");
  note.textContent = info.chunks.length > shown.length
    ? `The first ${shown.length} of ${info.chunks.length} chunks:`
    : `${info.chunks.length} chunks kept by the walk:`;
  wrap.append(note, table);
  return wrap;
}

function toggleChunks(r, button) {
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
  r.element.after(r.details);
}

// A number cell: in words, with the exact figure kept for sorting and tests.
function numberCell(tr, value, words) {
  const td = cell(tr, words, "number");
  td.dataset.value = String(value);
  td.title = value === null ? "unknown" : `${value}`;
  return td;
}

function render(r) {
  const tr = document.createElement("tr");
  const [state, className] = stateOf(r.info);
  cell(tr, r.path, "path");
  numberCell(tr, r.info.size, sizeText(r.info.size));
  cell(tr, walkText(r.info));
  numberCell(tr, r.info.words_changed, String(r.info.words_changed));
  numberCell(tr, r.info.bytes_dropped, sizeText(r.info.bytes_dropped));
  cell(tr, state, className);
  const button = document.createElement("button");
  button.textContent = "Chunks";
  button.setAttribute("aria-expanded", "false");
  button.setAttribute("aria-label", `Chunks of ${r.path}`);
  button.addEventListener("click", () => toggleChunks(r, button));
  cell(tr, "").appendChild(button);
  tr.dataset.path = r.path;
  r.element = tr;
}

// A model the conversion could not read, or that gave nothing: its state
// says so, until it is listed again.
function markNotConverted(path, message) {
  const r = rows.find((row) => row.path === path);
  if (r) {
    const state = r.element.cells[5];
    state.textContent = `not converted: ${message}`;
    state.className = "state-damaged";
  }
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
  const fragment = document.createDocumentFragment();
  for (const r of ordered) {
    if (shows(r)) {
      fragment.appendChild(r.element);
      if (r.details) {
        fragment.appendChild(r.details);
      }
    }
  }
  body.replaceChildren(fragment);
  for (const th of $("models").tHead.rows[0].cells) {
    const button = th.querySelector("button");
    if (button) {
      th.setAttribute("aria-sort", button.dataset.key === sortKey ? (sortUp ? "ascending" : "descending") : "none");
    }
  }
  window.convert3doPage.rows = rows.map((r) => ({ path: r.path, info: r.info }));
  window.convert3doPage.files = rows.map((r) => r.file);
}

function sortBy(key) {
  sortUp = sortKey === key ? !sortUp : true;
  sortKey = key;
  redraw();
}
