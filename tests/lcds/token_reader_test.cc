#include "lcds/token_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/base64.h"
#include "binding/json_reader.h"

namespace Voro {
namespace {

// Base64url texts below were produced by python3's base64.urlsafe_b64encode (padding
// stripped unless a test keeps it), never by the code under test.

// {"alg":"RS256","kid":"s1"}
constexpr std::string_view kHeader = "eyJhbGciOiJSUzI1NiIsImtpZCI6InMxIn0";
// {"sub":"5f0c2d7e-0","exp":1700000000,"amr":["pw?>"],"n":"é~ÿ"}: its encoding uses
// both "-" and "_" and leaves a short last group.
constexpr std::string_view kPayload =
    "eyJzdWIiOiI1ZjBjMmQ3ZS0wIiwiZXhwIjoxNzAwMDAwMDAwLCJhbXIiOlsicHc_PiJdLCJuIjoiw6l-w78ifQ";
// The same payload in standard Base64 with padding.
constexpr std::string_view kPayloadStandard =
    "eyJzdWIiOiI1ZjBjMmQ3ZS0wIiwiZXhwIjoxNzAwMDAwMDAwLCJhbXIiOlsicHc/PiJdLCJuIjoiw6l+w78ifQ==";
// The bytes 8A FF FE 00 "sig".
constexpr std::string_view kSignature = "iv_-AHNpZw";
const std::string kSignatureBytes("\x8a\xff\xfe\x00sig", 7);

BindingProperty ErrorTrue() {
  BindingProperty object;
  object["error"] = true;
  return object;
}

std::string DecodeUrl(std::string_view text, bool* ok, std::string* why) {
  std::string out;
  *ok = Base64UrlDecode(text, &out, why);
  return out;
}

TEST(Base64UrlDecodeTest, MatchesPythonVectors) {
  bool ok = false;
  std::string why;
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  // urlsafe_b64encode(bytes(range(256))) without its "==".
  const std::string every_byte = DecodeUrl(
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-P0BBQk"
      "NERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn-AgYKDhIWG"
      "h4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq-wsbKztLW2t7i5uru8vb6_wMHCw8TFxsfIyc"
      "rLzM3Oz9DR0tPU1dbX2Nna29zd3t_g4eLj5OXm5-jp6uvs7e7v8PHy8_T19vf4-fr7_P3-_w",
      &ok, &why);
  EXPECT_TRUE(ok) << why;
  EXPECT_EQ(std::vector<uint8_t>(every_byte.begin(), every_byte.end()), all);

  EXPECT_EQ(DecodeUrl(kSignature, &ok, &why), kSignatureBytes);
  EXPECT_TRUE(ok);
  EXPECT_EQ(DecodeUrl("", &ok, &why), "");
  EXPECT_TRUE(ok);
}

TEST(Base64UrlDecodeTest, PaddingIsOptionalButBounded) {
  bool ok = false;
  std::string why;
  for (std::string_view text : {"YQ", "YQ=", "YQ=="}) {
    EXPECT_EQ(DecodeUrl(text, &ok, &why), "a") << text;
    EXPECT_TRUE(ok) << text;
  }
  for (std::string_view text : {"YWI", "YWI="}) {
    EXPECT_EQ(DecodeUrl(text, &ok, &why), "ab") << text;
    EXPECT_TRUE(ok) << text;
  }
  EXPECT_EQ(DecodeUrl("YWJj", &ok, &why), "abc");
  EXPECT_TRUE(ok);

  struct Bad {
    std::string_view text;
    std::string_view why;
  };
  for (const Bad& bad : {Bad{"YWI==", "too much padding"}, Bad{"YWJj=", "too much padding"},
                         Bad{"YQ===", "too much padding"}, Bad{"==", "too much padding"},
                         Bad{"Y", "a single character left over in the last group"},
                         Bad{"YWJjZ==", "a single character left over in the last group"},
                         Bad{"YQ=Q", "padding before the end at offset 2"}}) {
    why.clear();
    (void)DecodeUrl(bad.text, &ok, &why);
    EXPECT_FALSE(ok) << bad.text;
    EXPECT_EQ(why, bad.why) << bad.text;
  }
}

TEST(Base64UrlDecodeTest, RefusesCharactersOutsideTheUrlAlphabet) {
  bool ok = true;
  std::string why;
  // The standard alphabet's "+" and "/" are not Base64url.
  (void)DecodeUrl(kPayloadStandard, &ok, &why);
  EXPECT_FALSE(ok);
  EXPECT_EQ(why, "invalid character 0x2F at offset 63");
  (void)DecodeUrl("ab+d", &ok, &why);
  EXPECT_EQ(why, "invalid character 0x2B at offset 2");
  (void)DecodeUrl("YW I", &ok, &why);
  EXPECT_EQ(why, "invalid character 0x20 at offset 2");
  (void)DecodeUrl(std::string_view("Y\0QQ", 4), &ok, &why);
  EXPECT_EQ(why, "invalid character 0x00 at offset 1");
  (void)DecodeUrl("YQ\xC3\xA9", &ok, &why);
  EXPECT_EQ(why, "invalid character 0xC3 at offset 2");
  EXPECT_FALSE(ok);
}

TEST(TokenReaderTest, ReadsClaimsHeaderAndSignature) {
  TokenReader reader(std::string(kHeader) + "." + std::string(kPayload) + "." +
                     std::string(kSignature));
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader.error(), "");

  const BindingResult payload = reader.Payload();
  ASSERT_TRUE(payload.ok());
  EXPECT_EQ(payload.value().type(), BindingType::kStructure);
  EXPECT_EQ(payload.value()["sub"].GetString(), "5f0c2d7e-0");
  EXPECT_EQ(payload.value()["exp"].GetUnsigned(), 1700000000u);
  EXPECT_EQ(payload.value()["amr"][0].GetString(), "pw?>");
  EXPECT_EQ(payload.value()["n"].GetString(), "\xC3\xA9~\xC3\xBF");
  EXPECT_EQ(payload.value().size(), 4u);
  EXPECT_EQ(reader.PayloadText(),
            "{\"sub\":\"5f0c2d7e-0\",\"exp\":1700000000,\"amr\":[\"pw?>\"],"
            "\"n\":\"\xC3\xA9~\xC3\xBF\"}");

  const BindingResult header = reader.Header();
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(header.value()["alg"].GetString(), "RS256");
  EXPECT_EQ(header.value()["kid"].GetString(), "s1");
  EXPECT_EQ(reader.HeaderText(), "{\"alg\":\"RS256\",\"kid\":\"s1\"}");

  EXPECT_EQ(reader.Signature(), kSignatureBytes);
  ASSERT_EQ(reader.SegmentCount(), 3u);
  EXPECT_EQ(reader.Segment(2), kSignature);
}

TEST(TokenReaderTest, PaddedSegmentsDecodeLikeUnpaddedOnes) {
  // {"sub":"a"} with "=", {"a":1} with "==", and the signature with its "==".
  TokenReader reader("eyJzdWIiOiJhIn0=.eyJhIjoxfQ==.iv_-AHNpZw==");
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader.Header().value()["sub"].GetString(), "a");
  EXPECT_EQ(reader.Payload().value()["a"].GetUnsigned(), 1u);
  EXPECT_EQ(reader.Signature(), kSignatureBytes);
}

TEST(TokenReaderTest, MissingAndEmptySegments) {
  const BindingProperty error_true = ErrorTrue();
  struct Case {
    std::string token;
    bool header_decoded;
    bool payload_decoded;
    bool signature_present;
    size_t segments;
  };
  const std::string h(kHeader);
  const std::string p(kPayload);
  const std::string s(kSignature);
  for (const Case& c : {
           Case{"", false, false, false, 1},
           Case{h, true, false, false, 1},  // no dot: the whole text is the header
           Case{h + ".", true, false, false, 2}, Case{h + "." + p, true, true, false, 2},
           Case{h + "." + p + ".", true, true, false, 3},  // ends with a dot
           Case{"." + p + "." + s, false, true, true, 3}, Case{h + ".." + s, true, false, true, 3},
           Case{"..", false, false, false, 3},
           Case{h + "." + p + "." + s + "..x", true, true, true, 5},  // extra segments
       }) {
    SCOPED_TRACE(c.token);
    TokenReader reader(c.token);
    ASSERT_TRUE(reader.ok()) << reader.error();
    EXPECT_EQ(reader.SegmentCount(), c.segments);

    const BindingResult header = reader.Header();
    ASSERT_TRUE(header.ok());
    if (c.header_decoded) {
      EXPECT_EQ(header.value()["alg"].GetString(), "RS256");
    } else {
      EXPECT_EQ(header.value(), error_true);
      EXPECT_EQ(reader.HeaderText(), "");
    }

    const BindingResult payload = reader.Payload();
    ASSERT_TRUE(payload.ok());
    if (c.payload_decoded) {
      EXPECT_EQ(payload.value()["sub"].GetString(), "5f0c2d7e-0");
    } else {
      EXPECT_EQ(payload.value(), error_true);
      // Claims are simply not there.
      EXPECT_EQ(payload.value().FindField("sub"), nullptr);
      EXPECT_EQ(payload.value().FindField("exp"), nullptr);
      EXPECT_EQ(reader.PayloadText(), "");
    }

    if (c.signature_present) {
      EXPECT_EQ(reader.Signature(), kSignatureBytes);
    } else {
      EXPECT_EQ(reader.Signature(), "NO_VALID_CRYPTO_SEGMENT_FOUND_IN_TOKEN");
    }
  }
}

TEST(TokenReaderTest, SplitsAtEveryDotKeepingEmptySegments) {
  TokenReader reader("a..b.");
  ASSERT_EQ(reader.SegmentCount(), 4u);
  EXPECT_EQ(reader.Segment(0), "a");
  EXPECT_EQ(reader.Segment(1), "");
  EXPECT_EQ(reader.Segment(2), "b");
  EXPECT_EQ(reader.Segment(3), "");
  EXPECT_EQ(reader.Segment(4), "");  // past the end
}

TEST(TokenReaderTest, BadSegmentsFailWithTheirReason) {
  const std::string h(kHeader);
  const std::string p(kPayload);
  struct Case {
    std::string token;
    std::string error;
  };
  for (const Case& c : {
           Case{h + "." + std::string(kPayloadStandard),
                "Token payload is not valid Base64url: invalid character 0x2F at offset 63"},
           Case{h + ".eyJzdWIiOiJhIn0*",
                "Token payload is not valid Base64url: invalid "
                "character 0x2A at offset 15"},
           Case{"e30 ." + p,
                "Token header is not valid Base64url: invalid character 0x20 at "
                "offset 3"},
           Case{h + ".Y",
                "Token payload is not valid Base64url: a single character left over "
                "in the last group"},
           Case{h + "." + p + ".iv_-AHNpZw===",
                "Token signature is not valid Base64url: too much padding"},
           Case{h + "." + p + ".sig!",
                "Token signature is not valid Base64url: invalid "
                "character 0x21 at offset 3"},
           // [1,2], "sub", 42, null, a single space, true
           Case{h + ".WzEsMl0", "Token payload is not a JSON object: an array"},
           Case{h + ".InN1YiI", "Token payload is not a JSON object: a string"},
           Case{h + ".NDI", "Token payload is not a JSON object: a number"},
           Case{h + ".bnVsbA", "Token payload is not a JSON object: null or no value"},
           Case{h + ".IA", "Token payload is not a JSON object: null or no value"},
           Case{"dHJ1ZQ." + p, "Token header is not a JSON object: a boolean"},
       }) {
    SCOPED_TRACE(c.token);
    TokenReader reader(c.token);
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.error(), c.error);
    // The caller reading claims gets the failure, never an empty object.
    const BindingResult payload = reader.Payload();
    EXPECT_FALSE(payload.ok());
    EXPECT_EQ(payload.error(), c.error);
    EXPECT_EQ(payload.value().size(), 1u);
    const BindingResult header = reader.Header();
    EXPECT_FALSE(header.ok());
    EXPECT_EQ(header.error(), c.error);
    EXPECT_EQ(reader.Signature(), "");
  }
}

TEST(TokenReaderTest, InvalidJsonCarriesTheReaderMessage) {
  // {"sub":  (cut short)
  TokenReader reader(std::string(kHeader) + ".eyJzdWIiOg." + std::string(kSignature));
  const std::string expected =
      "Token payload is not valid JSON: " + std::string(ParseJson("{\"sub\":").error());
  EXPECT_EQ(reader.error(), expected);
  EXPECT_EQ(reader.Payload().error(), expected);
  EXPECT_EQ(expected.substr(0, 40), "Token payload is not valid JSON: Error: ");
  // The decoded text is kept for diagnosis even though it does not parse.
  EXPECT_EQ(reader.PayloadText(), "{\"sub\":");
}

TEST(TokenReaderTest, DeepPayloadIsRefusedNotRecursed) {
  std::string json = "{\"a\":";
  json.append(5000, '[');
  const std::string standard =
      Base64Encode(reinterpret_cast<const uint8_t*>(json.data()), json.size());
  std::string url;
  for (char c : standard) {
    if (c != '=') url += c == '+' ? '-' : c == '/' ? '_' : c;
  }
  TokenReader reader(std::string(kHeader) + "." + url);
  EXPECT_FALSE(reader.ok());
  EXPECT_EQ(reader.error(),
            "Token payload is not valid JSON: " + std::string(ParseJson(json).error()));
}

TEST(TokenReaderTest, DecodesOnceOnFirstUse) {
  TokenReader reader(std::string(kHeader) + "." + std::string(kPayload) + ".!");
  EXPECT_FALSE(reader.parsed());  // construction does no work, even on a bad token
  EXPECT_EQ(reader.token(), std::string(kHeader) + "." + std::string(kPayload) + ".!");
  EXPECT_EQ(reader.SegmentCount(), 3u);
  EXPECT_TRUE(reader.parsed());

  const std::string* error = &reader.error();
  const std::string first = *error;
  EXPECT_EQ(first, "Token signature is not valid Base64url: invalid character 0x21 at offset 0");
  EXPECT_FALSE(reader.Payload().ok());
  EXPECT_EQ(&reader.error(), error);
  EXPECT_EQ(reader.error(), first);  // not appended to by a second run

  TokenReader good(std::string(kHeader) + "." + std::string(kPayload));
  BindingResult copy = good.Payload();
  ASSERT_TRUE(copy.ok());
  copy.value()["sub"] = "changed";
  copy.value()["extra"] = 1;
  const BindingResult again = good.Payload();
  EXPECT_EQ(again.value()["sub"].GetString(), "5f0c2d7e-0");
  EXPECT_EQ(again.value().FindField("extra"), nullptr);
  EXPECT_EQ(good.SegmentCount(), 2u);  // segments are not split again and appended
}

TEST(TokenReaderTest, MovedReaderKeepsItsSegments) {
  TokenReader first("e30.e30.YWI");  // short enough for the small-string buffer
  ASSERT_EQ(first.SegmentCount(), 3u);
  TokenReader moved(std::move(first));
  EXPECT_EQ(moved.Segment(0), "e30");
  EXPECT_EQ(moved.Segment(2), "YWI");
  EXPECT_TRUE(moved.ok()) << moved.error();
  EXPECT_EQ(moved.Signature(), "ab");
  EXPECT_EQ(moved.Payload().value().type(), BindingType::kStructure);
  EXPECT_EQ(moved.Payload().value().size(), 0u);
}

}  // namespace
}  // namespace Voro
