// The page in a real browser (Debian's chromium, driven by playwright-core),
// opened from file:// and over a loopback server:
// - its table against `3do info --json`, sorting, filtering, the chunks;
// - its downloads (one model, a folder as a zip) against the native
//   programs' outputs byte for byte, and no network request at all;
// - 2, 3 and 5 models, tiny and of 2 MiB, on fresh pages, many times, with
//   outputs in memory and in files: an exact zip every time;
// - a pick during a conversion, a file changed after it was listed,
//   duplicate names, a model with nothing to salvage, the keyboard's focus;
// - at 360 px every cell and button on the screen, and screenshots at 360
//   and 1366 px, light and dark;
// - speed, recorded and never judged: 500 tiny models listed and converted,
//   and models of 256 MiB (in memory), just above it and 1 GiB (in files),
//   against the browser's own floor in the same session (the model read
//   whole by the quickest of three ways, and a Blob of its size made) and
//   against convert3do, with the browser's memory.
// Exits 77 (skipped) where chromium or playwright-core is missing.
//
// Environment: CONVERT3DO_WEB (the build's web folder), CONVERT3DO_TOOLS
// (convert3do, 3do, write_random_models), CONVERT3DO_TESTS (where the
// screenshots and figures go); CONVERT3DO_BIG_MIB sets the size of the large
// model converted in memory (256), CONVERT3DO_FILE_MIB that of the one
// converted into a file (1024), CONVERT3DO_TRIES the tries of each count of
// models (20); CONVERT3DO_WEB_PARTS runs some parts only (page, many, edges,
// speed; all when unset; stress only when named: the outputs-into-files
// path many times over, with cancels, CONVERT3DO_STRESS_ZIPS zips (200),
// CONVERT3DO_STRESS_BIG of 256 MiB (20), CONVERT3DO_STRESS_CANCELS of 64 MiB cancelled and made again (30)).
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync,
         writeFileSync, copyFileSync, openSync, readSync, writeSync, closeSync, appendFileSync, truncateSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, join, relative } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const root = join(here, "..", "..");
const web = process.env.CONVERT3DO_WEB;
const tools = process.env.CONVERT3DO_TOOLS;
const shots = process.env.CONVERT3DO_TESTS || tmpdir();
const bigMiB = Number(process.env.CONVERT3DO_BIG_MIB || 256);
const fileMiB = Number(process.env.CONVERT3DO_FILE_MIB || 1024);
const tries = Number(process.env.CONVERT3DO_TRIES || 20);
const parts = process.env.CONVERT3DO_WEB_PARTS ? process.env.CONVERT3DO_WEB_PARTS.split(",") : null;
const chromiumPath = ["/usr/bin/chromium", "/usr/bin/chromium-browser"].find((p) => existsSync(p));
const driver = join(root, "web", "node_modules", "playwright-core", "index.mjs");
if (!chromiumPath || !existsSync(driver)) {
  console.log("skipped: needs Debian's chromium and `npm ci --prefix web` (playwright-core)");
  process.exit(77);
}
const { chromium } = await import(pathToFileURL(driver));
const { unzipSync, zipSync } = await import(pathToFileURL(join(root, "web", "node_modules", "fflate", "esm", "index.mjs")));

const work = mkdtempSync(join(tmpdir(), "convert3do-browser-"));
rmSync(join(shots, "web-figures.txt"), { force: true });
const step = (text) => console.log(`- ${text}`);
const figure = (text) => {
  console.log(`- ${text}`);
  appendFileSync(join(shots, "web-figures.txt"), `${text}\n`);
};

// ---- models, and what the native programs make of them
const words = (...values) => {
  const buffer = Buffer.alloc(values.length * 4);
  values.forEach((v, i) => (typeof v === "string" ? buffer.write(v.split("").reverse().join(""), i * 4, "latin1")
                                                  : buffer.writeInt32LE(v | 0, i * 4)));
  return buffer;
};
const folder = join(work, "models");
mkdirSync(join(folder, "ships", "old"), { recursive: true });
copyFileSync(join(root, "examples", "cube.3do"), join(folder, "cube.3do"));
writeFileSync(join(folder, "ships", "done.3do"), words("3DO4", 99, 44, "HAND", 1, 4, 9, "XYZS", 2, 16, 1, 1, 2, 3));
writeFileSync(join(folder, "ships", "cut.3do"), words("3DO4", 0, 100, "PRIM", 0, 40, 1));
writeFileSync(join(folder, "ships", "old", "junk.3do"), words("3DO4", 7, 60, "HAND", 1, 4, 9, "XYZS", 2, 16, 8, 1, 2, 3, "JUNK", 3, 4, 5));
writeFileSync(join(folder, "readme.txt"), "not a model\n");
execFileSync(join(tools, "write_random_models"), [join(folder, "ships", "old"), "12", "5"]);
const walk = (dir, into = []) => {
  for (const name of readdirSync(dir).sort()) {
    const path = join(dir, name);
    statSync(path).isDirectory() ? walk(path, into) : into.push(path);
  }
  return into;
};
const files = walk(folder);
const pathIn = (file) => relative(dirname(folder), file).split("\\").join("/");  // "models/..."
const native = new Map();
function nativeOf(file) {
  if (!native.has(file)) {
    const line = spawnSync(join(tools, "3do"), ["info", "--json", file]).stdout.toString();
    const { file: _, ...info } = JSON.parse(line);
    const out = join(work, "native.out");
    const status = spawnSync(join(tools, "convert3do"), [file, out]).status;
    native.set(file, { info, status, output: readFileSync(out) });
  }
  return native.get(file);
}
files.forEach(nativeOf);

// ---- a loopback server for the http:// runs
const server = createServer((request, response) => {
  const path = new URL(request.url, "http://127.0.0.1").pathname;
  const name = path === "/" ? "index.html" : path.slice(1);
  if (!["index.html", "convert3do.mjs"].includes(name)) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { "content-type": name.endsWith(".html") ? "text/html" : "text/javascript" });
  response.end(readFileSync(join(web, name)));
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const httpUrl = `http://127.0.0.1:${server.address().port}/index.html`;
const fileUrl = pathToFileURL(join(web, "index.html")).href;

const isRoot = process.getuid && process.getuid() === 0;
const launchOptions = { executablePath: chromiumPath, headless: true, args: isRoot ? ["--no-sandbox"] : [] };
const browser = await chromium.launch(launchOptions);
let failed = false;
try {
  const runs = (part) => parts === null || parts.includes(part);
  if (runs("page")) {
    for (const url of [fileUrl, httpUrl, `${httpUrl}?sink=file`]) {
      step(`page from ${url.split(":")[0]}://${url.includes("?") ? ", outputs into files" : ""}`);
      await checkPage(url);
    }
  }
  if (runs("many")) {
    await manyModels();
  }
  if (runs("edges")) {
    await edges(httpUrl);
    await narrowAndWide(httpUrl);
    for (const url of [fileUrl, httpUrl]) {
      await drops(url);
    }
    await progressMoves(httpUrl);
    for (const url of [fileUrl, `${httpUrl}?sink=file`]) {
      await cancelThenConvert(url);
    }
  }
  if (runs("archives")) {
    for (const url of [fileUrl, httpUrl]) {
      await archives(url);
    }
  }
  if (parts !== null && parts.includes("stress")) {
    await stress(`${httpUrl}?sink=file`);
  }
  if (runs("speed")) {
    await tinyModels(httpUrl);
    await bigModel(httpUrl, bigMiB, 5);
    await bigModel(httpUrl, 257, 3);  // just above the size that used to change the way
    await bigModel(httpUrl, fileMiB, 3);
    await bigModel(`${httpUrl}?sink=file`, fileMiB, 2);  // into a file of the origin-private file system
  }
  if (runs("speed") || parts.includes("archive-speed")) {
    await archiveSpeed(httpUrl, Number(process.env.CONVERT3DO_ARCHIVE_MIB || 200));
  }
} catch (error) {
  failed = true;
  console.error(error);
} finally {
  await browser.close();
  server.close();
  rmSync(work, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);

// Opens the page and waits until it is ready, or fails at once on its error state.
// A profile on disk (persistent) keeps the origin-private file system on disk,
// as a user's browser does; a fresh context keeps it in memory.
async function open(url, persistent = false) {
  const profile = persistent ? mkdtempSync(join(work, "profile-")) : null;
  const context = persistent
    ? await chromium.launchPersistentContext(profile, { ...launchOptions, acceptDownloads: true })
    : await browser.newContext({ acceptDownloads: true });
  const page = await context.newPage();
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  page.on("pageerror", (error) => console.error(`page error: ${error.message}`));
  await page.goto(url);
  await settle(page);
  // The browser's first process: the one started with this profile, or the
  // one not started with any of this test's.
  const pid = childProcesses(process.pid).find((p) => persistent ? commandLine(p).includes(profile)
                                                                 : !commandLine(p).includes(work));
  return { context, page, requests, pid };
}

// Waits until the page is idle; its error state fails the test at once.
async function settle(page, timeout = 60000) {
  await page.waitForFunction(() => document.body.dataset.state === "idle" || document.body.dataset.state === "error",
                             null, { timeout, polling: 20 });
  const error = await page.evaluate(() => document.body.dataset.state === "error" && document.getElementById("error").textContent);
  assert.equal(error, false, `the page shows an error: ${error}`);
}

// The page moves the keyboard's focus in a task of its own once a job ends:
// it lands on a control of this kind, not on the page.
async function focusLands(page, tagName) {
  await page.waitForFunction((tag) => document.activeElement && document.activeElement.tagName === tag,
                             tagName, { timeout: 5000, polling: 20 });
}

// Clicks Convert and gives the download; fails at once with the page's
// status when the conversion ends without one or in its error state, and
// says where the page stood when no download came in time.
async function convertAndDownload(page, timeout = 60000) {
  const download = page.waitForEvent("download", { timeout });
  await page.click("#convert");
  const ended = page.waitForFunction(() => /^(Nothing|Cancelled)/.test(document.getElementById("status").textContent) ||
                                           document.body.dataset.state === "error",
                                     null, { timeout, polling: 20 });
  const first = await Promise.race([download, ended.then(() => null)]).catch(() => null);
  ended.catch(() => {});  // given up once the download came
  download.catch(() => {});
  const stood = () => page.evaluate(() => ["status", "error", "problems", "progress"].map((id) => {
    const element = document.getElementById(id);
    return `${id}: ${element ? (element.value ?? element.textContent) : "-"}`;
  }).join("; ") + `; state ${document.body.dataset.state}`);
  assert.ok(first, `no download: ${await stood()}`);
  return first;
}

async function listed(page, count) {
  await page.waitForFunction((n) => window.convert3doPage.rows.length === n || document.body.dataset.state === "error",
                             count, { timeout: 60000, polling: 20 });
  await settle(page);
  return page.evaluate(() => window.convert3doPage.rows);
}

// The entries of a zip download, by path.
async function zipEntries(download) {
  const path = join(work, "out.zip");
  await download.saveAs(path);
  const entries = unzipSync(readFileSync(path));
  rmSync(path);
  return entries;
}

// The first path: a folder listed, its table checked, one model and then the
// folder converted, and nothing asked of the network.
async function checkPage(url) {
  const { context, page, requests } = await open(url);
  await checkTable(page);
  await checkOneModel(page);
  await checkFolder(page, url);
  const others = requests.filter((r) => r !== url && !r.startsWith("blob:") && !r.startsWith("data:"));
  assert.deepEqual(others, []);
  step("no network request");
  await context.close();
}

// The table against 3do info --json, file by file and cell by cell; then it
// sorts, filters and opens a row to its chunks.
async function checkTable(page) {
  await page.setInputFiles("#files", files);
  const rows = await listed(page, files.length);
  for (const row of rows) {
    const file = files.find((f) => f.endsWith(`/${row.path}`) || f.endsWith(row.path));
    assert.deepEqual(row.info, native.get(file).info, row.path);
  }
  const cells = await page.$$eval("#models tbody tr", (trs) => trs.map((tr) => [tr.dataset.path, tr.cells[1].dataset.value, tr.cells[4].dataset.value]));
  assert.equal(cells.length, files.length);
  for (const [name, size, dropped] of cells) {
    const info = rows.find((r) => r.path === name).info;
    assert.deepEqual([size, dropped], [String(info.size), String(info.bytes_dropped)], name);
  }
  const texts = await page.$$eval("#models tbody tr", (trs) => trs.map((tr) => [tr.dataset.path, tr.cells[2].textContent, tr.cells[5].textContent]));
  for (const [name, walk, state] of texts) {
    const info = rows.find((r) => r.path === name).info;
    assert.equal(walk, info.walk_end_text, name);
    if (info.walk_end === "damaged") {
      assert.equal(state, `damaged: ${info.damage}`, name);
    }
  }
  step("the table says what 3do info --json says, in its words");
  await page.click("th button[data-key=dropped]");
  await page.click("th button[data-key=dropped]");
  const dropped = await page.$$eval("#models tbody tr td:nth-child(5)", (tds) => tds.map((td) => Number(td.dataset.value)));
  assert.deepEqual(dropped, [...dropped].sort((a, b) => b - a));
  await page.selectOption("#filter", "loses");
  const losing = await page.$$eval("#models tbody tr", (trs) => trs.length);
  assert.equal(losing, rows.filter((r) => r.info.bytes_dropped > 0 || r.info.walk_end === "damaged").length);
  await page.selectOption("#filter", "all");
  await page.click("#models tbody tr button");
  assert.ok(await page.$("tr.details table.chunks"));
  step("rows sort, filter and open to their chunks");
}

// One model: downloaded under its own name, as convert3do writes it; the
// keyboard's focus stays on a control throughout.
async function checkOneModel(page) {
  await page.click("#clear");
  assert.equal(await page.evaluate(() => document.activeElement.id), "files");
  const cube = files.find((f) => f.endsWith("cube.3do"));
  await page.setInputFiles("#files", [cube]);
  await listed(page, 1);
  await page.focus("#convert");
  const single = await convertAndDownload(page);
  await settle(page);
  assert.equal(single.suggestedFilename(), "cube.3do");
  const singlePath = join(work, "single.3do");
  await single.saveAs(singlePath);
  assert.deepEqual(readFileSync(singlePath), native.get(cube).output);
  await focusLands(page, "BUTTON");
  step("one model downloads as convert3do writes it; the focus never falls to the page");
}

// A folder: one zip that keeps the tree, damaged and non-3do files left out;
// the same folder chosen again adds nothing.
async function checkFolder(page, url) {
  await page.click("#clear");
  await page.setInputFiles("#folder", folder);
  await listed(page, files.length);
  await page.setViewportSize({ width: 1100, height: 760 });
  await page.screenshot({ path: join(shots, "web-screenshot.png") });
  await page.setViewportSize({ width: 1280, height: 720 });
  const listing = await zipEntries(await convertAndDownload(page));
  await settle(page);
  const run = await page.evaluate(() => window.convert3doPage.lastRun);
  const sinks = url.includes("sink=file") ? ["file"] : ["memory"];  // small models go to memory
  assert.deepEqual([...new Set([...run.sinks, run.zipSink])], sinks);
  const expected = files.filter((f) => native.get(f).info.walk_end !== "not_3do" && native.get(f).info.walk_end !== "damaged");
  assert.deepEqual(Object.keys(listing).sort(), expected.map(pathIn).sort());
  for (const file of expected) {
    assert.deepEqual(Buffer.from(listing[pathIn(file)]), native.get(file).output, file);
  }
  step(`a folder downloads as one zip of ${expected.length} models, byte for byte`);
  // The folder chosen again adds nothing.
  await page.setInputFiles("#folder", folder);
  await settle(page);
  assert.equal((await page.evaluate(() => window.convert3doPage.rows)).length, files.length);
  step("a folder chosen twice is listed once");
}

// 2, 3 and 5 models, tiny and of 2 MiB, each count on a fresh page, many
// times over, from file:// and http://, with outputs in memory and in files:
// the zip is exact every time.
async function manyModels() {
  const sets = {};
  for (const size of ["tiny", "2 MiB"]) {
    const dir = join(work, `many-${size === "tiny" ? "tiny" : "big"}`);
    mkdirSync(dir);
    sets[size] = [0, 1, 2, 3, 4].map((i) => {
      const path = join(dir, `m${i}.3do`);
      if (size === "tiny") {
        writeFileSync(path, words("3DO4", i, 28, "XYZS", 0, 16, 9, i, 2, 3));
      } else {
        writeBigModel(path, 2, i + 11);
      }
      nativeOf(path);
      return path;
    });
  }
  const context = await browser.newContext({ acceptDownloads: true });
  const page = await context.newPage();
  let runs = 0;
  const started = performance.now();
  for (const url of [fileUrl, httpUrl, `${httpUrl}?sink=file`]) {
    for (const [size, models] of Object.entries(sets)) {
      for (const count of [2, 3, 5]) {
        for (let attempt = 0; attempt < tries; ++attempt) {
          await page.goto(`${url}${url.includes("?") ? "&" : "?"}try=${runs}`);  // a fresh page each time
          await settle(page);
          const chosen = models.slice(0, count);
          await page.setInputFiles("#files", chosen);
          await listed(page, count);
          const entries = await zipEntries(await convertAndDownload(page));
          for (const path of chosen) {
            const name = path.split("/").pop();
            assert.ok(entries[name], `${count} ${size} models, try ${attempt}: ${name} missing`);
            assert.deepEqual(Buffer.from(entries[name]), native.get(path).output, `${count} ${size} models: ${name}`);
          }
          runs += 1;
        }
      }
    }
  }
  await context.close();
  step(`${runs} conversions of 2, 3 and 5 models on fresh pages give exact zips ` +
       `(${((performance.now() - started) / 1000).toFixed(0)} s)`);
}

// A pick during a conversion waits its turn; a file changed after it was
// listed is named, and the others converted; duplicate names are kept
// apart; a model with nothing to salvage is said to have none.
async function edges(url) {
  const { context, page } = await open(url);
  await pickDuringConversion(page);
  await changedAfterListing(page);
  await sameNames(page);
  await removedAfterListing(page);
  await nothingToSalvage(page);
  await context.close();
}

// A pick during a conversion: listed once the conversion is done, not in it.
async function pickDuringConversion(page) {
  const slow = join(work, "slow.3do");
  writeBigModel(slow, 48, 21);
  const extra = files.find((f) => f.endsWith("cube.3do"));
  await page.setInputFiles("#files", [slow]);
  await listed(page, 1);
  const download = page.waitForEvent("download", { timeout: 60000 });
  // Convert and pick in one task of the page, so the conversion is surely
  // still running when the pick arrives, however fast it is.
  const state = await page.evaluate((bytes) => {
    document.querySelector("#convert").click();
    const picked = new DataTransfer();
    picked.items.add(new File([new Uint8Array(bytes)], "cube.3do"));
    const input = document.querySelector("#files");
    input.files = picked.files;
    input.dispatchEvent(new Event("change", { bubbles: true }));
    return document.body.dataset.state;
  }, [...readFileSync(extra)]);
  assert.equal(state, "busy");
  const saved = join(work, "slow-page.3do");
  await (await download).saveAs(saved);
  await settle(page);
  assert.ok(execFileSync("cmp", [saved, nativeOfBig(slow)]).length === 0);
  const rows = await page.evaluate(() => window.convert3doPage.rows.map((r) => r.path));
  assert.deepEqual(rows, ["slow.3do", "cube.3do"]);
  assert.equal(await page.isDisabled("#convert"), false);
  step("a pick during a conversion is listed after it, and left out of it");
}

// A file changed on disk after it was listed.
async function changedAfterListing(page) {
  await page.click("#clear");
  const changing = join(work, "changing");
  mkdirSync(changing);
  const three = ["a", "b", "c"].map((n, i) => {
    const path = join(changing, `${n}.3do`);
    writeFileSync(path, words("3DO4", i, 28, "XYZS", 0, 16, 9, i, 2, 3));
    return path;
  });
  await page.setInputFiles("#files", three);
  await listed(page, 3);
  truncateSync(three[1], 10);
  const entries = await zipEntries(await convertAndDownload(page));
  await settle(page);
  assert.deepEqual(Object.keys(entries).sort(), ["a.3do", "c.3do"]);
  assert.match(await page.textContent("#problems"), /^b\.3do: cannot be read: it was changed or removed after it was listed/);
  assert.match(await page.textContent("#status"), /^Converted 2 of 3 files in [0-9.]+ s; 1 gave nothing \(see above\)\.$/);
  step("a file changed after it was listed is named; the others are converted");
}

// Two different models of one name.
async function sameNames(page) {
  await page.click("#clear");
  const [first, second] = ["one", "two"].map((dir, i) => {
    mkdirSync(join(work, dir));
    const path = join(work, dir, "same.3do");
    writeFileSync(path, words("3DO4", i, 28, "XYZS", 0, 16, 9 + i, 1, 2, 3));
    nativeOf(path);
    return path;
  });
  await page.setInputFiles("#files", [first]);
  await listed(page, 1);
  await page.setInputFiles("#files", [second]);
  await listed(page, 2);
  const named = await zipEntries(await convertAndDownload(page));
  assert.deepEqual(Buffer.from(named["same.3do"]), native.get(first).output);
  assert.deepEqual(Buffer.from(named["same (2).3do"]), native.get(second).output);
  for (const again of [second, first, second]) {
    await page.setInputFiles("#files", [again]);
    await settle(page);
  }
  assert.deepEqual(await page.evaluate(() => window.convert3doPage.rows.map((r) => r.path)), ["same.3do", "same (2).3do"]);
  step("two models of one name are kept apart: same.3do and same (2).3do; picked again, neither is listed twice");
}

// One model, removed from disk after it was listed: named, its row too.
async function removedAfterListing(page) {
  await page.click("#clear");
  const gone = join(work, "gone.3do");
  writeFileSync(gone, words("3DO4", 1, 28, "XYZS", 0, 16, 9, 1, 2, 3));
  await page.setInputFiles("#files", [gone]);
  await listed(page, 1);
  rmSync(gone);
  await page.click("#convert");
  await settle(page);
  assert.match(await page.textContent("#problems"), /^gone\.3do: cannot be read: it was changed or removed after it was listed/);
  assert.match(await page.textContent("#status"), /^Nothing downloaded; 1 gave nothing \(see above\)\.$/);
  assert.match(await page.textContent("#models tbody tr td:nth-child(6)"), /^not converted: cannot be read/);
  step("one model removed after it was listed: named, its row marked, the page ready again");
}

// Salvage of a model cut inside its header: nothing to download, and why.
async function nothingToSalvage(page) {
  await page.click("#clear");
  const cut = join(work, "cut-header.3do");
  writeFileSync(cut, words("3DO4", 1));
  await page.setInputFiles("#files", [cut, join(folder, "readme.txt")]);
  await listed(page, 2);
  await page.check("#salvage");
  let downloaded = false;
  page.on("download", () => (downloaded = true));
  await page.click("#convert");
  await settle(page);
  assert.equal(downloaded, false);
  assert.match(await page.textContent("#problems"), /nothing to salvage: cut at byte 8, inside the 12-byte header/);
  assert.match(await page.textContent("#status"), /^Nothing downloaded; 1 gave nothing \(see above\); 1 left out \(not 3do files\)\.$/);
  step("a model with nothing to salvage downloads nothing, and says so; with salvage, only what is no 3do file is left out");
}

// The page as it stands, at 360 and 1366 px, light and dark:
// web-WIDTH-SCHEME-NAME.png; then 1366 px, light again.
async function screenshots(page, name) {
  for (const scheme of ["light", "dark"]) {
    await page.emulateMedia({ colorScheme: scheme });
    for (const width of [360, 1366]) {
      await page.setViewportSize({ width, height: width === 360 ? 740 : 800 });
      await page.screenshot({ path: join(shots, `web-${width}-${scheme}-${name}.png`) });
    }
  }
  await page.emulateMedia({ colorScheme: "light" });
}

// At 360 px every cell and button of a row is on the screen, and opening a
// row's chunks keeps its name in view; screenshots, light and dark.
async function narrowAndWide(url) {
  for (const scheme of ["light", "dark"]) {
    const { context, page } = await open(url);
    await page.emulateMedia({ colorScheme: scheme });
    await page.setInputFiles("#folder", folder);
    await listed(page, files.length);
    for (const width of [360, 1366]) {
      await page.setViewportSize({ width, height: width === 360 ? 740 : 800 });
      await page.screenshot({ path: join(shots, `web-${width}-${scheme}.png`) });
    }
    await page.setViewportSize({ width: 360, height: 740 });
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), "the page is wider than 360 px");
    const boxes = await page.$$eval("#models tbody tr:first-child > td, #models tbody tr:first-child button, #models thead button",
                                    (all) => all.map((e) => { const b = e.getBoundingClientRect(); return [b.left, b.right, b.width]; }));
    for (const [left, right, width] of boxes) {
      assert.ok(width > 0 && left >= 0 && right <= 360, `a cell or button is off the screen: ${left}-${right}`);
    }
    await page.click("#models tbody tr:first-child button");
    const name = await page.$eval("#models tbody tr:first-child td.path", (e) => e.getBoundingClientRect().left);
    assert.ok(name >= 0, "opening the chunks scrolled the name away");
    assert.deepEqual(await brokenWords(page), [], "words broken inside at 360 px");
    await context.close();
  }
  step("at 360 px every cell and button is on the screen, no word broken inside; screenshots at 360 and 1366 px, light and dark");
}

// The words of the table's cells (a file's name aside, which may break
// anywhere) that the page lays out over more than one line.
function brokenWords(page) {
  return page.evaluate(() => {
    const broken = [];
    for (const cell of document.querySelectorAll("#models td:not(.path), #models th")) {
      const walker = document.createTreeWalker(cell, NodeFilter.SHOW_TEXT);
      for (let node = walker.nextNode(); node; node = walker.nextNode()) {
        for (const match of node.data.matchAll(/\S+/g)) {
          const range = document.createRange();
          range.setStart(node, match.index);
          range.setEnd(node, match.index + match[0].length);
          const tops = new Set([...range.getClientRects()].map((r) => Math.round(r.top)));
          if (tops.size > 1) {
            broken.push(match[0]);
          }
        }
      }
    }
    return broken;
  });
}

// Drops as the system makes them (real files, through the DevTools
// protocol's drag events): files, a folder, a file and a folder. From
// file://, where Chromium gives entries it cannot read, the files are
// listed all the same, and a folder is named with the way that works.
async function drops(url) {
  const fromFile = url.startsWith("file:");
  const { context, page } = await open(url);
  const session = await context.newCDPSession(page);
  const box = await page.locator("#drop").boundingBox();
  const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  const drop = async (paths) => {
    const data = { items: [], files: paths, dragOperationsMask: 1 };
    for (const type of ["dragEnter", "dragOver", "drop"]) {
      await session.send("Input.dispatchDragEvent", { type, ...at, data });
    }
  };
  const cube = files.find((f) => f.endsWith("cube.3do"));
  const done = join(folder, "ships", "done.3do");
  const inShips = files.filter((f) => f.startsWith(join(folder, "ships")));
  // what | paths dropped | rows from http | rows from file | a problem from file
  const cases = [
    ["two files", [cube, done], 2, 2, false],
    ["a folder", [join(folder, "ships")], inShips.length, 0, true],
    ["a file and a folder", [cube, join(folder, "ships")], inShips.length + 1, 1, true],
  ];
  const clear = async () => (await page.isEnabled("#clear")) && page.click("#clear");
  for (const [what, paths, rowsHttp, rowsFile, problem] of cases) {
    await clear();
    await drop(paths);
    await page.waitForFunction(() => !/^(The list is empty|Ready)/.test(document.getElementById("status").textContent) ||
                                     document.body.dataset.state === "error",
                               null, { timeout: 30000, polling: 20 });
    await settle(page);
    const rows = await page.evaluate(() => window.convert3doPage.rows.length);
    assert.equal(rows, fromFile ? rowsFile : rowsHttp, `${what}: rows`);
    const problems = await page.textContent("#problems");
    assert.equal(fromFile && problem, /use Choose a folder/.test(problems), `${what}: ${problems}`);
    if (what === "a file and a folder" && fromFile) {
      await screenshots(page, "drop-file-url");
    }
  }
  // An error shown before is gone once the next job starts.
  await page.evaluate(() => window.dispatchEvent(new ErrorEvent("error", { message: "an earlier failure" })));
  assert.equal(await page.isVisible("#error"), true);
  await clear();
  await page.setInputFiles("#files", [cube]);
  await listed(page, 1);
  assert.equal(await page.isVisible("#error"), false);
  step(`drops of files, a folder, both, from ${url.split(":")[0]}://; an earlier error cleared by the next job`);
  await context.close();
}

// The bar moves while one large model converts, and starts from nothing.
async function progressMoves(url) {
  const big = join(work, "progress.3do");
  writeBigModel(big, 256, 31);
  const { context, page } = await open(url);
  await page.setInputFiles("#files", [big]);
  await listed(page, 1);
  await page.evaluate(() => {
    window.seen = [];
    const sample = () => {
      window.seen.push(document.getElementById("progress").value);
      if (document.body.dataset.state === "busy") {
        setTimeout(sample, 25);
      }
    };
    document.getElementById("convert").click();
    sample();
  });
  await settle(page);
  const seen = await page.evaluate(() => window.seen);
  const between = new Set(seen.filter((v) => v > 0 && v < 1));
  const moved = seen.findIndex((v) => v > 0 && v < 1);
  assert.ok(seen.slice(0, moved).includes(0), `the bar did not start from nothing: ${seen.slice(0, 8)}`);
  assert.ok(between.size >= 2, `the bar did not move during the file: ${seen.join(" ")}`);
  step(`the bar moves during a 256 MiB model (${between.size} values between empty and full)`);
  await context.close();
  rmSync(big);
}

// The outputs-into-files path, over and over on fresh pages: zips of 2 to 11
// models, zips of a 256 MiB model, and conversions cancelled at random
// moments then made again. No run may stall: each has its timeout, and the
// page's state says where it stood.
async function stress(url) {
  const count = (name, fallback) => Number(process.env[name] || fallback);
  const { models, large, big, mid } = stressModels();
  let seed = 20261209;
  const random = (n) => (seed = (seed * 1103515245 + 12345) % 2147483648) % n;
  const context = await browser.newContext({ acceptDownloads: true });
  const page = await context.newPage();
  const started = performance.now();
  const checkZip = (download, chosen, what) => checkStressZip(download, chosen, what, large);
  const convertChecked = async (chosen, what) => {
    await page.setInputFiles("#files", chosen);
    await listed(page, chosen.length);
    await checkZip(await convertAndDownload(page, 120000), chosen, what);
  };
  const fresh = async (n) => {
    await page.goto(`${url}&try=${n}`);
    await settle(page);
  };
  const zips = count("CONVERT3DO_STRESS_ZIPS", 200);
  for (let n = 0; n < zips; ++n) {
    await fresh(n);
    const chosen = models.slice().sort(() => random(3) - 1).slice(0, 2 + random(10));
    await convertChecked(chosen, `zip ${n} of ${chosen.length}`);
  }
  const bigs = count("CONVERT3DO_STRESS_BIG", 20);
  for (let n = 0; n < bigs; ++n) {
    await fresh(zips + n);
    await convertChecked([big, models[n % 11]], `256 MiB zip ${n}`);
  }
  const cancels = count("CONVERT3DO_STRESS_CANCELS", 30);
  for (let n = 0; n < cancels; ++n) {
    await fresh(zips + bigs + n);
    const chosen = [mid, ...models.slice(0, 1 + random(4))];
    await page.setInputFiles("#files", chosen);
    await listed(page, chosen.length);
    await page.click("#convert");
    await page.waitForTimeout(random(1200));
    await cancelIfRunning(page);
    await settle(page);
    await checkZip(await convertAndDownload(page, 120000), chosen, `cancel ${n}`);
  }
  await context.close();
  step(`into files: ${zips} zips of 2 to 11 models, ${bigs} of 256 MiB, ${cancels} of 64 MiB cancelled and made again, ` +
       `all exact, none stalled (${((performance.now() - started) / 1000).toFixed(0)} s)`);
}

// The stress part's models: 11 small ones (2 to 11 of them make a zip), and
// the large ones, known by their output's CRC and size: 256 MiB, and 64 MiB
// for the cancels (cancelled within the second it takes, then made again).
function stressModels() {
  const dir = join(work, "stress");
  mkdirSync(dir);
  const models = Array.from({ length: 11 }, (_, i) => {
    const path = join(dir, `s${i}.3do`);
    i % 4 === 3 ? writeBigModel(path, 1, 50 + i) : writeFileSync(path, words("3DO4", i, 28, "XYZS", 0, 16, 9, i, 2, 3));
    nativeOf(path);
    return path;
  });
  const large = new Map();
  const largeModel = (name, mib, seed) => {
    const path = join(dir, name);
    writeBigModel(path, mib, seed);
    const output = readFileSync(nativeOfBig(path));
    large.set(path, { crc: crc32(output), size: output.length });
    return path;
  };
  return { models, large, big: largeModel("big.3do", 256, 61), mid: largeModel("mid.3do", 64, 62) };
}

// A zip of the stress part against convert3do's outputs. One with a large
// model is checked by its directory: each entry's CRC and size (unpacking
// 256 MiB each time would be most of the run).
async function checkStressZip(download, chosen, what, large) {
  const path = join(work, "stress.zip");
  await download.saveAs(path);
  const listing = chosen.some((p) => large.has(p)) ? zipDirectory(path) : unzipSync(readFileSync(path));
  rmSync(path);
  assert.deepEqual(Object.keys(listing).sort(), chosen.map((p) => p.split("/").pop()).sort(), what);
  for (const model of chosen) {
    const name = model.split("/").pop();
    const output = large.has(model) ? null : native.get(model).output;
    const entry = listing[name];
    if (entry instanceof Uint8Array) {
      assert.ok(Buffer.from(entry).equals(output), `${what}: ${name} differs`);
    } else {
      assert.deepEqual(entry, large.get(model) ?? { crc: crc32(output), size: output.length },
                       `${what}: ${name}`);
    }
  }
}

// Clicks Cancel if the conversion still runs, in one step in the page: the
// button is hidden the moment a conversion ends, which may come between a
// check from here and a click.
async function cancelIfRunning(page) {
  await page.evaluate(() => {
    const button = document.getElementById("cancel");
    if (button && !button.disabled && button.offsetParent !== null) {
      button.click();
    }
  });
}

// The entries of a zip file as its central directory lists them: name ->
// { crc, size } (stored entries, under 4 GiB).
function zipDirectory(path) {
  const size = statSync(path).size;
  const tail = Math.min(size, 1 << 20);  // the directory of a few entries, and the end record
  const bytes = Buffer.alloc(tail);
  const fd = openSync(path, "r");
  readSync(fd, bytes, 0, tail, size - tail);
  closeSync(fd);
  const base = size - tail;  // offsets in the file are this much past those in bytes
  const end = bytes.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  assert.ok(end >= 0, "no end of central directory");
  const entries = {};
  let at = bytes.readUInt32LE(end + 16) - base;
  for (let i = 0; i < bytes.readUInt16LE(end + 10); ++i) {
    assert.equal(bytes.readUInt32LE(at), 0x02014b50, "a central directory entry");
    const nameLength = bytes.readUInt16LE(at + 28);
    const name = bytes.toString("utf8", at + 46, at + 46 + nameLength);
    entries[name] = { crc: bytes.readUInt32LE(at + 16), size: bytes.readUInt32LE(at + 24) };
    at += 46 + nameLength + bytes.readUInt16LE(at + 30) + bytes.readUInt16LE(at + 32);
  }
  return entries;
}

function crc32(bytes) {
  const crcTable = (crc32.table ??= Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) {
      c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    }
    return c >>> 0;
  }));
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; ++i) {
    c = crcTable[(c ^ bytes[i]) & 255] ^ (c >>> 8);
  }
  return (c ^ 0xffffffff) >>> 0;
}

// The entries of a zip as stored: name -> { local (its local header and
// stored bytes), time (DOS time and date), crc, method }, in their order.
function zipRecords(path) {
  const bytes = readFileSync(path);
  const end = bytes.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  const records = new Map();
  let at = bytes.readUInt32LE(end + 16);
  for (let i = 0; i < bytes.readUInt16LE(end + 10); ++i) {
    const nameLength = bytes.readUInt16LE(at + 28);
    const name = bytes.toString("utf8", at + 46, at + 46 + nameLength);
    const header = bytes.readUInt32LE(at + 42);
    const compressed = bytes.readUInt32LE(at + 20);
    const localLength = 30 + bytes.readUInt16LE(header + 26) + bytes.readUInt16LE(header + 28);
    records.set(name, { local: bytes.subarray(header, header + localLength + compressed),
                        time: bytes.readUInt32LE(at + 12), crc: bytes.readUInt32LE(at + 16),
                        method: bytes.readUInt16LE(at + 10) });
    at += 46 + nameLength + bytes.readUInt16LE(at + 30) + bytes.readUInt16LE(at + 32);
  }
  return records;
}

// A mod archive picked and dropped: its models listed under its name as
// 3do info sees them, and the download the archive converted: each model
// convert3do's output, every other entry stored as it was, in its place.
async function archives(url) {
  const { context, page } = await open(url);
  const models = { "models/cube.3do": "cube.3do", "models/done.3do": "ships/done.3do",
                   "junk.bin": "ships/old/junk.3do" };
  const mtime = new Date(2020, 5, 6, 7, 8, 10);
  const entries = { "readme.txt": [Buffer.from("read me\n".repeat(99)), { level: 6, mtime }] };
  for (const [name, model] of Object.entries(models)) {
    entries[name] = [readFileSync(join(folder, model)), { level: name === "junk.bin" ? 0 : 9, mtime }];
  }
  entries["textures/a.dds"] = [Buffer.from(Array.from({ length: 5000 }, (_, i) => (i * 7) & 255)), { level: 0, mtime }];
  const path = join(work, "mod.zip");
  writeFileSync(path, zipSync(entries));
  const session = await context.newCDPSession(page);
  const box = await page.locator("#drop").boundingBox();
  for (const how of ["picked", "dropped"]) {
    if (await page.isEnabled("#clear")) {
      await page.click("#clear");
    }
    if (how === "picked") {
      await page.setInputFiles("#files", [path]);
    } else {
      const data = { items: [], files: [path], dragOperationsMask: 1 };
      for (const type of ["dragEnter", "dragOver", "drop"]) {
        await session.send("Input.dispatchDragEvent", { type, x: box.x + box.width / 2, y: box.y + box.height / 2, data });
      }
    }
    const rows = await listed(page, 3);
    for (const row of rows) {
      const entry = row.path.split(" \u203a ")[1];
      assert.equal(row.path, `mod.zip \u203a ${entry}`);
      assert.deepEqual(row.info, nativeOf(join(folder, models[entry])).info, `${how}: ${entry}`);
    }
    const download = await convertAndDownload(page);
    assert.equal(download.suggestedFilename(), "mod.zip");
    const out = join(work, "mod-out.zip");
    await download.saveAs(out);
    const [before, after] = [zipRecords(path), zipRecords(out)];
    assert.deepEqual([...after.keys()], [...before.keys()], `${how}: order`);
    const contents = unzipSync(readFileSync(out));
    for (const [name, record] of before) {
      const made = after.get(name);
      assert.equal(made.time, record.time, `${how}: ${name}: time`);
      assert.equal(made.method, record.method, `${how}: ${name}: method`);
      if (name in models) {
        assert.ok(Buffer.from(contents[name]).equals(nativeOf(join(folder, models[name])).output), `${how}: ${name}`);
      } else {
        assert.ok(made.local.equals(record.local), `${how}: ${name}: stored bytes`);
      }
    }
    rmSync(out);
  }
  // With a model beside it, the archive converted is an entry of the zip.
  await page.click("#clear");
  const cube = join(folder, "cube.3do");
  await page.setInputFiles("#files", [cube, path]);
  await listed(page, 4);
  const both = await zipEntries(await convertAndDownload(page));
  assert.deepEqual(Object.keys(both).sort(), ["cube.3do", "mod.zip"]);
  assert.ok(Buffer.from(both["cube.3do"]).equals(nativeOf(cube).output));
  const inner = unzipSync(both["mod.zip"]);
  assert.ok(Buffer.from(inner["models/cube.3do"]).equals(nativeOf(cube).output), "the archive inside");
  await hostileArchives(page, path);
  await nestedArchive(page);
  step(`a mod archive picked and dropped from ${url.split(":")[0]}://: listed and converted, the rest kept`);
  await context.close();
}

// A mod archive of about mib MiB (a fifth models, deflated; the rest
// textures, stored) converted by the page, against the floor measured in the
// same page: the archive read whole and its models inflated by the browser.
async function archiveSpeed(url, mib) {
  const entries = {};
  const modelBytes = [];
  for (let i = 0; (i + 1) * 0.2 <= mib / 5; ++i) {
    const model = join(work, "speed-model.3do");
    writeBigModel(model, 0.25, 100 + i);
    entries[`models/m${i}.3do`] = [readFileSync(model), { level: 6 }];
    modelBytes.push(entries[`models/m${i}.3do`][0].length);
  }
  for (let i = 0; i * 8 < (mib * 4) / 5; ++i) {
    const texture = Buffer.alloc(8 << 20);
    for (let w = 0; w < texture.length; w += 4) texture.writeUInt32LE((Math.random() * 2 ** 32) >>> 0, w);
    entries[`textures/t${i}.dds`] = [texture, { level: 0 }];
  }
  const path = join(work, "speed.zip");
  writeFileSync(path, zipSync(entries));
  const records = [...zipRecords(path).entries()].filter(([name]) => name.startsWith("models/"));
  const spans = records.map(([, r]) => [r.local.byteOffset, r.local.length]);
  const { context, page } = await open(url);
  await page.setInputFiles("#files", [path]);
  await listed(page, records.length);
  // The floor reads the archive through an input of its own, which the page
  // does not heed.
  await page.evaluate(() => {
    const input = Object.assign(document.createElement("input"), { type: "file", id: "floor-file", hidden: true });
    document.body.appendChild(input);
  });
  await page.setInputFiles("#floor-file", [path]);
  const floors = [];
  const times = [];
  for (let round = 0; round < 3; ++round) {
    floors.push(await page.evaluate(async () => {
      const file = document.getElementById("floor-file").files[0];
      const started = performance.now();
      const bytes = new Uint8Array(await file.arrayBuffer());
      const view = new DataView(bytes.buffer);
      let at = view.getUint32(bytes.length - 22 + 16, true);
      for (let n = view.getUint16(bytes.length - 22 + 10, true); n > 0; --n) {
        const header = view.getUint32(at + 42, true);
        const stored = view.getUint32(at + 20, true);
        if (view.getUint16(at + 10, true) === 8) {
          const data = header + 30 + view.getUint16(header + 26, true) + view.getUint16(header + 28, true);
          const inflate = new Blob([bytes.subarray(data, data + stored)]).stream()
            .pipeThrough(new DecompressionStream("deflate-raw"));
          await new Response(inflate).arrayBuffer();
        }
        at += 46 + view.getUint16(at + 28, true) + view.getUint16(at + 30, true) + view.getUint16(at + 32, true);
      }
      return (performance.now() - started) / 1000;
    }));
    await convertAndDownload(page, 600000);
    times.push(await page.evaluate(() => window.convert3doPage.lastRun.seconds));
  }
  const [time, floor] = [median(times), median(floors)];
  figure(`page: a ${(statSync(path).size / 1048576).toFixed(0)} MiB mod archive (${spans.length} models) ` +
         `converts in ${time.toFixed(2)} s (${Math.min(...times).toFixed(2)}-${Math.max(...times).toFixed(2)}), ` +
         `${(time / floor).toFixed(2)}x reading it and inflating its models ` +
         `(${floor.toFixed(2)} s, ${Math.min(...floors).toFixed(2)}-${Math.max(...floors).toFixed(2)}); goal 1.5x`);
  await context.close();
  rmSync(path);
}

// An archive inside an archive is opened in turn, three deep; its models
// are listed under both names and converted where they are.
async function nestedArchive(page) {
  const cube = join(folder, "cube.3do");
  const mtime = new Date(2021, 1, 2, 3, 4, 6);
  const deepest = zipSync({ "d.3do": [readFileSync(cube), { level: 6, mtime }] });
  const third = zipSync({ "c.3do": [readFileSync(cube), { level: 6, mtime }], "deeper.zip": [deepest, { level: 0, mtime }] });
  const second = zipSync({ "b.3do": [readFileSync(cube), { level: 9, mtime }], "third.zip": [third, { level: 6, mtime }] });
  const path = join(work, "nested.zip");
  writeFileSync(path, zipSync({ "packs/second.zip": [second, { level: 0, mtime }], "readme.txt": [Buffer.from("hi"), { level: 6, mtime }] }));
  if (await page.isEnabled("#clear")) {
    await page.click("#clear");
  }
  await page.setInputFiles("#files", [path]);
  const rows = await listed(page, 2);
  assert.deepEqual(rows.map((r) => r.path), ["nested.zip \u203a packs/second.zip \u203a b.3do",
                                             "nested.zip \u203a packs/second.zip \u203a third.zip \u203a c.3do"]);
  assert.deepEqual(rows[1].info, nativeOf(cube).info);
  const download = await convertAndDownload(page);
  const saved = join(work, "nested-out.zip");
  await download.saveAs(saved);
  const secondOut = unzipSync(unzipSync(readFileSync(saved))["packs/second.zip"]);
  const thirdOut = unzipSync(secondOut["third.zip"]);
  const want = nativeOf(cube).output;
  assert.ok(Buffer.from(secondOut["b.3do"]).equals(want) && Buffer.from(thirdOut["c.3do"]).equals(want), "nested models");
  assert.ok(Buffer.from(thirdOut["deeper.zip"]).equals(Buffer.from(deepest)), "the fourth archive was opened");
  rmSync(saved);
}

// Bad archives, each made from a sound one: the page lists nothing of them
// and says why in 3do's words.
async function hostileArchives(page, sound) {
  const bytes = readFileSync(sound);
  const directory = bytes.readUInt32LE(bytes.length - 22 + 16);
  const second = bytes.indexOf(Buffer.from([0x50, 0x4b, 1, 2]), directory + 46);
  const patched = (edit) => {
    const copy = Buffer.from(bytes);
    edit(copy);
    return copy;
  };
  const cases = [
    ["cut short", bytes.subarray(0, bytes.length - 10), "a zip archive cut short"],
    ["overlapping", patched((b) => b.writeUInt32LE(0, second + 42)), "share bytes (overlapping entries"],
    ["encrypted model", patched((b) => {
      const model = b.indexOf(Buffer.from("models/cube.3do"), directory) - 46;
      b.writeUInt16LE(1, model + 8);
      b.writeUInt16LE(1, b.readUInt32LE(model + 42) + 6);
    }), "entry models/cube.3do is encrypted"],
  ];
  for (const [what, archive, words] of cases) {
    const path = join(work, "bad.zip");
    writeFileSync(path, archive);
    if (await page.isEnabled("#clear")) {
      await page.click("#clear");
    }
    await page.setInputFiles("#files", [path]);
    await page.waitForFunction((said) => document.getElementById("problems").textContent.includes(said) ||
                                         document.body.dataset.state === "error", words, { timeout: 30000, polling: 20 });
    await settle(page);
    const problems = await page.textContent("#problems");
    assert.ok(problems.includes("bad.zip") && problems.includes(words), `${what}: ${problems}`);
    assert.equal(await page.evaluate(() => window.convert3doPage.rows.length), 0, what);
  }
}

// Cancel, then Convert again, at several moments of the first conversion:
// the zip is exact, entry by entry, whatever the moment.
async function cancelThenConvert(url) {
  const big = join(work, "cancel.3do");
  writeBigModel(big, 256, 41);
  const small = files.find((f) => f.endsWith("cube.3do"));
  for (const moment of [50, 300, 700]) {
    const { context, page } = await open(url);
    await page.setInputFiles("#files", [big, small]);
    await listed(page, 2);
    await page.click("#convert");
    await page.waitForTimeout(moment);
    await cancelIfRunning(page);
    await settle(page);
    const entries = await zipEntries(await convertAndDownload(page, 120000));
    await settle(page);
    assert.deepEqual(Object.keys(entries).sort(), ["cancel.3do", "cube.3do"], `${moment} ms`);
    assert.ok(execFileSync("cmp", ["-", nativeOfBig(big)], { input: Buffer.from(entries["cancel.3do"]) }).length === 0);
    assert.deepEqual(Buffer.from(entries["cube.3do"]), native.get(small).output);
    assert.match(await page.textContent("#status"), /^Converted 2 of 2 files/);
    if (moment === 300) {
      await screenshots(page, `after-cancel-${url.split(":")[0]}`);
    }
    await context.close();
  }
  step(`cancel at 50, 300 and 700 ms, then convert again, from ${url.split(":")[0]}://${url.includes("sink=file") ? " into files" : ""}: an exact zip each time`);
  rmSync(big);
}

// 500 tiny models, listed and converted: how long the page takes per model.
async function tinyModels(url) {
  const dir = join(work, "tiny");
  mkdirSync(dir);
  const paths = [];
  for (let i = 0; i < 500; ++i) {
    const path = join(dir, `t${i}.3do`);
    writeFileSync(path, words("3DO4", i, 28, "XYZS", 0, 16, 9, i, 2, 3));
    paths.push(path);
  }
  const { context, page } = await open(url);
  await page.setInputFiles("#files", paths);
  await listed(page, paths.length);
  const entries = await zipEntries(await convertAndDownload(page));
  await settle(page);
  assert.equal(Object.keys(entries).length, paths.length);
  // The page's own times, from a pick to the table, and from Convert to the download.
  const { lastList, lastRun } = await page.evaluate(() => window.convert3doPage);
  const together = lastList.seconds + lastRun.seconds;
  const floor = await tinyFloorOf(page, paths);
  figure(`500 tiny models: listed in ${lastList.seconds.toFixed(2)} s, converted in ` +
         `${lastRun.seconds.toFixed(2)} s, ${together.toFixed(2)} s together; the browser's floor ` +
         `${floor.toFixed(2)} s (${(together / floor).toFixed(2)}x)`);
  await context.close();
}

// The browser's floor for listing and converting many small files: each
// File handed to a worker (the browser looks up its size then), and read
// whole twice, by the quicker of sixteen at a time and all as one Blob.
// Seconds.
async function tinyFloorOf(page, paths) {
  await page.evaluate(() => {
    const input = document.createElement("input");
    Object.assign(input, { type: "file", multiple: true, id: "floor-files", hidden: true });
    document.body.appendChild(input);
  });
  await page.setInputFiles("#floor-files", paths);  // Files not handed over yet
  return page.evaluate(async () => {
    const source = `
      const oneByOne = async (files) => {
        for (let i = 0; i < files.length; i += 16) {
          await Promise.all(files.slice(i, i + 16).map((file) => file.arrayBuffer()));
        }
      };
      const asOne = (files) => new Blob(files).arrayBuffer();
      self.onmessage = async ({ data: files }) => {
        const began = performance.now();
        await oneByOne(files);
        const middle = performance.now();
        await asOne(files);
        self.postMessage([middle - began, performance.now() - middle]);
      };`;
    const worker = new Worker(URL.createObjectURL(new Blob([source], { type: "text/javascript" })));
    const files = [...document.getElementById("floor-files").files];
    const started = performance.now();
    const reads = await new Promise((resolve) => {
      worker.onmessage = (event) => resolve(event.data);
      worker.postMessage(files);
    });
    worker.terminate();
    // The hand-over, and the quicker read twice.
    const handOver = performance.now() - started - reads[0] - reads[1];
    return (handOver + 2 * Math.min(...reads)) / 1000;
  });
}

function commandLine(pid) {
  try {
    return readFileSync(`/proc/${pid}/cmdline`, "utf8");
  } catch {
    return "";  // gone
  }
}

function childProcesses(parent) {
  return readdirSync("/proc").filter((p) => /^\d+$/.test(p)).map(Number).filter((p) => {
    try {
      return Number(readFileSync(`/proc/${p}/stat`, "utf8").split(") ")[1].split(" ")[1]) === parent;
    } catch {
      return false;  // gone
    }
  });
}

// The memory of a browser, all its processes, in MiB: their proportional set
// sizes, so that memory two processes share counts once.
function browserMiB(pid) {
  let kib = 0;
  for (const known = [pid]; known.length > 0;) {
    const p = known.pop();
    known.push(...childProcesses(p));
    try {
      kib += Number(/Pss:\s+(\d+)/.exec(readFileSync(`/proc/${p}/smaps_rollup`, "utf8"))?.[1] || 0);
    } catch { /* gone */ }
  }
  return kib / 1024;
}

// The peak memory of the browser above idle while work() runs, in MiB.
async function peakAbove(pid, idle, work) {
  let peak = idle;
  const sampler = setInterval(() => (peak = Math.max(peak, browserMiB(pid))), 50);
  try {
    await work();
  } finally {
    clearInterval(sampler);
  }
  return Math.max(0, peak - idle);
}

// The browser's floor for a model: the file read whole, by the quickest of
// arrayBuffer(), a byte stream read into one buffer, and 8 MiB slices four
// at a time, then a Blob of its size made; in a worker, as the page's work
// is. Seconds.
async function floorOf(page) {
  return page.evaluate(async () => {
    const source = `
      self.onmessage = async ({ data: file }) => {
        const times = {};
        let started = performance.now();
        await file.arrayBuffer();
        times.arrayBuffer = performance.now() - started;
        started = performance.now();
        const reader = file.stream().getReader({ mode: "byob" });
        let buffer = new ArrayBuffer(8 << 20);
        for (;;) {
          const { done, value } = await reader.read(new Uint8Array(buffer));
          if (done) break;
          buffer = value.buffer;
        }
        times.byteStream = performance.now() - started;
        started = performance.now();
        const parts = [];
        const reads = [];
        for (let asked = 0, at = 0; at < file.size; at += 8 << 20) {
          for (; reads.length < 4 && asked < file.size; asked += 8 << 20) {
            reads.push(file.slice(asked, asked + (8 << 20)).arrayBuffer());
          }
          parts.push(new Uint8Array(await reads.shift()));
        }
        times.slices = performance.now() - started;
        started = performance.now();
        const blob = new Blob(parts);
        times.blob = performance.now() - started;
        self.postMessage({ times, size: blob.size });
      };`;
    const worker = new Worker(URL.createObjectURL(new Blob([source], { type: "text/javascript" })));
    const input = window.convert3doPage.files[0];
    const answer = await new Promise((resolve) => {
      worker.onmessage = (event) => resolve(event.data);
      worker.postMessage(input);
    });
    worker.terminate();
    const { arrayBuffer, byteStream, slices, blob } = answer.times;
    return (Math.min(arrayBuffer, byteStream, slices) + blob) / 1000;
  });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// convert3do's output for a large model, made once.
function nativeOfBig(path) {
  const out = `${path}.native`;
  if (!existsSync(out)) {
    execFileSync(join(tools, "convert3do"), [path, out]);
  }
  return out;
}

// A large mixed model of mib MiB converted in the page, in rounds
// interleaved with the browser's floor; convert3do's time too.
async function bigModel(url, mib, rounds) {
  const path = join(work, `big-${mib}.3do`);
  writeBigModel(path, mib, 3);
  const out = nativeOfBig(path);
  const nativeSeconds = convert3doSeconds(path, out);
  const intoFile = url.includes("sink=file");
  const { context, page, pid } = await open(url, intoFile);
  await new Promise((resolve) => setTimeout(resolve, 1000));
  await page.setInputFiles("#files", [path]);
  await listed(page, 1);
  if (mib === bigMiB && !intoFile) {
    await cancelAtStart(page);
  }
  const pages = [];
  const floors = [];
  let pageMemory = 0;
  let floorMemory = 0;
  let run = null;
  for (let round = 0; round < rounds; ++round) {
    await new Promise((resolve) => setTimeout(resolve, 500));
    const idle = browserMiB(pid);
    floorMemory = Math.max(floorMemory, await peakAbove(pid, idle, async () => floors.push(await floorOf(page))));
    await new Promise((resolve) => setTimeout(resolve, 500));
    const before = browserMiB(pid);
    pageMemory = Math.max(pageMemory, await peakAbove(pid, before, async () => {
      const download = await convertAndDownload(page, 300000);
      await settle(page, 300000);
      run = await page.evaluate(() => window.convert3doPage.lastRun);
      pages.push(run.seconds);
      if (round === 0) {
        const saved = join(work, "big-page.3do");
        await download.saveAs(saved);
        assert.ok(execFileSync("cmp", [saved, out]).length === 0);
        rmSync(saved);
      }
      await download.delete();
    }));
  }
  const range = (values) => `${Math.min(...values).toFixed(2)}-${Math.max(...values).toFixed(2)} s`;
  const where = { file: "a file of the origin-private file system", patch: "the model's own bytes and the chunks rewritten",
                  memory: "memory" }[run.sinks[0]];
  figure(`${mib} MiB model, output made in ${where} ` +
         `(${rounds} rounds): the page ${range(pages)}, the browser's floor ${range(floors)} ` +
         `(${(median(pages) / median(floors)).toFixed(2)}x the floor), convert3do ${nativeSeconds.toFixed(2)} s; ` +
         `memory above idle: the page +${pageMemory.toFixed(0)} MiB, the floor +${floorMemory.toFixed(0)} MiB ` +
         `(${(pageMemory / Math.max(floorMemory, 1)).toFixed(2)}x)`);
  if (intoFile) {
    await closedPageFilesRemoved(context, page, url);
  }
  await context.close();
  rmSync(path);
  rmSync(out);
}

// convert3do's median time over three runs of path (its output beside out).
function convert3doSeconds(path, out) {
  const times = [0, 1, 2].map(() => {
    const started = process.hrtime.bigint();
    execFileSync(join(tools, "convert3do"), [path, `${out}.again`]);
    return Number(process.hrtime.bigint() - started) / 1e9;
  });
  rmSync(`${out}.again`);
  return median(times);
}

// Cancel, sent as the conversion starts, stops it whatever it waits for.
async function cancelAtStart(page) {
  let downloaded = false;
  page.on("download", () => (downloaded = true));
  await page.evaluate(() => {
    document.getElementById("convert").click();
    document.getElementById("cancel").click();
  });
  await settle(page, 300000);
  assert.equal(await page.textContent("#status"), "Cancelled: nothing downloaded.");
  assert.equal(downloaded, false);
  await focusLands(page, "BUTTON");
  page.removeAllListeners("download");
  step("Cancel stops a conversion under way");
}

// The output's file stays while its page is open; the next page removes it.
async function closedPageFilesRemoved(context, page, url) {
  const stored = (p) => p.evaluate(async () => {
    const names = [];
    for await (const name of (await navigator.storage.getDirectory()).keys()) {
      names.push(name);
    }
    return names;
  });
  assert.ok((await stored(page)).length >= 1);
  await page.close();
  const next = await context.newPage();
  await next.goto(url);
  await settle(next);
  let left = await stored(next);
  for (let wait = 0; left.length > 0 && wait < 300; ++wait) {
    await new Promise((resolve) => setTimeout(resolve, 100));
    left = await stored(next);
  }
  assert.deepEqual(left, []);
  step("the files of a closed page's outputs are removed by the next page");
}

// A mixed model of mib MiB: all six tags, payloads of 1 B to 64 KiB.
function writeBigModel(path, mib, seedFrom) {
  const fd = openSync(path, "w");
  let body = 0;
  writeSync(fd, words("3DO4", 1, 0));
  let seed = seedFrom;
  const random = () => (seed = (seed * 1103515245 + 12345) % 2147483648);
  const tags = ["HAND", "NORM", "PLAN", "PRIM", "STRN", "XYZS"];
  const block = Buffer.alloc(65536 * 16);
  for (let i = 0; i < block.length; i += 4) block.writeUInt32LE(random(), i);
  while (body < mib * 1048576 - 70000) {
    const tag = tags[random() % 6];
    const length = 1 + (random() % 65536);
    const size = tag === "XYZS" ? Math.ceil(length / 16) * 16 : Math.ceil(length / 4) * 4;
    writeSync(fd, words(tag, 0, length));
    writeSync(fd, block, random() % 65536, size);
    body += 12 + size;
  }
  const header = Buffer.alloc(4);
  header.writeInt32LE(body);
  writeSync(fd, header, 0, 4, 8);
  closeSync(fd);
}
