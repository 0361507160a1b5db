#include "diag/gzip.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;

// Compresses each input with Debian's python3 gzip module, a second implementation next to our zlib
// use. One python3 run for all, as starting it costs more than the tests.
std::vector<Bytes> PythonGzip(const std::vector<Bytes>& raws) {
  std::string command =
      "/usr/bin/python3 -c 'import gzip, struct, sys\n"
      "for path in sys.argv[1:]:\n"
      "    data = gzip.compress(open(path, \"rb\").read(), compresslevel=6, mtime=0)\n"
      "    sys.stdout.buffer.write(struct.pack(\"<Q\", len(data)) + data)\n'";
  std::vector<std::string> paths;
  for (const Bytes& raw : raws) {
    char path[] = "/tmp/kiv_gzip_test_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    if (fd < 0) {
      return {};
    }
    EXPECT_EQ(write(fd, raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
    close(fd);
    paths.emplace_back(path);
    command += std::string(" ") + path;
  }
  Bytes all;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe != nullptr) {
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      all.insert(all.end(), chunk, chunk + n);
    }
    EXPECT_EQ(pclose(pipe), 0) << "python3 with its gzip module is needed";
  }
  for (const std::string& path : paths) {
    unlink(path.c_str());
  }

  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 8 <= all.size()) {
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) {
      length = (length << 8) | all[at + static_cast<size_t>(i)];
    }
    at += 8;
    if (length > all.size() - at) {
      break;
    }
    out.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                     all.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  EXPECT_EQ(out.size(), raws.size());
  out.resize(raws.size());
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Numbered lines: compresses well, so the output is many pieces for little input.
Bytes Lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  return Text(text);
}

// Bytes from a linear congruential sequence: barely compressible, so the input is many pieces.
Bytes Noise(size_t size) {
  Bytes out(size);
  uint32_t x = 12345;
  for (uint8_t& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

// zlib's own compressor, for formats python3's gzip module does not write.
Bytes Deflate(const Bytes& raw, int window_bits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, raw.size()) + 64);
  z.next_in = const_cast<uint8_t*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

InflateResult Inflate(const Bytes& gz, size_t initial_capacity = 0,
                      size_t max_output = kMaxInflatedSize) {
  return InflateGzip(gz.data(), gz.size(), initial_capacity, max_output);
}

Bytes Of(const InflateResult& r) { return Bytes(r.bytes().begin(), r.bytes().end()); }

// Every input the tests compress with python3, made once for the suite.
enum Fixture {
  kJson,
  kEmpty,
  kManyLines,
  kNoise,
  kPieceLess1,
  kPiece,
  kPiecePlus1,
  kTwoPieces,
  kShort,
  kNoise100k,
  kSomeLines,
  kFirst,
  kSecond,
  kPayload,
  kZeros,
};

class InflateGzipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    raw_ = {Text("{\"hello\":\"gzip\"}"),
            Bytes(),
            Lines(150000),
            Noise(300000),
            Noise(kInflatePieceSize - 1),
            Noise(kInflatePieceSize),
            Noise(kInflatePieceSize + 1),
            Noise(2 * kInflatePieceSize),
            Text("a short text that is cut somewhere"),
            Noise(100000),
            Lines(1000),
            Text("first"),
            Text("second"),
            Text("payload"),
            Bytes(100000, 'z')};
    gz_ = PythonGzip(raw_);
  }
  static void TearDownTestSuite() {
    raw_.clear();
    gz_.clear();
  }

  static const Bytes& Raw(Fixture f) { return raw_[f]; }
  static const Bytes& Gz(Fixture f) { return gz_[f]; }

 private:
  static inline std::vector<Bytes> raw_;
  static inline std::vector<Bytes> gz_;
};

TEST_F(InflateGzipTest, SmallPayload) {
  const Bytes& gz = Gz(kJson);
  const InflateResult r = Inflate(gz, 2 * gz.size());
  ASSERT_TRUE(r.ok()) << r.status();
  EXPECT_EQ(r.text(), "{\"hello\":\"gzip\"}");
  EXPECT_EQ(r.capacity(), 2 * gz.size());
}

TEST_F(InflateGzipTest, EmptyContent) {
  const InflateResult r = Inflate(Gz(kEmpty), 0);
  ASSERT_TRUE(r.ok()) << r.status();
  EXPECT_EQ(r.size(), 0u);
  EXPECT_EQ(r.capacity(), 0u);
}

TEST_F(InflateGzipTest, LargeOutputDoublesTheBuffer) {
  const Bytes& raw = Raw(kManyLines);
  ASSERT_GT(raw.size(), 8 * kInflatePieceSize);
  const Bytes& gz = Gz(kManyLines);
  ASSERT_LT(gz.size(), raw.size() / 2);
  for (size_t initial : {size_t{0}, size_t{1}, size_t{3}, size_t{100000}, size_t{4} << 20}) {
    SCOPED_TRACE(initial);
    const InflateResult r = Inflate(gz, initial);
    ASSERT_TRUE(r.ok()) << r.status();
    EXPECT_EQ(Of(r), raw);
    // The buffer starts at the given capacity (the first 16 KiB piece when 0) and only
    // doubles, so it ends at the first such size that holds everything.
    size_t expected = initial == 0 ? kInflatePieceSize : initial;
    while (expected < raw.size()) {
      expected *= 2;
    }
    EXPECT_EQ(r.capacity(), expected);
  }
}

TEST_F(InflateGzipTest, InputSpanningManyPieces) {
  const Bytes& raw = Raw(kNoise);
  const Bytes& gz = Gz(kNoise);
  ASSERT_GT(gz.size(), 10 * kInflatePieceSize);
  const InflateResult r = Inflate(gz, 2 * gz.size());
  ASSERT_TRUE(r.ok()) << r.status();
  EXPECT_EQ(Of(r), raw);
  // zlib's own gzip writer agrees.
  EXPECT_EQ(Of(Inflate(Deflate(raw, 31))), raw);
}

TEST_F(InflateGzipTest, OutputAroundThePieceSize) {
  for (Fixture f : {kPieceLess1, kPiece, kPiecePlus1, kTwoPieces}) {
    const InflateResult r = Inflate(Gz(f));
    ASSERT_TRUE(r.ok()) << r.status();
    EXPECT_EQ(Of(r), Raw(f));
  }
}

TEST_F(InflateGzipTest, TruncatedInputIsADataError) {
  const Bytes& gz = Gz(kShort);
  for (size_t cut = 0; cut < gz.size(); ++cut) {
    const Bytes part(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(Inflate(part).status(), kInflateDataError) << "cut at " << cut;
  }
  const Bytes& big = Gz(kNoise100k);
  const Bytes half(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(big.size() / 2));
  EXPECT_EQ(Inflate(half).status(), kInflateDataError);
}

TEST_F(InflateGzipTest, CorruptDataIsADataError) {
  const Bytes& gz = Gz(kSomeLines);
  Bytes bad_magic = gz;
  bad_magic[0] ^= 0xff;
  EXPECT_EQ(Inflate(bad_magic).status(), kInflateDataError);

  Bytes bad_crc = gz;
  bad_crc[gz.size() - 8] ^= 0x01;
  EXPECT_EQ(Inflate(bad_crc).status(), kInflateDataError);

  Bytes bad_length = gz;
  bad_length[gz.size() - 1] ^= 0x01;
  EXPECT_EQ(Inflate(bad_length).status(), kInflateDataError);

  Bytes bad_block = gz;
  bad_block[10] = 0xff;  // first deflate block header: reserved block type
  EXPECT_EQ(Inflate(bad_block).status(), kInflateDataError);

  EXPECT_EQ(Inflate(Text("plain text, not gzip at all")).status(), kInflateDataError);
}

TEST_F(InflateGzipTest, OnlyTheGzipFormatIsAccepted) {
  const Bytes raw = Lines(100);
  EXPECT_EQ(Inflate(Deflate(raw, 15)).status(), kInflateDataError) << "zlib format";
  EXPECT_EQ(Inflate(Deflate(raw, -15)).status(), kInflateDataError) << "raw deflate";
  EXPECT_EQ(Of(Inflate(Deflate(raw, 31))), raw);
}

TEST_F(InflateGzipTest, StopsAtTheEndOfTheFirstMember) {
  Bytes two = Gz(kFirst);
  two.insert(two.end(), Gz(kSecond).begin(), Gz(kSecond).end());
  const InflateResult r = Inflate(two);
  ASSERT_TRUE(r.ok()) << r.status();
  EXPECT_EQ(r.text(), "first");

  Bytes trailing = Gz(kPayload);
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k'});
  EXPECT_EQ(Inflate(trailing).text(), "payload");
}

TEST_F(InflateGzipTest, OutputLargerThanTheCapIsAMemoryError) {
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
