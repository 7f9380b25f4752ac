// Random version 1 transactions encoded by @solana/kit, a black box that
// knows the format: one JSON line each, with what its message says.
// Usage: node v1_transactions.mjs COUNT SEED
import * as kit from '@solana/kit';

const [count, seed] = process.argv.slice(2).map(Number);
let state = seed >>> 0 || 1;
const next = () => {  // xorshift32: the same transactions for the same seed
  state ^= state << 13; state >>>= 0;
  state ^= state >>> 17;
  state ^= state << 5; state >>>= 0;
  return state;
};
const below = (n) => next() % n;
const bytes = (n) => Uint8Array.from({ length: n }, () => (below(4) === 0 ? 0 : below(256)));
const addresses = kit.getAddressDecoder();
const b58 = kit.getBase58Decoder();
const b64 = kit.getBase64Decoder();
const newAddress = () => addresses.decode(bytes(32));
const { AccountRole } = kit;
const roles = [AccountRole.READONLY, AccountRole.WRITABLE, AccountRole.READONLY_SIGNER, AccountRole.WRITABLE_SIGNER];

function randomTransaction() {
  // Programs apart from the accounts (a program may not be writable); 64 keys at most.
  const programs = Array.from({ length: 1 + below(8) }, newAddress);
  const pool = Array.from({ length: 1 + below(63 - programs.length) }, newAddress);
  const signers = new Set(pool.slice(0, below(12)));  // with the fee payer, 1 to 12 signatures
  const payer = newAddress();
  let message = kit.createTransactionMessage({ version: 1 });
  message = kit.setTransactionMessageFeePayer(payer, message);
  message = kit.setTransactionMessageLifetimeUsingBlockhash(
    { blockhash: addresses.decode(bytes(32)), lastValidBlockHeight: 0n }, message);
  let room = 4096 - 300 - 32 * (pool.length + programs.length + 1) - 64 * (signers.size + 1);
  const instructions = [];
  const small = below(3) === 0;  // small instructions, so that up to 64 fit
  for (let i = small && below(2) === 0 ? 64 : below(65); i > 0 && room > 40; --i) {
    const accounts = Array.from({ length: below(small ? 3 : 12) }, () => {
      const address = pool[below(pool.length)];
      const role = roles[below(2) + (signers.has(address) ? 2 : 0)];
      return { address, role };
    });
    const data = bytes(Math.min(room - 40, small ? below(6) : below(8) === 0 ? room : below(200)));
    room -= data.length + accounts.length + 4;
    instructions.push({ programAddress: programs[below(programs.length)], accounts, data });
  }
  message = kit.appendTransactionMessageInstructions(instructions, message);
  const fields = below(16);
  if (fields & 1) message = kit.setTransactionMessagePriorityFeeLamports(BigInt(next()) * BigInt(next()), message);
  if (fields & 2) message = kit.setTransactionMessageComputeUnitLimit(below(1_400_001), message);
  if (fields & 4) message = kit.setTransactionMessageLoadedAccountsDataSizeLimit(below(64 * 1024 * 1024 + 1), message);
  if (fields & 8) message = kit.setTransactionMessageHeapSize(32 * 1024 + 1024 * below(225), message);
  const compiled = kit.compileTransactionMessage(message);
  const transaction = kit.compileTransaction(message);
  const signatures = Object.fromEntries(Object.keys(transaction.signatures).map((a) => [a, bytes(64)]));
  const wire = kit.getTransactionEncoder().encode({ ...transaction, signatures });
  const config = kit.decompileTransactionConfig
    ? kit.decompileTransactionConfig(compiled.configMask, compiled.configValues) : null;
  const value = (v) => (v === undefined ? null : Number(v) <= Number.MAX_SAFE_INTEGER ? Number(v) : String(v));
  return {
    base64: b64.decode(wire),
    base58: b58.decode(wire),
    header: [compiled.header.numSignerAccounts, compiled.header.numReadonlySignerAccounts,
      compiled.header.numReadonlyNonSignerAccounts],
    keys: compiled.staticAccounts,
    blockhash: compiled.lifetimeToken,
    instructions: compiled.instructionHeaders.map((h, i) => [h.programAccountIndex,
      compiled.instructionPayloads[i].instructionAccountIndices,
      Buffer.from(compiled.instructionPayloads[i].instructionData).toString('hex')]),
    signatures: Object.keys(transaction.signatures).map((a) => b58.decode(signatures[a])),
    config: config && {
      priority_fee: value(config.priorityFeeLamports), compute_unit_limit: value(config.computeUnitLimit),
      loaded_accounts_data_size_limit: value(config.loadedAccountsDataSizeLimit), heap_size: value(config.heapSize),
    },
  };
}

const out = [];
while (out.length < count) {
  try {
    out.push(JSON.stringify(randomTransaction()));
  } catch (e) {
    if (!/too large|size|exceed/i.test(String(e.message))) throw e;  // past 4,096 bytes: draw again
  }
}
process.stdout.write(out.join('\n') + '\n');
