// Writes the browser build from the core's WebAssembly module:
//   OUT/convert3do.mjs  the ES module for browsers and Node.js (the module inlined)
//   OUT/index.html      the page, self-contained: styles, scripts, the module and
//                       the worker's source with the zip library (fflate, from
//                       web/node_modules) inlined
//   OUT/package.json, OUT/README.md   the npm package (npm pack OUT)
//
// usage: node web/build.mjs MODULE.wasm OUT_DIR VERSION
import { existsSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const [wasmPath, out, version] = process.argv.slice(2);
if (!wasmPath || !out || !version) {
  console.error("usage: node web/build.mjs MODULE.wasm OUT_DIR VERSION");
  process.exit(2);
}
const here = dirname(fileURLToPath(import.meta.url));
const read = (name) => readFileSync(join(here, name), "utf8");
const fflatePath = join(here, "node_modules", "fflate", "umd", "index.js");
if (!existsSync(fflatePath)) {
  console.error("web/build.mjs: fflate is not installed: run `npm ci --prefix web` first");
  process.exit(1);
}

const core = read("convert3do.js").replace("@CONVERT3DO_WASM_BASE64@",
                                           readFileSync(wasmPath).toString("base64"));
const exported = "convert, info, createConverter, createSurvey, version";
mkdirSync(out, { recursive: true });
writeFileSync(join(out, "convert3do.mjs"), `${core}\nexport { ${exported} };\n`);

// The page's and the worker's parts, by job, put together in one scope each.
const PAGE_PARTS = ["page-status.js", "page-table.js", "page-jobs.js", "page-list.js", "page-convert.js",
                    "page-main.js"];
const WORKER_PARTS = ["worker-read.js", "worker-sinks.js", "worker-archive.js", "worker-jobs.js", "worker.js"];
// What 3do says of archives, taken from its message table (the kZip
// messages): the page says it in the same words.
const messages = readFileSync(join(here, "..", "cli", "common", "messages.h"), "utf8");
const ZIP_SAY = {};
for (const [, name, literals] of messages.matchAll(/constexpr const char\* (kZip\w+) =\s*((?:"(?:[^"\\]|\\.)*"\s*)+);/g)) {
  ZIP_SAY[name] = [...literals.matchAll(/"((?:[^"\\]|\\.)*)"/g)].map((m) => JSON.parse(`"${m[1]}"`)).join("");
}
if (!ZIP_SAY.kZipCrc || !ZIP_SAY.kZipNoModels) {
  console.error("web/build.mjs: the archive messages were not found in cli/common/messages.h");
  process.exit(1);
}
const joined = (names) => names.map(read).join("\n");

// Inline scripts must not close their own element.
const inline = (text) => text.replace(/<\/script/gi, "<\\/script");
const parts = {
  "@CORE@": core,
  "@WORKER_SOURCE@": JSON.stringify(`${readFileSync(fflatePath, "utf8")}\n${core}\n` +
                                    `const ZIP_SAY = ${JSON.stringify(ZIP_SAY)};\n${joined(WORKER_PARTS)}`),
  "@PAGE@": `(() => {\nconst VERSION = ${JSON.stringify(version)};\n${joined(PAGE_PARTS)}\n})();`,
};
let page = read("page.html");
for (const [marker, text] of Object.entries(parts)) {
  page = page.replace(marker, () => inline(text));
}
writeFileSync(join(out, "index.html"), page);

const manifest = JSON.parse(read("package.json"));
writeFileSync(join(out, "package.json"), JSON.stringify({
  name: "convert3do",
  version,
  description: "Convert and survey chunked 3do model files in browsers and Node.js (WebAssembly, no dependencies)",
  license: manifest.license,
  type: "module",
  main: "convert3do.mjs",
  types: "convert3do.d.ts",
  exports: {
    ".": { types: "./convert3do.d.ts", default: "./convert3do.mjs" },
    "./package.json": "./package.json",
  },
  files: ["convert3do.mjs", "convert3do.d.ts", "README.md", "LICENSE"],
  repository: { type: "git", url: manifest.repository.url },
  engines: { node: ">=18" },
}, null, 2) + "\n");
writeFileSync(join(out, "README.md"), read("npm-readme.md").replaceAll("@VERSION@", version));
writeFileSync(join(out, "convert3do.d.ts"), read("convert3do.d.ts"));
writeFileSync(join(out, "LICENSE"), readFileSync(join(here, "..", "LICENSE")));
console.log(`web: ${join(out, "index.html")} and ${join(out, "convert3do.mjs")}`);
