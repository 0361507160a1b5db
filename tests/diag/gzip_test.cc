#include "diag/gzip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;

// Every input, as a pair of its bytes and python3's gzip of them, a second implementation
// next to our zlib use. One python3 run makes them all, as starting it costs more than the
// tests; each piece comes as an 8-byte little-endian length and the bytes.
enum Fixture { kJson, kEmpty, kManyLines, kNoise, kPieceLess1, kPiece, kPiecePlus1, kZeros };

const std::vector<Bytes>& Fixtures() {
  static const std::vector<Bytes> pieces = [] {
    const std::string command =
        "/usr/bin/python3 -c 'import gzip, random, struct, sys\n"
        "p, r = int(sys.argv[1]), random.Random(7)\n"
        "lines = \"\".join(\"line %d\\n\" % i for i in range(150000)).encode()\n"
        "for raw in [b\"{\\\"hello\\\":\\\"gzip\\\"}\", b\"\", lines, r.randbytes(300000),\n"
        "            r.randbytes(p - 1), r.randbytes(p), r.randbytes(p + 1), b\"z\" * 100000]:\n"
        "    for data in (raw, gzip.compress(raw, compresslevel=6, mtime=0)):\n"
        "        sys.stdout.buffer.write(struct.pack(\"<Q\", len(data)) + data)\n' " +
        std::to_string(kInflatePieceSize);
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<Bytes> out;
    for (uint64_t size = 0; pipe != nullptr && fread(&size, sizeof size, 1, pipe) == 1;) {
      out.emplace_back(size);
      EXPECT_EQ(fread(out.back().data(), 1, size, pipe), size);
    }
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << "python3 with its gzip module is needed";
    EXPECT_EQ(out.size(), 2 * (kZeros + 1));
    out.resize(2 * (kZeros + 1));
    return out;
  }();
  return pieces;
}
const Bytes& Raw(Fixture f) { return Fixtures()[2 * f]; }
const Bytes& Gz(Fixture f) { return Fixtures()[2 * f + 1]; }

InflateResult Inflate(const Bytes& gz, size_t initial_capacity = 0,
                      size_t max_output = kMaxInflatedSize) {
  return InflateGzip(gz.data(), gz.size(), initial_capacity, max_output);
}

Bytes Of(const InflateResult& r) { return Bytes(r.bytes().begin(), r.bytes().end()); }

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(InflateGzipTest, EveryInputComesBackWholeInABufferThatOnlyDoubles) {
  ASSERT_GT(Gz(kNoise).size(), 10 * kInflatePieceSize);
  ASSERT_LT(Gz(kManyLines).size(), Raw(kManyLines).size() / 2);
  for (Fixture f : {kJson, kEmpty, kManyLines, kNoise, kPieceLess1, kPiece, kPiecePlus1}) {
    const size_t size = Raw(f).size();
    for (size_t initial : {size_t{0}, size_t{3}, 2 * Gz(f).size()}) {
      SCOPED_TRACE(testing::Message() << "fixture " << f << " capacity " << initial);
      const InflateResult r = Inflate(Gz(f), initial);
      ASSERT_TRUE(r.ok()) << r.status();
      ASSERT_EQ(r.size(), size);
      EXPECT_EQ(Of(r), Raw(f));
      // The buffer starts at the given capacity (one full piece when 0, for output that
      // fills it) and only doubles; nothing is allocated for nothing.
      size_t expected = initial == 0 ? kInflatePieceSize : initial;
      while (expected < size) expected *= 2;
      if (initial != 0 || f == kManyLines) {
        EXPECT_EQ(r.capacity(), size == 0 ? 0 : expected);
      }
    }
  }
  // Inflation stops at the end of the first member.
  EXPECT_EQ(Inflate(Join(Gz(kJson), Gz(kPiece))).text(), "{\"hello\":\"gzip\"}");
  EXPECT_EQ(Inflate(Join(Gz(kJson), Raw(kJson))).text(), "{\"hello\":\"gzip\"}");
}

TEST(InflateGzipTest, DamagedOrForeignInputIsADataError) {
  const Bytes& gz = Gz(kJson);
  for (size_t cut = 0; cut < gz.size(); ++cut) {
    EXPECT_EQ(Inflate(Bytes(gz.begin(), gz.begin() + cut)).status(), kInflateDataError) << cut;
  }
  // A flipped bit in the magic, the checksum or the length.
  for (size_t at : {size_t{0}, gz.size() - 8, gz.size() - 1}) {
    Bytes bad = gz;
    bad[at] ^= 0x01;
    EXPECT_EQ(Inflate(bad).status(), kInflateDataError) << at;
  }
}

TEST(InflateGzipTest, OutputLargerThanTheCapIsAMemoryError) {
  const Bytes& raw = Raw(kZeros);
  const Bytes& gz = Gz(kZeros);
  ASSERT_LT(gz.size(), 1000u);
  EXPECT_EQ(Inflate(gz, 0, 65536).status(), kInflateMemoryError);
  EXPECT_EQ(Inflate(gz, 0, raw.size() - 1).status(), kInflateMemoryError);
  // Exactly at the cap fits; the doubling stops at the cap instead of passing it.
  const InflateResult r = Inflate(gz, 1, raw.size());
  ASSERT_TRUE(r.ok()) << r.status();
  EXPECT_EQ(Of(r), raw);
  EXPECT_EQ(r.capacity(), raw.size());
  // A first capacity above the cap is held to the cap.
  EXPECT_EQ(Inflate(gz, 10 * raw.size(), raw.size()).capacity(), raw.size());
}

}  // namespace
}  // namespace Voro
