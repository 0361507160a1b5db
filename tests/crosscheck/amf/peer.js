// The independent AMF implementation the cross-check compares us with: the npm library
// @astronautlabs/amf, read and written through the tagged trees of crosscheck.js, and
// taught (by teach()) what it lacks or gets wrong for the C and D parts.
'use strict';
require('reflect-metadata');
const A = require('@astronautlabs/amf').AMF3;
const Z = require('@astronautlabs/amf').AMF0;
const { BitstreamReader, Field, Variant } = require('@astronautlabs/bitstream');

// Each Flex collection's body is one AMF3 value, kept in the member our notation names.
const FLEX_BODY = {
  'flex.messaging.io.ArrayCollection': 'source',
  'flex.messaging.io.ArrayList': 'source',
  'flex.messaging.io.ObjectProxy': 'object',
};
const FLEX_NAMES = Object.keys(FLEX_BODY);
const [ARRAY_COLLECTION, , OBJECT_PROXY] = FLEX_NAMES;
const FlexValue = {};

// The peer's fixes and lessons; A and B run before them, on the peer as it comes.
function teach() {
  // Its AMF0 string and key setters store the length in UTF-16 units, and the bytes written
  // are cut to that length; the format counts UTF-8 bytes, as the peer's length fields do.
  Object.defineProperty(Z.StringValue.prototype, 'value', {
    get() { return this.$value; },
    set(value) { this.$value = value; this.length = Buffer.byteLength(value); },
  });
  Object.defineProperty(Z.ObjectProperty.prototype, 'key', {
    get() { return this._key; },
    set(value) { this._key = value; this.keyLength = Buffer.byteLength(value); },
  });
  // It ends an ECMA array with the end marker alone (`09`), without the empty key (`00 00`)
  // before it, and so also reads the published ending two bytes short. Its empty key is a
  // zero-bit number field; sixteen bits of zero are the key's length.
  const ecmaEndKey = Z.EcmaArrayValue.ownSyntax.find((field) => field.name === 'endKey');
  ecmaEndKey.length = 16;
  ecmaEndKey.options.writtenValue = 0;
  // It cannot write an array's closing empty key (its key setter expects a key object that a
  // new entry does not have yet); D's collections hold arrays.
  Object.defineProperty(A.AssociativeValue.prototype, 'key', {
    get() { return this.$key.value; },
    set(value) {
      if (!this.$key) this.$key = new A.StringOrReference();
      this.$key.value = value;
    },
  });
  // It reads an externalizable object's class name and then wants a variant that knows the
  // body; it knows none. Registered by hand as the compiled decorators would be; Field picks
  // its serializer from TypeScript's type metadata, which plain JS must supply itself.
  for (const [className, member] of Object.entries(FLEX_BODY)) {
    const Cls = class extends A.ObjectValueWithExternalizableTraits {
      constructor() {
        super();
        this.className = new A.StringOrReference().with({ value: className });
      }
      // The base object reads one value per sealed member after the body: there are none.
      get traits() { return { sealedMemberNames: [] }; }
    };
    Object.defineProperty(Cls, 'name', { value: className });
    Reflect.defineMetadata('design:type', A.Value, Cls.prototype, member);
    Field()(Cls.prototype, member);
    Variant((i) => i.className.isLiteral && i.className.value === className)(Cls);
    FlexValue[className] = Cls;
  }
}

// A's values, as the peer writes them.
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

// The peer resolves no string references: ours does, in stream order. `reset` starts a
// new table (the peer starts one at each AMF0 switch).
function stringTable() {
  let strings = [];
  return {
    text(s) {  // a StringOrReference
      const header = s.$lengthOrReference;
      if ((header & 1) === 0) {
        if ((header >> 1) >= strings.length) throw new Error('string reference beyond the table');
        return strings[header >> 1];
      }
      if (s.$value !== '') strings.push(s.$value);
      return s.$value;
    },
    reset() { strings = []; },
  };
}

// B's comparison form: the tagged tree of fromPeerT without its tags, numbers as numbers and
// members as one object in key order.
function fromPeer(value) {
  const plain = (t) => {
    if (Array.isArray(t)) return t.map(plain);
    if (t === null || typeof t !== 'object') return t;
    if ('int' in t) return t.int;
    if ('dbl' in t) return t.dbl;
    const m = {};
    for (const [k, x] of [...t.m].sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0))) m[k] = plain(x);
    return { cls: t.cls, m };
  };
  return plain(fromPeerT(value));
}

// The peer's deserialize() ignores bytes left over; these checks must not.
function peerDecode(Root, bytes) {
  const reader = new BitstreamReader();
  reader.addBuffer(Buffer.from(bytes));
  const value = Root.readSync(reader);
  if (reader.offset !== bytes.length * 8) {
    throw new Error(`${bytes.length - reader.offset / 8} bytes left over`);
  }
  return value;
}

function fromPeerT(value) {
  const table = stringTable();
  const text = (s) => table.text(s);
  const walk3 = (v) => {
    if (v instanceof A.IntegerValue) return { int: v.value };
    if (v instanceof A.DoubleValue) return { dbl: v.value };
    if (v instanceof A.TrueValue) return true;
    if (v instanceof A.FalseValue) return false;
    if (v instanceof A.NullValue) return null;
    if (v instanceof A.StringValue) return text(v.stringOrReference);
    if (v instanceof A.ArrayValue) {
      if (v.isReference) throw new Error('object reference in the corpus');
      if (v.associativeValues.length) throw new Error('associative entries in the corpus');
      return v.values.map(walk3);
    }
    if (v instanceof A.ObjectValueWithLiteralTraits) {
      const cls = text(v.traits.className);
      const names = v.traits.sealedMemberNames.map(text);
      const o = { cls, m: v.values.map((x, k) => [names[k], walk3(x)]) };
      if ((v.dynamicMembers || []).length) o.dyn = v.dynamicMembers.map((d) => [text(d.$key), walk3(d.value)]);
      return o;
    }
    if (v instanceof A.ObjectValueWithExternalizableTraits) {
      const cls = text(v.className);
      return { ext: cls, m: [[FLEX_BODY[cls], walk3(v[FLEX_BODY[cls]])]] };
    }
    throw new Error(`unexpected peer value ${v.constructor.name}`);
  };
  const walk0 = (v) => {
    if (v instanceof Z.NumberValue) return { dbl: v.value };
    if (v instanceof Z.StringValue || v instanceof Z.BooleanValue) return v.value;
    if (v instanceof Z.NullValue) return null;
    if (v instanceof Z.StrictArrayValue) return Z.StrictArrayValue.elementValues(v).map(walk0);
    if (v instanceof Z.EcmaArrayValue) return { ecma: v.properties.map((p) => [p.key, walk0(p.value)]) };
    if (v instanceof Z.AvmPlusValue) {
      table.reset();  // each switch starts with empty tables, as the peer writes them
      return { amf3: walk3(Z.AvmPlusValue.unwrap(v)) };
    }
    throw new Error(`unexpected peer value ${v.constructor.name}`);
  };
  return value instanceof Z.Value ? walk0(value) : walk3(value);
}

function toPeer3(v) {
  const name = (value) => new A.StringOrReference().with({ value });
  switch (v.t) {
    case 'arr': return new A.ArrayValue().with({ values: v.items.map(toPeer3), associativeValues: [] });
    case 'obj': {  // the peer's object setter makes anonymous classes only
      const o = new A.ObjectValueWithLiteralTraits();
      o.traits = new A.Traits().with({ className: name(v.cls), sealedMemberNames: v.members.map(([k]) => name(k)) });
      o.sealedMemberNameCount = v.members.length;
      o.values = v.members.map(([, x]) => toPeer3(x));
      return o;
    }
    case 'ext': return new FlexValue[v.cls]().with({ [FLEX_BODY[v.cls]]: toPeer3(v.body) });
    default: return toPeer(v);
  }
}

function toPeer0(v) {
  switch (v.t) {
    case 'num': return new Z.NumberValue().with({ value: v.v });
    case 'str': return new Z.StringValue().with({ value: v.v });
    case 'bool': return new Z.BooleanValue().with({ value: v.v });
    case 'null': return new Z.NullValue();
    case 'amf3': return Z.Value.amf3(toPeer3(v.v));
    case 'strict': return new Z.StrictArrayValue().with({ value: v.items.map(toPeer0) });
    case 'ecma': return new Z.EcmaArrayValue().with({ value: new Map(v.entries.map(([k, x]) => [k, toPeer0(x)])) });
    default: throw new Error(`not an AMF0 node: ${v.t}`);
  }
}

// The peer writes a container equal to one written before as an AMF0 reference (and numbers
// it when the container ends, not when it starts); those cases are drawn again.
function peerReference(v) {
  if (v instanceof Z.ReferenceValue) return true;
  if (v instanceof Z.StrictArrayValue) return Z.StrictArrayValue.elementValues(v).some(peerReference);
  if (v instanceof Z.EcmaArrayValue) return v.properties.some((p) => peerReference(p.value));
  return false;
}

module.exports = {
  A, Z, FLEX_BODY, FLEX_NAMES, ARRAY_COLLECTION, OBJECT_PROXY, teach,
  toPeer, fromPeer, peerDecode, fromPeerT, toPeer3, toPeer0, peerReference,
};
