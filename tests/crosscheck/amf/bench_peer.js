// Measures the npm AMF peer on the bytes bench_amf writes (KIV_BENCH_AMF_PEER_INPUT=PATH):
// decoding them, and encoding the decoded value tree again.
//   node tests/crosscheck/amf/bench_peer.js PATH [SECONDS]
'use strict';
require('reflect-metadata');
const fs = require('fs');
const A = require('@astronautlabs/amf').AMF3;

// The peer cannot write an array's closing empty key (its key setter expects a key object
// that a new entry does not have yet); give it one, so that its encoder can be measured.
Object.defineProperty(A.AssociativeValue.prototype, 'key', {
  get() { return this.$key.value; },
  set(value) {
    if (!this.$key) this.$key = new A.StringOrReference();
    this.$key.value = value;
  },
});

const bytes = fs.readFileSync(process.argv[2]);
const seconds = Number(process.argv[3] || 3);

// CPU time, as the C++ benchmark reports it: a loaded machine distorts wall time.
function cpuSeconds() {
  const usage = process.cpuUsage();
  return (usage.user + usage.system) / 1e6;
}

function measure(name, fn) {
  fn();  // warm up
  let runs = 0;
  const start = cpuSeconds();
  let elapsed = 0;
  while (elapsed < seconds || runs < 2) {
    fn();
    ++runs;
    elapsed = cpuSeconds() - start;
  }
  const mbps = (bytes.length * runs) / elapsed / (1024 * 1024);
  console.log(`${name}: ${runs} runs, ${(elapsed / runs * 1e3).toFixed(1)} ms CPU each, ` +
              `${mbps.toFixed(2)} MiB/s`);
}

let decoded = A.Value.deserialize(bytes);
const again = Buffer.from(decoded.serialize());
console.log(`input ${bytes.length} bytes; re-encoded ${again.length} bytes` +
            (Buffer.compare(again, bytes) === 0 ? ' (identical)' : ' (different)'));
measure('peer decode', () => { decoded = A.Value.deserialize(bytes); });
measure('peer encode', () => { decoded.serialize(); });
