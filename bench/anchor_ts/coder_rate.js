// The Anchor TypeScript client's coders timed on the same items brisquel
// decodes, for ratios measured in one benchmark run.
//
//   node coder_rate.js instructions IDL ITEMS [SECONDS]
//   node coder_rate.js accounts IDL ITEMS [SECONDS]
//   node coder_rate.js events IDL ITEMS [SECONDS]
//
// ITEMS is a JSON file: a list of {"data": base64, "accounts": [base58, ...]}
// (instructions), {"data": base64} (accounts, discriminator included) or
// {"line": a log line} (events). The client is handed ready-made bytes for
// instructions and accounts (reading JSON and base64 is not timed); for events,
// the log lines, as its event parser is (BorshEventCoder.decode reads base64).
// Prints one JSON object: items, decoded, failed, rounds, seconds, per_second.
"use strict";
const fs = require("fs");
const anchor = require("@coral-xyz/anchor");

const [mode, idlPath, itemsPath, secondsArg] = process.argv.slice(2);
const idl = JSON.parse(fs.readFileSync(idlPath, "utf8"));
const coder = new anchor.BorshCoder(idl);
const items = JSON.parse(fs.readFileSync(itemsPath, "utf8")).map((item) => ({
  line: item.line,
  data: item.data === undefined ? undefined : Buffer.from(item.data, "base64"),
  metas: (item.accounts || []).map((k) => ({ pubkey: new anchor.web3.PublicKey(k), isSigner: false, isWritable: false })),
}));
const names = new Map((idl.accounts || []).map((a) => [Buffer.from(a.discriminator).toString("hex"), a.name]));

const PREFIX = "Program data: ";

function once(item) {
  if (mode === "events") {
    if (!item.line.startsWith(PREFIX)) return false;
    return coder.events.decode(item.line.slice(PREFIX.length)) !== null;
  }
  if (mode === "instructions") {
    const ix = coder.instruction.decode(item.data);
    if (ix === null) return false;
    coder.instruction.format(ix, item.metas);
    return true;
  }
  const name = names.get(item.data.subarray(0, 8).toString("hex"));
  if (name === undefined) return false;
  coder.accounts.decode(name, item.data);
  return true;
}

function round() {
  let decoded = 0;
  let failed = 0;
  for (const item of items) {
    try {
      if (once(item)) decoded++;
      else failed++;
    } catch (e) {
      failed++;
    }
  }
  return { decoded, failed };
}

const seconds = Number(secondsArg || 2);
const first = round(); // warm-up, and the counts
let rounds = 0;
const start = process.hrtime.bigint();
let elapsed = 0;
while (elapsed < seconds || rounds < 3) {
  round();
  rounds++;
  elapsed = Number(process.hrtime.bigint() - start) / 1e9;
}
console.log(JSON.stringify({
  items: items.length, decoded: first.decoded, failed: first.failed, rounds, seconds: elapsed,
  per_second: (items.length * rounds) / elapsed,
}));
