#!/usr/bin/python3
"""Cross-checks our MessagePack decoder against python3-msgpack.

A fixed-seed generator builds a few thousand documents: every integer width (with
deliberately wider encodings than needed), float 32/64, str and bin of 8/16/32-bit lengths,
nested arrays and maps in every header width, duplicate keys. The documents are written
back to back into one file; the driver decodes them one after another and prints one JSON
line per document. The expected lines come from python's own decoding of the same bytes;
only the integer tag (signed or unsigned) comes from the encoding chosen here, since a
decoded python int no longer shows it. Prefixes of documents must fail on both sides.

usage: msgpack_crosscheck.py DRIVER [--seed N] [--count N]
"""

import argparse
import json
import os
import random
import struct
import subprocess
import sys
import tempfile

import msgpack

# Boundary values of every width, both sides of each edge.
INT_EDGES = [0, 1, 5, 31, 32, 127, 128, 255, 256, 32767, 32768, 65535, 65536,
             2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1,
             -1, -5, -31, -32, -33, -127, -128, -129, -32767, -32768, -32769,
             -2**31 + 1, -2**31, -2**31 - 1, -2**63 + 1, -2**63]
FLOAT64_EDGES = [0.0, -0.0, 1.5, -2.25, 0.1, 1e300, -1e-300, 5e-324, 1.7976931348623157e308,
                 float("inf"), float("-inf"), float("nan")]
FLOAT32_EDGES = [0.0, -0.0, 1.5, 0.1, -3.4e38, 1e-40, 65504.0, float("inf"), float("nan")]
TEXT_CHARS = "abcxyzABC019 _-/\"\\\n\té€😀\x00"


def int_encodings(v):
    """Every (kind, bytes) that can carry v; kind is the tag our decoder must give."""
    out = []
    if 0 <= v < 128:
        out.append(("s", bytes([v])))
    if -32 <= v < 0:
        out.append(("s", struct.pack(">b", v)))
    for code, fmt, lo, hi in ((0xCC, ">B", 0, 2**8), (0xCD, ">H", 0, 2**16),
                              (0xCE, ">I", 0, 2**32), (0xCF, ">Q", 0, 2**64)):
        if lo <= v < hi:
            out.append(("u", bytes([code]) + struct.pack(fmt, v)))
    for code, fmt, bits in ((0xD0, ">b", 8), (0xD1, ">h", 16), (0xD2, ">i", 32),
                            (0xD3, ">q", 64)):
        if -2**(bits - 1) <= v < 2**(bits - 1):
            out.append(("s", bytes([code]) + struct.pack(fmt, v)))
    return out


def python_int_kind(v):
    # python's packer takes the smallest form: fixints and int8..64 are signed, uint8..64
    # (non-negative values from 128 up) unsigned.
    return "u" if v >= 128 else "s"


class Generator:
    def __init__(self, seed):
        self.rnd = random.Random(seed)

    def text(self, length):
        r = self.rnd
        return "".join(r.choice(TEXT_CHARS) for _ in range(length))

    def length(self):
        """A length that lands in every header width now and then."""
        r = self.rnd.random()
        if r < 0.80:
            return self.rnd.randrange(0, 32)
        if r < 0.95:
            return self.rnd.randrange(32, 256)
        if r < 0.995:
            return self.rnd.randrange(256, 3000)
        return self.rnd.randrange(65536, 70000)

    def container_header(self, n, fix, code16, code32):
        """The smallest header, or sometimes a wider one than needed."""
        choice = self.rnd.random()
        if n < 16 and choice < 0.7:
            return bytes([fix + n])
        if n < 65536 and choice < 0.85:
            return bytes([code16]) + struct.pack(">H", n)
        return bytes([code32]) + struct.pack(">I", n)

    def value(self, depth):
        """(model, bytes). The model is what the value means to us."""
        r = self.rnd
        kinds = ["nil", "bool", "int", "int", "int", "float32", "float64", "str", "str", "bin"]
        if depth < 4:
            kinds += ["arr", "map", "map"]
        kind = r.choice(kinds)
        if kind == "nil":
            return ("nil",), msgpack.packb(None)
        if kind == "bool":
            b = r.random() < 0.5
            return ("bool", b), msgpack.packb(b)
        if kind == "int":
            v = r.choice(INT_EDGES) if r.random() < 0.6 else r.randrange(-2**63, 2**64)
            if r.random() < 0.5:
                return ("int", python_int_kind(v), v), msgpack.packb(v)
            k, data = r.choice(int_encodings(v))
            return ("int", k, v), data
        if kind == "float32":
            v = r.choice(FLOAT32_EDGES) if r.random() < 0.5 else r.uniform(-1e6, 1e6)
            return ("float",), msgpack.packb(v, use_single_float=True)
        if kind == "float64":
            v = r.choice(FLOAT64_EDGES) if r.random() < 0.5 else r.uniform(-1e12, 1e12)
            return ("float",), msgpack.packb(v)
        if kind == "str":
            s = self.text(self.length())
            return ("str", s), msgpack.packb(s)
        if kind == "bin":
            b = r.randbytes(self.length())
            return ("bin", b), msgpack.packb(b, use_bin_type=True)
        n = r.randrange(0, 9) if r.random() < 0.9 else r.randrange(9, 40)
        if kind == "arr":
            items = [self.value(depth + 1) for _ in range(n)]
            return (("arr", [m for m, _ in items]),
                    self.container_header(n, 0x90, 0xDC, 0xDD) + b"".join(d for _, d in items))
        pairs, data = [], b""
        keys = []
        for _ in range(n):
            if keys and r.random() < 0.1:
                key = r.choice(keys)  # a duplicate: the last value must win
            else:
                key = self.text(r.choice([0, 1, 2, 3, 5, 8, 12, 40]))
            keys.append(key)
            m, d = self.value(depth + 1)
            pairs.append((key, m))
            data += msgpack.packb(key) + d
        return ("map", pairs), self.container_header(n, 0x80, 0xDE, 0xDF) + data


def expect(py, model):
    """Our driver's JSON for python's decoding `py` of the value described by `model`."""
    kind = model[0]
    if kind == "nil":
        assert py is None
        return None
    if kind == "bool":
        assert py is model[1]
        return {"b": py}
    if kind == "int":
        assert py == model[2] and type(py) is int, (py, model)
        return {model[1]: py}
    if kind == "float":
        assert type(py) is float
        return {"f": struct.pack(">d", py).hex()}
    if kind == "str":
        assert py == model[1]
        return {"t": py.encode("utf-8").hex()}
    if kind == "bin":
        assert py == model[1]
        return {"x": py.hex()}
    if kind == "arr":
        assert len(py) == len(model[1])
        return [expect(p, m) for p, m in zip(py, model[1])]
    last = {}
    for key, m in model[1]:
        last[key] = m
    assert set(py) == set(last), (sorted(py), sorted(last))
    keys = sorted(last, key=lambda k: k.encode("utf-8"))
    return {"m": [[k.encode("utf-8").hex(), expect(py[k], last[k])] for k in keys]}


def run_driver(driver, data):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(data)
        path = f.name
    try:
        out = subprocess.run([driver, path], check=True, capture_output=True).stdout
    finally:
        os.unlink(path)
    return [json.loads(line) for line in out.decode("utf-8").splitlines()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("driver")
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--count", type=int, default=3000)
    args = parser.parse_args()

    gen = Generator(args.seed)
    docs = [gen.value(0) for _ in range(args.count)]
    stream = b"".join(d for _, d in docs)

    # python's decoding of the same stream, document by document, with its end offsets.
    unpacker = msgpack.Unpacker(raw=False, max_buffer_size=len(stream) + 1)
    unpacker.feed(stream)
    expected, start = [], 0
    for (model, data), py in zip(docs, unpacker):
        end = unpacker.tell()
        assert end - start == len(data), "python read a different length"
        expected.append({"consumed": end - start, "value": expect(py, model)})
        start = end
    assert len(expected) == len(docs), "python decoded fewer documents"

    got = run_driver(args.driver, stream)
    failures = 0
    for i, (want, have) in enumerate(zip(expected, got)):
        if want != have:
            failures += 1
            if failures <= 5:
                print(f"document {i} differs\n  python: {json.dumps(want)[:400]}\n"
                      f"  ours:   {json.dumps(have)[:400]}")
    if len(got) != len(expected):
        failures += 1
        print(f"ours printed {len(got)} documents, python decoded {len(expected)}")

    # Every proper prefix of a document is incomplete: both decoders must refuse it.
    cut_checks = 0
    for model, data in gen.rnd.sample(docs, 200):
        if len(data) < 2:
            continue
        cut = data[:gen.rnd.randrange(1, len(data))]
        try:
            msgpack.unpackb(cut, raw=False)
            print("python accepted a cut document")
            failures += 1
        except Exception:  # noqa: BLE001 - any refusal will do
            pass
        lines = run_driver(args.driver, cut)
        if len(lines) != 1 or "error" not in lines[0] or "truncated" not in lines[0]["error"]:
            print(f"ours on a cut document {cut[:40].hex()}...: {lines}")
            failures += 1
        cut_checks += 1

    int_docs = sum(1 for m, _ in docs if m[0] == "int")
    print(f"{len(docs)} documents ({len(stream)} bytes, {int_docs} top-level integers), "
          f"{cut_checks} cut documents, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
