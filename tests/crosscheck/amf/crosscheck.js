// Cross-checks our AMF3 codec (through `kivtool amf`) against an independent npm
// implementation, over a generated corpus:
//   A: values the peer encodes are decoded by us;
//   B: values we encode are decoded by the peer.
// The peer cannot encode arrays or dynamic members and resolves no references, so A uses
// nested sealed objects, and B resolves string references itself and gives every object a
// class of its own. Usage: node crosscheck.js KIVTOOL [CASES] [SEED]
'use strict';
require('reflect-metadata');
const { execFileSync } = require('child_process');
const A = require('@astronautlabs/amf').AMF3;

const kivtool = process.argv[2];
const cases = Number(process.argv[3] || 150);
let seed = Number(process.argv[4] || 20261206);

function random() {  // mulberry32: the corpus is the same on every run
  seed = (seed + 0x6D2B79F5) | 0;
  let t = seed;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const pick = (list) => list[Math.floor(random() * list.length)];

// The peer's U29 deviates from the published format for four-byte values and negative
// Integers (it writes seven bits in the fourth byte and does not sign-extend), so Integers
// here stay within three bytes; the four-byte and negative edges are checked against byte
// vectors in the unit tests. Just past the 29-bit range, numbers travel as Doubles.
const INT_EDGES = [0, 1, 0x7f, 0x80, 0x3fff, 0x4000, 0x1fffff, 12345];
const DOUBLES = [1.5, -0.25, 268435456, -268435457, 4294967296, 1e300, -1e-300, Math.PI];
const STRINGS = ['', 'a', 'name', 'name', 'flex.messaging', 'é€', '😀 emoji', 'x'.repeat(200),
                 'quote " and \\ backslash', 'name'];
const KEYS = ['id', 'name', 'value', 'items', 'summonerId', 'a', 'b'];
let classCount = 0;

function gen(mode, depth) {
  const kinds = ['int', 'int', 'dbl', 'str', 'str', 'bool', 'null'];
  if (mode === 'A') kinds.push('date');
  if (depth < 4) kinds.push('obj', 'obj');
  if (mode === 'B' && depth < 4) kinds.push('arr');
  switch (pick(kinds)) {
    case 'int': return { t: 'int', v: pick(INT_EDGES) };
    case 'dbl': return { t: 'dbl', v: random() < 0.5 ? pick(DOUBLES) : (random() - 0.5) * 1e6 };
    case 'str': return { t: 'str', v: pick(STRINGS) };
    case 'bool': return { t: 'bool', v: random() < 0.5 };
    case 'null': return { t: 'null' };
    case 'date': return { t: 'date', v: Math.floor((random() - 0.3) * 4e12) };
    case 'arr': {
      const items = [];
      for (let n = Math.floor(random() * 5); n > 0; --n) items.push(gen(mode, depth + 1));
      return { t: 'arr', items };
    }
    default: {
      const members = new Map();
      for (let n = 1 + Math.floor(random() * 4); n > 0; --n) members.set(pick(KEYS), gen(mode, depth + 1));
      // The peer writes anonymous classes only; ours are named, one class per object.
      return { t: 'obj', cls: mode === 'A' ? '' : `crosscheck.C${++classCount}`, members };
    }
  }
}

function canon(v) {
  switch (v.t) {
    case 'int': case 'dbl': case 'str': case 'bool': return v.v;
    case 'null': return null;
    case 'date': return { date: v.v };
    case 'arr': return v.items.map(canon);
    default: {
      const m = {};
      for (const [k, x] of [...v.members].sort()) m[k] = canon(x);
      return { cls: v.cls, m };
    }
  }
}

// ---- A: the peer encodes, we decode ----
function toPeer(v) {
  switch (v.t) {
    case 'int': return new A.IntegerValue().with({ value: v.v });
    case 'dbl': return new A.DoubleValue().with({ value: v.v });
    case 'str': return new A.StringValue().with({ value: v.v });
    case 'bool': return v.v ? new A.TrueValue() : new A.FalseValue();
    case 'null': return new A.NullValue();
    case 'date': return new A.DateValue().with({ value: new Date(v.v) });
    default: {
      const value = {};
      for (const [k, x] of v.members) value[k] = toPeer(x);
      return new A.ObjectValueWithLiteralTraits().with({ value });
    }
  }
}

function fromOurJson(j) {
  if (Array.isArray(j)) return j.map(fromOurJson);
  if (j === null || typeof j !== 'object') return j;
  if (j.__kind === 'Date') return { date: j.value };
  if ('__class' in j) {
    const m = {};
    for (const [k, x] of Object.entries(j)) {
      if (k !== '__class' && k !== '__dynamic') m[k] = fromOurJson(x);
    }
    for (const [k, x] of Object.entries(j.__dynamic || {})) m[k] = fromOurJson(x);
    const sorted = {};
    for (const k of Object.keys(m).sort()) sorted[k] = m[k];
    return { cls: j.__class, m: sorted };
  }
  throw new Error(`unexpected JSON from kivtool: ${JSON.stringify(j)}`);
}

// ---- B: we encode, the peer decodes ----
function toOurJson(v) {
  switch (v.t) {
    case 'null': return null;
    case 'arr': return v.items.map(toOurJson);
    case 'obj': {
      const o = { __class: v.cls };
      for (const [k, x] of v.members) o[k] = toOurJson(x);
      return o;
    }
    default: return v.v;
  }
}

function fromPeer(value) {
  const strings = [];
  const text = (s) => {  // a StringOrReference, resolved in stream order
    const header = s.$lengthOrReference;
    if ((header & 1) === 0) {
      if ((header >> 1) >= strings.length) throw new Error('string reference beyond the table');
      return strings[header >> 1];
    }
    if (s.$value !== '') strings.push(s.$value);
    return s.$value;
  };
  const walk = (v) => {
    if (v instanceof A.IntegerValue || v instanceof A.DoubleValue) return v.value;
    if (v instanceof A.TrueValue) return true;
    if (v instanceof A.FalseValue) return false;
    if (v instanceof A.NullValue) return null;
    if (v instanceof A.StringValue) return text(v.stringOrReference);
    if (v instanceof A.ArrayValue) {
      if (v.isReference) throw new Error('object reference in the corpus');
      if (v.associativeValues.length) throw new Error('associative part in the corpus');
      return v.values.map(walk);
    }
    if (v instanceof A.ObjectValueWithLiteralTraits) {
      const cls = text(v.traits.className);
      const names = v.traits.sealedMemberNames.map(text);
      const values = v.values.map(walk);
      const m = {};
      names.forEach((n, i) => { m[n] = values[i]; });
      const sorted = {};
      for (const k of Object.keys(m).sort()) sorted[k] = m[k];
      return { cls, m: sorted };
    }
    throw new Error(`unexpected peer value ${v.constructor.name}`);
  };
  return walk(value);
}

// JSON numbers: our decoder prints 5.0 for doubles, which parses to 5 like the peer's.
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

let failures = 0;
let passed = 0;
function check(name, expected, got, bytes) {
  if (same(expected, got)) {
    ++passed;
    return;
  }
  ++failures;
  console.log(`FAIL ${name}\n  expected ${JSON.stringify(expected)}\n  got      ${JSON.stringify(got)}` +
              `\n  bytes    ${Buffer.from(bytes).toString('hex')}`);
}

for (let i = 0; i < cases; ++i) {
  const a = gen('A', 0);
  const peerBytes = Buffer.from(toPeer(a).serialize());
  let ours;
  try {
    const out = execFileSync(kivtool, ['amf', 'decode', '--amf3', '-'], { input: peerBytes });
    ours = fromOurJson(JSON.parse(out.toString()));
  } catch (e) {
    ours = `error: ${e.message}`;
  }
  check(`A${i} (peer encodes, we decode)`, canon(a), ours, peerBytes);

  const b = gen('B', 0);
  const ourBytes = execFileSync(kivtool, ['amf', 'encode', '--amf3', '-'],
                                { input: JSON.stringify(toOurJson(b)) });
  let peer;
  try {
    peer = fromPeer(A.Value.deserialize(ourBytes));
  } catch (e) {
    peer = `error: ${e.message}`;
  }
  check(`B${i} (we encode, the peer decodes)`, canon(b), peer, ourBytes);
}
console.log(`amf crosscheck: ${passed} passed, ${failures} failed`);
process.exit(failures === 0 && passed > 0 ? 0 : 1);
