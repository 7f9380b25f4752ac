// What Codama's own packages make of Codama documents, as black boxes:
//   node codama.mjs generate COUNT SEED
//     random type nodes in random nestings, each in a document of one account
//     (a 2-byte tag, then a field of that type), with random values encoded
//     by @codama/dynamic-codecs and decoded back by it: one JSON line per
//     document, {document, cases: [{data: base64, value}]}.
//   node codama.mjs parse REQUEST.json
//     instructions [{document, program, accounts, data: base64}] parsed by
//     @codama/dynamic-parsers: one JSON line each, {name, args, accounts} or null.
//   node codama.mjs accounts REQUEST.json
//     account data [{document, data: base64}] parsed the same way: {name, fields} or null.
//   node codama.mjs convert ANCHOR_IDL...
//     each Anchor IDL converted by @codama/nodes-from-anchor: one document a line (null: it cannot be).
//   node codama.mjs shared SEED DOCUMENT...
//     random values of every account and instruction of real documents,
//     encoded by @codama/dynamic-codecs: {program, kind, name, data, value,
//     identified (what @codama/dynamic-parsers takes the bytes for)}.
// Values are written as brisquel gives them: integers exact, bytes as
// {"$bytes": hex}, options as null or the value, enums of unit variants as the
// variant's name, other enums as {variant: data}, maps as [{key, value}].
import fs from 'node:fs';
import { getNodeCodec } from '@codama/dynamic-codecs';
import { parseAccountData, parseInstruction } from '@codama/dynamic-parsers';
import { rootNodeFromAnchor } from '@codama/nodes-from-anchor';

const [mode, ...rest] = process.argv.slice(2);

// ---- values as brisquel gives them ----

function norm(value, type, root) {
  switch (type.kind) {
    case 'numberTypeNode':
    case 'amountTypeNode':
    case 'dateTimeTypeNode':
    case 'solAmountTypeNode':
      if (typeof value === 'bigint') return { $int: value.toString() };
      if (Number.isInteger(value)) return { $int: String(value) };
      return value;
    case 'booleanTypeNode':
    case 'publicKeyTypeNode':
    case 'stringTypeNode':
      return value;
    case 'bytesTypeNode': {  // [encoding, text]
      const [encoding, text] = value;
      const raw = encoding === 'base16' ? Buffer.from(text, 'hex') : encoding === 'base64' ? Buffer.from(text, 'base64')
        : encoding === 'utf8' ? Buffer.from(text, 'utf8') : null;
      if (raw === null) throw new Error(`bytes in ${encoding}`);
      return { $bytes: raw.toString('hex') };
    }
    case 'fixedSizeTypeNode':
    case 'sizePrefixTypeNode':
    case 'sentinelTypeNode':
    case 'hiddenPrefixTypeNode':
    case 'hiddenSuffixTypeNode':
    case 'preOffsetTypeNode':
    case 'postOffsetTypeNode':
      return norm(value, type.type, root);
    case 'arrayTypeNode':
    case 'setTypeNode':
      return [...value].map((v) => norm(v, type.item, root));
    case 'mapTypeNode': {
      const entries = value instanceof Map ? [...value.entries()] : Object.entries(value);
      return entries.map(([k, v]) => ({ key: norm(k, type.key, root), value: norm(v, type.value, root) }));
    }
    case 'tupleTypeNode':
      return type.items.map((t, i) => norm(value[i], t, root));
    case 'structTypeNode':
      return Object.fromEntries(type.fields.map((f) => [f.name, norm(value[f.name], f.type, root)]));
    case 'enumTypeNode': {
      if (type.variants.every((v) => v.kind === 'enumEmptyVariantTypeNode')) {
        return type.variants[value].name;
      }
      const variant = type.variants.find((v) => v.name.toLowerCase() === value.__kind.toLowerCase());
      if (variant.kind === 'enumEmptyVariantTypeNode') return variant.name;
      if (variant.kind === 'enumTupleVariantTypeNode') return { [variant.name]: norm(value.fields, variant.tuple, root) };
      const { __kind, ...fields } = value;
      return { [variant.name]: norm(fields, variant.struct, root) };
    }
    case 'optionTypeNode':
    case 'zeroableOptionTypeNode':
    case 'remainderOptionTypeNode': {
      const some = value !== null && typeof value === 'object' && '__option' in value ? value.__option === 'Some' : value !== null;
      if (!some) return null;
      return norm(value.__option ? value.value : value, type.item, root);
    }
    case 'definedTypeLinkNode': {
      const programs = [root.program, ...(root.additionalPrograms ?? [])];
      const program = type.program ? programs.find((p) => p.name === type.program.name) : null;
      for (const p of program ? [program] : programs) {
        const found = (p.definedTypes ?? []).find((t) => t.name === type.name);
        if (found) return norm(value, found.type, root);
      }
      throw new Error(`no defined type ${type.name}`);
    }
    default:
      throw new Error(`cannot normalise ${type.kind}`);
  }
}

// JSON with exact integers: {"$int": "123"} becomes 123.
const write = (v) => process.stdout.write(JSON.stringify(v).replace(/\{"\$int":"(-?\d+)"\}/g, '$1') + '\n');

// ---- parsing real instructions and accounts ----

function documents() {
  const cache = new Map();
  return (path) => {
    if (!cache.has(path)) {
      const root = JSON.parse(fs.readFileSync(path, 'utf8'));
      // Real documents leave empty lists out; the peer needs them.
      root.additionalPrograms ??= [];
      for (const p of [root.program, ...root.additionalPrograms]) {
        for (const key of ['accounts', 'instructions', 'definedTypes', 'pdas', 'errors']) p[key] ??= [];
      }
      cache.set(path, root);
    }
    return cache.get(path);
  };
}

function parseAll() {
  const load = documents();
  for (const req of JSON.parse(fs.readFileSync(rest[0], 'utf8'))) {
    const root = load(req.document);
    const accounts = req.accounts.map((address) => ({ address, role: 0 }));
    let parsed;
    try {
      parsed = parseInstruction(root, { programAddress: req.program, accounts, data: Buffer.from(req.data, 'base64') });
    } catch (e) {
      write({ error: String(e.message ?? e) });
      continue;
    }
    if (!parsed) {
      write(null);
      continue;
    }
    const ix = parsed.path.at(-1);
    const args = {};
    for (const a of ix.arguments) {
      if (a.defaultValueStrategy === 'omitted') continue;
      args[a.name] = norm(parsed.data[a.name], a.type, root);
    }
    const named = {};
    for (const a of parsed.accounts) named[a.name] = a.address;
    write({ name: ix.name, args, accounts: named });
  }
}

function parseAccounts() {
  const load = documents();
  for (const req of JSON.parse(fs.readFileSync(rest[0], 'utf8'))) {
    const root = load(req.document);
    let parsed;
    try {
      parsed = parseAccountData(root, Buffer.from(req.data, 'base64'));
    } catch (e) {
      write({ error: String(e.message ?? e) });
      continue;
    }
    if (!parsed) {
      write(null);
      continue;
    }
    const account = parsed.path.at(-1);
    write({ name: account.name, fields: norm(parsed.data, account.data, root) });
  }
}

// ---- generated types and values ----

let state = 1;
const next = () => {  // xorshift32: the same cases for the same seed
  state ^= state << 13; state >>>= 0;
  state ^= state >>> 17;
  state ^= state << 5; state >>>= 0;
  return state;
};
const below = (n) => next() % n;
const pick = (list) => list[below(list.length)];
const chance = (n) => below(n) === 0;

const num = (format, endian = 'le') => ({ kind: 'numberTypeNode', format, endian });
const INTS = ['u8', 'u16', 'u32', 'u64', 'u128', 'i8', 'i16', 'i32', 'i64', 'i128'];
const PREFIXES = [num('u8'), num('u16'), num('u32'), num('u64'), num('shortU16')];
const NAMES = 'abcdefghijklmnopqrstuvwxyz';
const u8Constant = (n) => ({ kind: 'constantValueNode', type: num('u8'), value: { kind: 'numberValueNode', number: n } });

// A random type; `tail`: it may read to the end of the bytes. Returns
// {type, size} (size: the fixed size in bytes, or null).
function randomType(depth, tail, defined) {
  const leaf = depth >= 4 || chance(3);
  const kinds = leaf
    ? ['number', 'number', 'boolean', 'publicKey', 'string', 'bytes']
    : ['array', 'map', 'tuple', 'struct', 'enum', 'option', 'zeroable', 'hidden', 'offset', 'fixed', 'link',
       'number', 'string', ...(tail ? ['remainderOption', 'remainderArray'] : [])];
  const kind = pick(kinds);
  const sub = (t = false) => randomType(depth + 1, t, defined);
  switch (kind) {
    case 'number': {
      if (chance(8)) return { type: num('shortU16'), size: null };
      const format = pick([...INTS, 'f32', 'f64']);
      const type = num(format);  // the peer reads every number little-endian, whatever `endian` says
      const size = { u8: 1, i8: 1, u16: 2, i16: 2, u32: 4, i32: 4, f32: 4, u64: 8, i64: 8, f64: 8, u128: 16, i128: 16 }[format];
      if (format.startsWith('f') || !chance(4)) return { type, size };
      const wrap = pick(['amountTypeNode', 'dateTimeTypeNode', 'solAmountTypeNode']);
      if (wrap === 'amountTypeNode') return { type: { kind: wrap, number: type, decimals: below(10), unit: chance(2) ? 'USD' : undefined }, size };
      return { type: { kind: wrap, number: type }, size };
    }
    case 'boolean': {
      const size = pick([num('u8'), num('u16'), num('u32')]);
      return { type: { kind: 'booleanTypeNode', size }, size: { u8: 1, u16: 2, u32: 4 }[size.format] };
    }
    case 'publicKey': return { type: { kind: 'publicKeyTypeNode' }, size: 32 };
    case 'string':
    case 'bytes': {
      const base = kind === 'string'
        ? { kind: 'stringTypeNode', encoding: pick(['utf8', 'utf8', 'base16', 'base58', 'base64']) }
        : { kind: 'bytesTypeNode' };
      const how = pick(tail ? ['prefix', 'fixed', 'sentinel', 'remainder'] : ['prefix', 'fixed', 'sentinel']);
      if (how === 'remainder') return { type: base, size: null };
      if (how === 'fixed' && (base.kind === 'bytesTypeNode' || base.encoding === 'utf8')) {
        return { type: { kind: 'fixedSizeTypeNode', size: 1 + below(12), type: base }, size: null, fixedText: true };
      }
      if (how === 'sentinel' && base.kind === 'stringTypeNode' && base.encoding === 'utf8') {
        return { type: { kind: 'sentinelTypeNode', type: base, sentinel: u8Constant(0xff) }, size: null };
      }
      return { type: { kind: 'sizePrefixTypeNode', type: base, prefix: pick(PREFIXES) }, size: null };
    }
    case 'array':
    case 'remainderArray': {
      const item = sub();
      const count = kind === 'remainderArray' ? { kind: 'remainderCountNode' }
        : chance(2) ? { kind: 'fixedCountNode', value: below(4) } : { kind: 'prefixedCountNode', prefix: pick(PREFIXES) };
      if (count.kind === 'remainderCountNode' && item.size === 0) return sub();
      const node = chance(4) && count.kind !== 'remainderCountNode' ? 'setTypeNode' : 'arrayTypeNode';
      const size = count.kind === 'fixedCountNode' && item.size !== null ? item.size * count.value : null;
      return { type: { kind: node, item: item.type, count }, size, item };
    }
    case 'map': {
      const key = { kind: 'sizePrefixTypeNode', type: { kind: 'stringTypeNode', encoding: 'utf8' }, prefix: num('u32') };
      return { type: { kind: 'mapTypeNode', key, value: sub().type, count: { kind: 'prefixedCountNode', prefix: num('u32') } }, size: null };
    }
    case 'tuple': {
      const items = Array.from({ length: 1 + below(3) }, () => sub());
      return { type: { kind: 'tupleTypeNode', items: items.map((i) => i.type) }, size: sum(items) };
    }
    case 'struct': {
      const fields = Array.from({ length: 1 + below(3) }, () => sub());
      return {
        type: { kind: 'structTypeNode', fields: fields.map((f, i) => ({ kind: 'structFieldTypeNode', name: NAMES[i] + 'f', type: f.type })) },
        size: sum(fields),
      };
    }
    case 'enum': {
      const n = 1 + below(4);
      const units = chance(2);
      const variants = Array.from({ length: n }, (_, i) => {
        const name = 'v' + NAMES[i];
        if (units || chance(3)) return { kind: 'enumEmptyVariantTypeNode', name };
        if (chance(2)) {
          const items = Array.from({ length: 1 + below(2) }, () => sub().type);
          return { kind: 'enumTupleVariantTypeNode', name, tuple: { kind: 'tupleTypeNode', items } };
        }
        const fields = Array.from({ length: 1 + below(2) }, (_, j) => ({ kind: 'structFieldTypeNode', name: NAMES[j] + 'x', type: sub().type }));
        return { kind: 'enumStructVariantTypeNode', name, struct: { kind: 'structTypeNode', fields } };
      });
      const size = pick([num('u8'), num('u8'), num('u16'), num('u32')]);
      return { type: { kind: 'enumTypeNode', variants, size }, size: units ? { u8: 1, u16: 2, u32: 4 }[size.format] : null };
    }
    case 'option': {
      const item = sub();
      const fixed = item.size !== null && chance(2);
      const prefix = pick([num('u8'), num('u16'), num('u32')]);
      return { type: { kind: 'optionTypeNode', item: item.type, prefix, fixed }, size: null };
    }
    case 'zeroable': {
      const item = pick([{ type: num('u64'), size: 8 }, { type: { kind: 'publicKeyTypeNode' }, size: 32 }, { type: num('u16'), size: 2 }]);
      const zero = chance(2) ? { kind: 'constantValueNode', type: { kind: 'fixedSizeTypeNode', size: item.size, type: { kind: 'bytesTypeNode' } },
        value: { kind: 'bytesValueNode', encoding: 'base16', data: 'ff'.repeat(item.size) } } : undefined;
      return { type: { kind: 'zeroableOptionTypeNode', item: item.type, zeroValue: zero }, size: item.size, zeroable: true };
    }
    case 'remainderOption': return { type: { kind: 'remainderOptionTypeNode', item: sub(true).type }, size: null };
    case 'hidden': {
      const inner = sub();
      const constants = Array.from({ length: 1 + below(2) }, () => u8Constant(below(256)));
      const node = chance(2) ? { kind: 'hiddenPrefixTypeNode', type: inner.type, prefix: constants }
        : { kind: 'hiddenSuffixTypeNode', type: inner.type, suffix: constants };
      return { type: node, size: inner.size === null ? null : inner.size + constants.length };
    }
    case 'offset': {
      const inner = sub();
      const offset = below(4);
      const node = { kind: chance(2) ? 'preOffsetTypeNode' : 'postOffsetTypeNode', type: inner.type, offset, strategy: 'padded' };
      return { type: node, size: inner.size === null ? null : inner.size + offset };
    }
    case 'fixed': {
      const inner = sub();
      if (inner.size === null) return inner;
      return { type: { kind: 'fixedSizeTypeNode', size: inner.size + below(3), type: inner.type }, size: null };
    }
    case 'link': {
      const inner = sub(tail);
      const name = `t${defined.length}`;
      defined.push({ kind: 'definedTypeNode', name, type: inner.type });
      return { type: { kind: 'definedTypeLinkNode', name }, size: inner.size };
    }
  }
  throw new Error(kind);
}
const sum = (parts) => (parts.every((p) => p.size !== null) ? parts.reduce((a, p) => a + p.size, 0) : null);

// A random value the type's codec can encode.
function randomValue(type, root) {
  switch (type.kind) {
    case 'numberTypeNode': {
      const f = type.format;
      if (f === 'f32') return Math.fround((below(2000) - 1000) / 8);
      if (f === 'f64') return (below(2000000) - 1000000) / 64;
      if (f === 'shortU16') return pick([0, 127, 128, 16383, 16384, 65535, below(65536)]);
      const bits = Number(f.slice(1));
      const signed = f[0] === 'i';
      const r = () => BigInt(next()) | (BigInt(next()) << 32n) | (BigInt(next()) << 64n) | (BigInt(next()) << 96n);
      const edge = pick(['zero', 'max', 'min', 'rand', 'rand', 'small']);
      const span = 1n << BigInt(bits);
      let v = edge === 'zero' ? 0n : edge === 'small' ? BigInt(below(300)) : edge === 'max' ? span - 1n : edge === 'min' ? 0n : r() % span;
      if (signed) v = edge === 'min' ? -(span / 2n) : edge === 'max' ? span / 2n - 1n : v - span / 2n;
      return bits <= 32 ? Number(v) : v;
    }
    case 'amountTypeNode':
    case 'dateTimeTypeNode':
    case 'solAmountTypeNode':
      return randomValue(type.number, root);
    case 'booleanTypeNode': return chance(2);
    case 'publicKeyTypeNode': return pick(['11111111111111111111111111111111', 'TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA', 'SysvarRent111111111111111111111111111111111']);
    case 'stringTypeNode': {
      const raw = Uint8Array.from({ length: below(9) }, () => 1 + below(255));
      switch (type.encoding) {
        case 'base16': return Buffer.from(raw).toString('hex');
        case 'base58': return pick(['', 'abc', '2NEpo7TZRRrLZSi2U', '3yZe7d']);
        case 'base64': return Buffer.from(raw).toString('base64');
        default: return pick(['', 'hello', 'ñandú', '日本', 'a b c', 'zzzzzz']);
      }
    }
    case 'bytesTypeNode': return ['base16', Buffer.from(Array.from({ length: below(9) }, () => below(256))).toString('hex')];
    case 'fixedSizeTypeNode': {
      if (type.type.kind === 'bytesTypeNode') {
        return ['base16', Buffer.from(Array.from({ length: below(type.size + 1) }, () => below(256))).toString('hex')];
      }
      if (type.type.kind === 'stringTypeNode') return pick(['', 'a', 'hé', 'xyz']).slice(0, Math.max(0, type.size - 2));
      return randomValue(type.type, root);
    }
    case 'sizePrefixTypeNode':
    case 'sentinelTypeNode':
    case 'hiddenPrefixTypeNode':
    case 'hiddenSuffixTypeNode':
    case 'preOffsetTypeNode':
    case 'postOffsetTypeNode':
      return randomValue(type.type, root);
    case 'arrayTypeNode':
    case 'setTypeNode': {
      const n = type.count.kind === 'fixedCountNode' ? type.count.value : below(4);
      return Array.from({ length: n }, () => randomValue(type.item, root));
    }
    case 'mapTypeNode': {
      const out = {};
      for (let i = below(3); i > 0; --i) out['k' + below(50)] = randomValue(type.value, root);
      return out;
    }
    case 'tupleTypeNode': return type.items.map((t) => randomValue(t, root));
    case 'structTypeNode': return Object.fromEntries(type.fields.map((f) => [f.name, randomValue(f.type, root)]));
    case 'enumTypeNode': {
      const i = below(type.variants.length);
      const v = type.variants[i];
      if (type.variants.every((x) => x.kind === 'enumEmptyVariantTypeNode')) return i;
      const kind = v.name[0].toUpperCase() + v.name.slice(1);
      if (v.kind === 'enumEmptyVariantTypeNode') return { __kind: kind };
      if (v.kind === 'enumTupleVariantTypeNode') return { __kind: kind, fields: randomValue(v.tuple, root) };
      return { __kind: kind, ...randomValue(v.struct, root) };
    }
    case 'optionTypeNode':
    case 'remainderOptionTypeNode':
      return chance(3) ? null : randomValue(type.item, root);
    case 'zeroableOptionTypeNode': {
      if (chance(3)) return null;
      const v = randomValue(type.item, root);
      return v === 0 || v === 0n || (type.zeroValue && (v === 65535 || v === 2n ** 64n - 1n)) ? null : v;
    }
    case 'definedTypeLinkNode': {
      const programs = [root.program, ...(root.additionalPrograms ?? [])];
      const program = type.program ? programs.find((p) => p.name === type.program.name) : null;
      for (const p of program ? [program] : programs) {
        const found = (p.definedTypes ?? []).find((t) => t.name === type.name);
        if (found) return randomValue(found.type, root);
      }
      throw new Error(`no defined type ${type.name}`);
    }
  }
  throw new Error(type.kind);
}

const FUZZ = 'Fuzz111111111111111111111111111111111111111';

function generate() {
  const [count, seed] = rest.map(Number);
  state = seed >>> 0 || 1;
  for (let n = 0; n < count; ++n) {
    const definedTypes = [];
    const field = randomType(0, true, definedTypes);
    const tag = { kind: 'structFieldTypeNode', name: 'tag', type: { kind: 'fixedSizeTypeNode', size: 2, type: { kind: 'bytesTypeNode' } },
      defaultValue: { kind: 'bytesValueNode', encoding: 'base16', data: 'c0da' } };
    const account = {
      kind: 'accountNode', name: 'sample',
      data: { kind: 'structTypeNode', fields: [tag, { kind: 'structFieldTypeNode', name: 'value', type: field.type }] },
      discriminators: [{ kind: 'fieldDiscriminatorNode', name: 'tag', offset: 0 }],
    };
    const program = { kind: 'programNode', name: 'fuzz', publicKey: FUZZ, version: '1.0.0', accounts: [account], instructions: [],
      definedTypes, pdas: [], errors: [] };
    const root = { kind: 'rootNode', standard: 'codama', version: '1.0.0', program, additionalPrograms: [] };
    const codec = getNodeCodec([root, program, account], { bytesEncoding: 'base16' });
    const cases = [];
    for (let k = 0; k < 6; ++k) {
      let value;
      try {
        value = { tag: ['base16', 'c0da'], value: randomValue(field.type, root) };
        const data = codec.encode(value);
        const back = codec.decode(data);  // the peer's own reading is the expected value
        cases.push({ data: Buffer.from(data).toString('base64'), value: norm(back.value, field.type, root) });
      } catch (e) {
        // A value the peer cannot encode or read back (a random one that breaks its own rules): not a case.
        if (process.env.CODAMA_DEBUG) console.error(e);
      }
    }
    write({ document: root, cases });
  }
}

// A value node as the codecs take it (the defaults of discriminator arguments).
function valueOf(node) {
  switch (node.kind) {
    case 'numberValueNode': return node.number;
    case 'bytesValueNode': return [node.encoding, node.data];
    case 'booleanValueNode': return node.boolean;
    case 'stringValueNode': return node.string;
    case 'publicKeyValueNode': return node.publicKey;
    default: throw new Error(`default ${node.kind}`);
  }
}

function shared() {
  const [seed, ...files] = rest;
  state = Number(seed) >>> 0 || 1;
  const load = documents();
  for (const file of files) {
    const root = load(file);
    for (const program of [root.program, ...root.additionalPrograms]) {
      for (const node of program.accounts) {
        const codec = getNodeCodec([root, program, node]);
        for (let k = 0; k < 3; ++k) {
          try {
            const value = randomValue(node.data, root);
            for (const f of node.data.fields) if (f.defaultValue && f.defaultValueStrategy === 'omitted') value[f.name] = valueOf(f.defaultValue);
            const data = codec.encode(value);
            const parsed = parseAccountData(root, data);
            write({ file, program: program.publicKey, kind: 'account', name: node.name, data: Buffer.from(data).toString('base64'),
              value: norm(codec.decode(data), node.data, root), identified: parsed ? parsed.path.at(-1).name : null });
          } catch (e) {
            if (process.env.CODAMA_DEBUG) console.error(node.name, e);
          }
        }
      }
      for (const node of program.instructions) {
        const codec = getNodeCodec([root, program, node]);
        for (let k = 0; k < 3; ++k) {
          try {
            const value = {};
            for (const a of node.arguments) {
              value[a.name] = a.defaultValue && a.defaultValueStrategy === 'omitted' ? valueOf(a.defaultValue) : randomValue(a.type, root);
            }
            const data = codec.encode(value);
            const back = codec.decode(data);
            const args = {};
            for (const a of node.arguments) if (a.defaultValueStrategy !== 'omitted') args[a.name] = norm(back[a.name], a.type, root);
            // Among the instructions of the program called (the peer looks through every program of
            // a document, its main one first): what the data alone says is another program's is no match.
            const own = { ...root, program, additionalPrograms: [] };
            const parsed = parseInstruction(own, { programAddress: program.publicKey, accounts: [], data });
            write({ file, program: program.publicKey, kind: 'instruction', name: node.name, data: Buffer.from(data).toString('base64'),
              value: args, identified: parsed ? parsed.path.at(-1).name : null });
          } catch (e) {
            if (process.env.CODAMA_DEBUG) console.error(node.name, e);
          }
        }
      }
    }
  }
}

function convert() {
  console.warn = console.log = () => {};  // its notes on renamed PDAs
  for (const file of rest) {
    try {
      write(rootNodeFromAnchor(JSON.parse(fs.readFileSync(file, 'utf8'))));
    } catch (e) {
      write(null);
    }
  }
}

if (mode === 'generate') generate();
else if (mode === 'convert') convert();
else if (mode === 'shared') shared();
else if (mode === 'parse') parseAll();
else if (mode === 'accounts') parseAccounts();
else throw new Error(`unknown mode ${mode}`);
