// Compiled by tsc --strict against the npm package as a user installs it:
// every call below must type-check, and each marked line must not.
import { convert, createConverter, createSurvey, info, version } from "convert3do";
import type { Chunk, Info, Outcome } from "convert3do";
import manifest from "convert3do/package.json" with { type: "json" };

const model = new Uint8Array(40);
const converted = convert(model);
const outcome: Outcome = converted.outcome;
const bytes: Uint8Array = converted.output;
const damage: string | null = converted.damage;
convert(model.buffer);
convert(new DataView(model.buffer));

const described: Info = info(model);
const chunkTags: string[] = described.chunks.map((chunk: Chunk) => chunk.tag);
const size: number | null = described.size;

const converter = createConverter();
const pieces: Uint8Array[] = converter.push(model);
converter.push(model, (view: Uint8Array) => view.length);
const { header, tail, exitStatus } = converter.end();

const survey = createSurvey((chunk) => chunk.payload_length);
survey.push(model);
const current: Chunk | null = survey.current();
const ended: Info = survey.end();
const text: string = version() + manifest.version;

// @ts-expect-error a string is not a model
convert("abc");
// @ts-expect-error nor is nothing
info(undefined);
// @ts-expect-error a survey's end takes a size, not a flag
survey.end(true);

export { outcome, bytes, damage, chunkTags, size, pieces, header, tail, exitStatus, current, ended, text };
