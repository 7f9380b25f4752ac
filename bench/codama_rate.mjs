// @codama/dynamic-parsers timed end to end on what brisquel reads, for ratios
// measured in one benchmark run:
//   node codama_rate.mjs calls JSONL DOCUMENT... [--seconds S]
//     JSON lines of transactions: JSON.parse, base58 of each instruction of the
//     documents' programs, parseInstruction, its values formatted as JSON.
//   node codama_rate.mjs accounts RESPONSE DOCUMENT [--seconds S]
//     a getProgramAccounts response: JSON.parse, base64, parseAccountData, JSON.
// Prints one JSON object: items, decoded, rounds, seconds, per_second.
import fs from 'node:fs';
import { getBase58Encoder } from '@solana/kit';
import { parseAccountData, parseInstruction } from '@codama/dynamic-parsers';

const args = process.argv.slice(2);
const at = args.indexOf('--seconds');
const seconds = at >= 0 ? Number(args.splice(at, 2)[1]) : 2;
const [mode, input, ...documents] = args;
const text = fs.readFileSync(input, 'utf8');
const roots = new Map();
for (const path of documents) {
  const root = JSON.parse(fs.readFileSync(path, 'utf8'));
  root.additionalPrograms ??= [];
  for (const p of [root.program, ...root.additionalPrograms]) {
    for (const key of ['accounts', 'instructions', 'definedTypes', 'pdas', 'errors']) p[key] ??= [];
  }
  roots.set(root.program.publicKey, root);
}
const base58 = getBase58Encoder();
const format = (v) => JSON.stringify(v, (_, x) => (typeof x === 'bigint' ? x.toString() : x));

function callsRound() {
  let items = 0;
  let decoded = 0;
  for (const line of text.split('\n')) {
    if (!line) continue;
    const tx = JSON.parse(line);
    const message = tx.transaction.message;
    const keys = message.accountKeys.map((k) => (typeof k === 'string' ? k : k.pubkey));
    const loaded = tx.meta?.loadedAddresses;
    if (loaded && typeof message.accountKeys[0] === 'string') keys.push(...loaded.writable, ...loaded.readonly);
    const all = [...message.instructions];
    for (const group of tx.meta?.innerInstructions ?? []) all.push(...group.instructions);
    for (const ix of all) {
      if (ix.data === undefined) continue;
      const program = ix.programId ?? keys[ix.programIdIndex];
      const root = roots.get(program);
      if (root === undefined) continue;
      items++;
      const accounts = ix.accounts.map((a) => ({ address: typeof a === 'string' ? a : keys[a], role: 0 }));
      try {
        const parsed = parseInstruction(root, { programAddress: program, accounts, data: base58.encode(ix.data) });
        if (parsed) {
          format({ name: parsed.path.at(-1).name, data: parsed.data, accounts: parsed.accounts });
          decoded++;
        }
      } catch (e) {
        // counted as not decoded
      }
    }
  }
  return { items, decoded };
}

function accountsRound() {
  const root = roots.values().next().value;
  let items = 0;
  let decoded = 0;
  for (const entry of JSON.parse(text).result) {
    items++;
    const parsed = parseAccountData(root, Buffer.from(entry.account.data[0], 'base64'));
    if (parsed) {
      format({ pubkey: entry.pubkey, name: parsed.path.at(-1).name, data: parsed.data });
      decoded++;
    }
  }
  return { items, decoded };
}

const round = mode === 'calls' ? callsRound : accountsRound;
const first = round();  // warm-up, and the counts
let rounds = 0;
const start = process.hrtime.bigint();
let elapsed = 0;
while (elapsed < seconds || rounds < 1) {
  round();
  rounds++;
  elapsed = Number(process.hrtime.bigint() - start) / 1e9;
}
console.log(JSON.stringify({ ...first, rounds, seconds: elapsed, per_second: (first.items * rounds) / elapsed }));
