// The npm package's types, as a user of it sees them: the built package put
// under node_modules/convert3do of a scratch project, and types_check.mts
// compiled against it by tsc --strict (typescript from web's lock file).
// Then the members the types name against those the module gives.
// Exits 77 (skipped) where typescript is not installed.
import { spawnSync } from "node:child_process";
import assert from "node:assert/strict";
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const tsc = join(here, "..", "..", "web", "node_modules", "typescript", "bin", "tsc");
if (!existsSync(tsc)) {
  console.log("skipped: needs `npm ci --prefix web` (typescript)");
  process.exit(77);
}
const project = mkdtempSync(join(tmpdir(), "convert3do-types-"));
try {
  mkdirSync(join(project, "node_modules"));
  symlinkSync(process.env.CONVERT3DO_WEB, join(project, "node_modules", "convert3do"), "dir");
  copyFileSync(join(here, "types_check.mts"), join(project, "check.mts"));
  const run = spawnSync(process.execPath, [tsc, "--strict", "--noEmit", "--module", "nodenext",
                                           "--moduleResolution", "nodenext", "--target", "es2022",
                                           "--lib", "es2022,dom", "--resolveJsonModule",
                                           join(project, "check.mts")], { encoding: "utf8" });
  process.stdout.write(run.stdout + run.stderr);
  assert.equal(run.status, 0, "tsc --strict failed");

  // The names an interface of the types gives its members.
  const types = readFileSync(join(process.env.CONVERT3DO_WEB, "convert3do.d.ts"), "utf8");
  const members = (name) => {
    const body = new RegExp(`interface ${name} (?:extends [^{]+)?{([^}]*)}`).exec(types)[1];
    return [...body.matchAll(/^\s*"?([\w]+)"?\??:/gm)].map((m) => m[1]).sort();
  };
  const core = await import(pathToFileURL(join(process.env.CONVERT3DO_WEB, "convert3do.mjs")));
  const words = (...values) => Buffer.concat(values.map((v) => (typeof v === "string"
    ? Buffer.from([...v].reverse().join(""), "latin1")  // a tag is stored as a little-endian word
    : Buffer.from(new Uint32Array([v]).buffer))));
  const model = words("3DO4", 1, 28, "XYZS", 0, 16, 9, 1, 2, 3);
  const described = core.info(model);
  assert.deepEqual(members("Info"), Object.keys(described).sort());
  assert.deepEqual(members("Chunk"), Object.keys(described.chunks[0]).sort());
  const { output, ...result } = core.convert(model);
  assert.deepEqual(members("Result"), Object.keys(result).sort());
  console.log("the types name the members the module gives");
} finally {
  rmSync(project, { recursive: true, force: true });
}
