// The Anchor TypeScript client's coders timed on the same items brisquel
// decodes, for ratios measured in one benchmark run.
//
//   node coder_rate.js instructions IDL ITEMS [SECONDS]
//   node coder_rate.js accounts IDL ITEMS [SECONDS]
//   node coder_rate.js events IDL ITEMS [SECONDS]
//   node coder_rate.js calls-from-json IDL JSONL [SECONDS]
//
// ITEMS is a JSON file: a list of {"data": base64, "accounts": [base58, ...]}
// (instructions), {"data": base64} (accounts, discriminator included) or
// {"line": a log line} (events). The client is handed ready-made bytes for
// instructions and accounts (reading JSON and base64 is not timed); for events,
// the log lines, as its event parser is (BorshEventCoder.decode reads base64).
// calls-from-json times the whole way from RPC JSON lines (JSONL: one
// transaction per line, as getTransaction's result or response): JSON.parse,
// the keys (static, then loaded), the IDL program's outer and inner
// instructions, base58 data, decode and format with PublicKey metas.
// Prints one JSON object: items, decoded, failed, rounds, seconds, per_second.
"use strict";
const fs = require("fs");
const anchor = require("@coral-xyz/anchor");

const [mode, idlPath, itemsPath, secondsArg] = process.argv.slice(2);
const idl = JSON.parse(fs.readFileSync(idlPath, "utf8"));
const coder = new anchor.BorshCoder(idl);
const fromJson = mode === "calls-from-json";
const items = (fromJson ? [] : JSON.parse(fs.readFileSync(itemsPath, "utf8"))).map((item) => ({
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

const lines = fromJson ? fs.readFileSync(itemsPath, "utf8").split("\n").filter((l) => l.length > 0) : [];
const program = idl.address;
const bs58 = anchor.utils.bytes.bs58;

function callsOf(line, counts) {
  let tx = JSON.parse(line);
  if (tx.result !== undefined) tx = tx.result;
  const message = tx.transaction && tx.transaction.message;
  if (!message) return;  // wire-format transactions: the client has no reader for them
  const loaded = (tx.meta && tx.meta.loadedAddresses) || { writable: [], readonly: [] };
  const keys = message.accountKeys.map((k) => (typeof k === "string" ? k : k.pubkey))
    .concat(loaded.writable || [], loaded.readonly || []);
  const one = (ix) => {
    if (keys[ix.programIdIndex] !== program) return;
    try {
      const decoded = coder.instruction.decode(Buffer.from(bs58.decode(ix.data)));
      if (decoded === null) { counts.failed++; return; }
      coder.instruction.format(decoded, ix.accounts.map((i) => (
        { pubkey: new anchor.web3.PublicKey(keys[i]), isSigner: false, isWritable: false })));
      counts.decoded++;
    } catch (e) {
      counts.failed++;
    }
  };
  message.instructions.forEach(one);
  for (const group of (tx.meta && tx.meta.innerInstructions) || []) group.instructions.forEach(one);
}

function round() {
  if (fromJson) {
    const counts = { decoded: 0, failed: 0 };
    for (const line of lines) callsOf(line, counts);
    return counts;
  }
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
const count = fromJson ? first.decoded + first.failed : items.length;
console.log(JSON.stringify({
  items: count, decoded: first.decoded, failed: first.failed, rounds, seconds: elapsed,
  per_second: (count * rounds) / elapsed,
}));
