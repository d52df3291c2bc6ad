// The page in a real browser (Debian's chromium, driven by playwright-core),
// opened from file:// and over a loopback server: its table against
// `3do info --json`, its downloads (one model, and a folder as a zip) against
// the native programs' outputs byte for byte, no network request at all, a
// 256 MiB model converted in memory and a 1 GiB one into a file, timed against
// convert3do and with the browser's memory recorded, and a screenshot.
// Exits 77 (skipped) where chromium or playwright-core is missing.
//
// Environment: CONVERT3DO_WEB (the build's web folder), CONVERT3DO_TOOLS
// (convert3do, 3do, write_random_models), CONVERT3DO_TESTS (where the
// screenshot goes); CONVERT3DO_BIG_MIB sets the size of the large model
// converted in memory (256), CONVERT3DO_FILE_MIB that of the one converted
// into a file of the origin-private file system (1024).
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync,
         writeFileSync, copyFileSync, openSync, writeSync, closeSync, appendFileSync } from "node:fs";
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
const chromiumPath = ["/usr/bin/chromium", "/usr/bin/chromium-browser"].find((p) => existsSync(p));
const driver = join(root, "web", "node_modules", "playwright-core", "index.mjs");
if (!chromiumPath || !existsSync(driver)) {
  console.log("skipped: needs Debian's chromium and `npm ci --prefix web` (playwright-core)");
  process.exit(77);
}
const { chromium } = await import(pathToFileURL(driver));

const work = mkdtempSync(join(tmpdir(), "convert3do-browser-"));
rmSync(join(shots, "web-figures.txt"), { force: true });
const step = (text) => console.log(`- ${text}`);

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
const files = [];
(function walk(dir) {
  for (const name of readdirSync(dir).sort()) {
    const path = join(dir, name);
    statSync(path).isDirectory() ? walk(path) : files.push(path);
  }
})(folder);
const pathIn = (file) => relative(dirname(folder), file).split("\\").join("/");  // "models/..."
const native = new Map();
for (const line of spawnSync(join(tools, "3do"), ["info", "--json", ...files]).stdout.toString().trim().split("\n")) {
  const { file, ...info } = JSON.parse(line);
  const out = join(work, "native.out");
  const status = spawnSync(join(tools, "convert3do"), [file, out]).status;
  native.set(file, { info, status, output: readFileSync(out) });
}

// ---- a loopback server for the http:// run
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

const isRoot = process.getuid && process.getuid() === 0;
const launchOptions = { executablePath: chromiumPath, headless: true, args: isRoot ? ["--no-sandbox"] : [] };
const browser = await chromium.launch(launchOptions);
let failed = false;
try {
  // The third run sends every output, and the zip, into a file of the
  // origin-private file system, as a large model's would go.
  for (const url of [pathToFileURL(join(web, "index.html")).href, httpUrl, `${httpUrl}?sink=file`]) {
    step(`page from ${url.split(":")[0]}://${url.includes("?") ? ", outputs into files" : ""}`);
    await checkPage(url);
  }
  await bigModel(httpUrl, bigMiB);  // in memory, as the page chooses for its size
  await bigModel(httpUrl, fileMiB);  // in a file, as the page chooses for its size
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
                             null, { timeout, polling: 50 });
  const error = await page.evaluate(() => document.body.dataset.state === "error" && document.getElementById("error").textContent);
  assert.equal(error, false, `the page shows an error: ${error}`);
}

// Clicks Convert and gives the download; fails at once with the page's
// status when the conversion stops without one.
async function convertAndDownload(page, timeout = 60000) {
  const download = page.waitForEvent("download", { timeout });
  await page.click("#convert");  // which says "Converting…" at once
  const stopped = page.waitForFunction(() => /^(Stopped|Cancelled)/.test(document.getElementById("status").textContent),
                                       null, { timeout, polling: 50 });
  const first = await Promise.race([download, stopped.then(() => null)]);
  stopped.catch(() => {});  // given up once the download came
  assert.ok(first, `no download: ${await page.textContent("#status")}`);
  return first;
}

async function listed(page, count) {
  await page.waitForFunction((n) => window.convert3doPage.rows.length === n || document.body.dataset.state === "error",
                             count, { timeout: 60000, polling: 50 });
  await settle(page);
  return page.evaluate(() => window.convert3doPage.rows);
}

async function checkPage(url) {
  const { context, page, requests } = await open(url);
  // The table against 3do info --json, file by file and cell by cell.
  await page.setInputFiles("#files", files);
  const rows = await listed(page, files.length);
  for (const row of rows) {
    const file = files.find((f) => f.endsWith(`/${row.path}`) || f.endsWith(row.path));
    assert.deepEqual(row.info, native.get(file).info, row.path);
  }
  const cells = await page.$$eval("#models tbody tr", (trs) => trs.map((tr) => [tr.dataset.path, tr.cells[1].textContent, tr.cells[4].textContent]));
  assert.equal(cells.length, files.length);
  for (const [name, size, dropped] of cells) {
    const info = rows.find((r) => r.path === name).info;
    assert.deepEqual([size, dropped], [String(info.size), String(info.bytes_dropped)], name);
  }
  step("the table says what 3do info --json says");
  // Sorting and the filter.
  await page.click("th button[data-key=dropped]");
  await page.click("th button[data-key=dropped]");
  const dropped = await page.$$eval("#models tbody tr td:nth-child(5)", (tds) => tds.map((td) => Number(td.textContent)));
  assert.deepEqual(dropped, [...dropped].sort((a, b) => b - a));
  await page.selectOption("#filter", "loses");
  const losing = await page.$$eval("#models tbody tr", (trs) => trs.length);
  assert.equal(losing, rows.filter((r) => r.info.bytes_dropped > 0 || r.info.walk_end === "damaged").length);
  await page.selectOption("#filter", "all");
  await page.click("#models tbody tr button");
  assert.ok(await page.$("tr.details table.chunks"));
  step("rows sort, filter and open to their chunks");

  // One model: downloaded under its own name, as convert3do writes it.
  await page.click("#clear");
  const cube = files.find((f) => f.endsWith("cube.3do"));
  await page.setInputFiles("#files", [cube]);
  await listed(page, 1);
  const single = await convertAndDownload(page);
  assert.equal(single.suggestedFilename(), "cube.3do");
  const singlePath = join(work, "single.3do");
  await single.saveAs(singlePath);
  assert.deepEqual(readFileSync(singlePath), native.get(cube).output);
  step("one model downloads as convert3do writes it");

  // A folder: one zip that keeps the tree, damaged and non-3do files left out.
  await page.click("#clear");
  await page.setInputFiles("#folder", folder);
  await listed(page, files.length);
  await page.setViewportSize({ width: 1100, height: 760 });
  await page.screenshot({ path: join(shots, "web-screenshot.png") });
  // Fine at 360 px wide: nothing but the table scrolls sideways.
  await page.setViewportSize({ width: 360, height: 740 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), "the page is wider than 360 px");
  await page.setViewportSize({ width: 1280, height: 720 });
  const zipped = await convertAndDownload(page);
  await settle(page);
  const run = await page.evaluate(() => window.convert3doPage.lastRun);
  const sinks = url.includes("sink=file") ? ["file"] : ["memory"];  // small models go to memory
  assert.deepEqual([...new Set([...run.sinks, run.zipSink])], sinks);
  const zipPath = join(work, "out.zip");
  await zipped.saveAs(zipPath);
  const listing = JSON.parse(execFileSync("python3", ["-c", `
import base64, json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(json.dumps({i.filename: base64.b64encode(z.read(i)).decode() for i in z.infolist()}))`, zipPath]).toString());
  const expected = files.filter((f) => native.get(f).info.walk_end !== "not_3do" && native.get(f).info.walk_end !== "damaged");
  assert.deepEqual(Object.keys(listing).sort(), expected.map(pathIn).sort());
  for (const file of expected) {
    assert.deepEqual(Buffer.from(listing[pathIn(file)], "base64"), native.get(file).output, file);
  }
  step(`a folder downloads as one zip of ${expected.length} models, byte for byte`);

  // Nothing but the page itself was requested.
  const others = requests.filter((r) => r !== url && !r.startsWith("blob:") && !r.startsWith("data:"));
  assert.deepEqual(others, []);
  step("no network request");
  await context.close();
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

// A large mixed model of mib MiB converted in the page, against convert3do.
async function bigModel(url, mib) {
  const path = join(work, `big-${mib}.3do`);
  if (!existsSync(path)) {
    writeBigModel(path, mib);
  }
  // convert3do's wall time: the median of three runs, page cache warm.
  const out = join(work, "big-native.3do");
  const times = [0, 1, 2].map(() => {
    rmSync(out, { force: true });
    const started = process.hrtime.bigint();
    execFileSync(join(tools, "convert3do"), [path, out]);
    return Number(process.hrtime.bigint() - started) / 1e9;
  });
  const nativeSeconds = times.sort((a, b) => a - b)[1];

  const { context, page, pid } = await open(url, mib > 256);
  // The page's memory from idle (a second after it is ready, the model not
  // yet chosen) to the end. Recorded, never judged: it is no test's verdict.
  await new Promise((resolve) => setTimeout(resolve, 1000));
  const idle = browserMiB(pid);
  let peak = idle;
  const sampler = setInterval(() => (peak = Math.max(peak, browserMiB(pid))), 100);
  await page.setInputFiles("#files", [path]);
  await listed(page, 1);
  if (mib <= 256) {
    // Cancel, sent as the conversion starts, stops it between two slices.
    let downloaded = false;
    page.on("download", () => (downloaded = true));
    // Both in one task of the page, so that however fast the machine, the
    // cancel comes while the conversion is under way.
    await page.evaluate(() => {
      document.getElementById("convert").click();
      document.getElementById("cancel").click();
    });
    await settle(page, 300000);
    assert.equal(await page.textContent("#status"), "Cancelled: nothing downloaded.");
    assert.equal(downloaded, false);
    assert.ok(await page.evaluate(() => document.getElementById("progress").value < 1), "the worker went on to the end");
    page.removeAllListeners("download");
    step("Cancel stops a conversion under way");
  }
  const download = await convertAndDownload(page, 300000);
  await settle(page, 300000);
  clearInterval(sampler);
  const run = await page.evaluate(() => window.convert3doPage.lastRun);
  const saved = join(work, "big-page.3do");
  await download.saveAs(saved);
  assert.ok(execFileSync("cmp", [saved, out]).length === 0);
  rmSync(saved);
  const figures = `${mib} MiB model: the page converts it in ${run.seconds.toFixed(2)} s ` +
    `(output in ${run.sinks[0] === "file" ? "a file of the origin-private file system" : "memory"}), ` +
    `convert3do in ${nativeSeconds.toFixed(2)} s: ${(run.seconds / nativeSeconds).toFixed(2)}x; ` +
    `the browser's memory went from ${idle.toFixed(0)} MiB to a peak of ${peak.toFixed(0)} MiB ` +
    `(+${(peak - idle).toFixed(0)} MiB); in the worker, ms: ${JSON.stringify(run.timings[0], (k, v) => (typeof v === "number" ? Math.round(v) : v))}`;
  console.log(`- ${figures}`);
  appendFileSync(join(shots, "web-figures.txt"), `${figures}\n`);
  if (mib > 256) {
    // The output's file stays while its page is open; the next page removes it.
    const files = (p) => p.evaluate(async () => {
      const names = [];
      for await (const name of (await navigator.storage.getDirectory()).keys()) {
        names.push(name);
      }
      return names;
    });
    assert.equal((await files(page)).length, 1);
    await page.close();
    const next = await context.newPage();
    await next.goto(url);
    await settle(next);
    let left = await files(next);
    for (let tries = 0; left.length > 0 && tries < 300; ++tries) {
      await new Promise((resolve) => setTimeout(resolve, 100));
      left = await files(next);
    }
    assert.deepEqual(left, []);
    step("the file of a closed page's output is removed by the next page");
  }
  await context.close();
  rmSync(path);
  rmSync(out);
}

// A mixed model of mib MiB: all six tags, payloads of 1 B to 64 KiB.
function writeBigModel(path, mib) {
  const fd = openSync(path, "w");
  let body = 0;
  writeSync(fd, words("3DO4", 1, 0));
  let seed = 3;
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
