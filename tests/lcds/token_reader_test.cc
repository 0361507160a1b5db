#include "lcds/token_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/value/base64.h"
#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"

namespace Voro {
namespace {

// Base64url texts below were produced by python3's base64.urlsafe_b64encode (padding
// stripped unless a row keeps it), never by the code under test.

// {"alg":"RS256","kid":"s1"}
const std::string kHeader = "eyJhbGciOiJSUzI1NiIsImtpZCI6InMxIn0";
// {"sub":"5f0c2d7e-0","exp":1700000000,"amr":["pw?>"],"n":"é~ÿ"}: its encoding uses
// both "-" and "_" and leaves a short last group.
const std::string kPayload =
    "eyJzdWIiOiI1ZjBjMmQ3ZS0wIiwiZXhwIjoxNzAwMDAwMDAwLCJhbXIiOlsicHc_PiJdLCJuIjoiw6l-w78ifQ";
// The same payload in standard Base64 with padding.
const std::string kPayloadStandard =
    "eyJzdWIiOiI1ZjBjMmQ3ZS0wIiwiZXhwIjoxNzAwMDAwMDAwLCJhbXIiOlsicHc/PiJdLCJuIjoiw6l+w78ifQ==";
// The bytes 8A FF FE 00 "sig".
const std::string kSignature = "iv_-AHNpZw";
const std::string kSignatureBytes("\x8a\xff\xfe\x00sig", 7);

// The decoded text, or the refusal.
std::string Decoded(std::string_view text) {
  std::string out, why;
  return Base64UrlDecode(text, &out, &why) ? out : "refused: " + why;
}

// Header and payload as JSON, the signature and the segment count; or the error.
std::string Summary(TokenReader& reader) {
  if (!reader.ok()) return reader.error();
  const std::string& signature = reader.Signature();
  return WriteJson(reader.Header().value()) + " " + WriteJson(reader.Payload().value()) + " " +
         (signature == kSignatureBytes ? "sig" : signature) + " " +
         std::to_string(reader.SegmentCount());
}

TEST(Base64UrlDecodeTest, PythonVectorsAndRefusals) {
  std::string every_byte(256, '\0');
  for (size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = static_cast<char>(i);
  const std::string too_much = "refused: too much padding";
  using Row = std::pair<std::string_view, std::string>;  // the text, what it decodes to
  for (const Row& row :
       {// urlsafe_b64encode(bytes(range(256))) without its "==".
        Row{"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-"
            "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9"
            "fn-AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq-wsbKztLW2t7i5uru8"
            "vb6_wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t_g4eLj5OXm5-jp6uvs7e7v8PHy8_T19vf4-fr7"
            "_P3-_w",
            every_byte},
        // Padding is optional but bounded.
        Row{"", ""}, Row{"YQ=", "a"}, Row{"YQ==", "a"}, Row{"YWI=", "ab"}, Row{"YQ===", too_much},
        Row{"YWI==", too_much}, Row{"==", too_much},
        Row{"YWJjZ==", "refused: a single character left over in the last group"},
        Row{"YQ=Q", "refused: padding before the end at offset 2"},
        // The standard alphabet's "+" and "/" are not Base64url ("/" below, in a token).
        Row{"ab+d", "refused: invalid character 0x2B at offset 2"},
        Row{std::string_view("Y\0QQ", 4), "refused: invalid character 0x00 at offset 1"},
        Row{"YQ\xC3\xA9", "refused: invalid character 0xC3 at offset 2"}}) {
    EXPECT_EQ(Decoded(row.first), row.second) << row.first;
  }
}

TEST(TokenReaderTest, ReadsClaimsHeaderAndSignature) {
  TokenReader reader(kHeader + "." + kPayload + "." + kSignature);
  // Parsed fields come in key order, the texts as they were.
  EXPECT_EQ(Summary(reader),
            "{\"alg\":\"RS256\",\"kid\":\"s1\"} {\"amr\":[\"pw?>\"],\"exp\":1700000000,\"n\":"
            "\"\xC3\xA9~\xC3\xBF\",\"sub\":\"5f0c2d7e-0\"} sig 3");
  EXPECT_EQ(reader.HeaderText(), "{\"alg\":\"RS256\",\"kid\":\"s1\"}");
  EXPECT_EQ(
      reader.PayloadText(),
      "{\"sub\":\"5f0c2d7e-0\",\"exp\":1700000000,\"amr\":[\"pw?>\"],\"n\":\"\xC3\xA9~\xC3\xBF\"}");

  TokenReader padded("eyJzdWIiOiJhIn0=.eyJhIjoxfQ==." + kSignature + "==");
  EXPECT_EQ(Summary(padded), "{\"sub\":\"a\"} {\"a\":1} sig 3");
}

TEST(TokenReaderTest, MissingEmptyAndBadSegments) {
  const std::string h = "e30", p = "eyJhIjoxfQ", s = kSignature;  // {}, {"a":1}
  const std::string none(kNoSignatureMarker), error = "{\"error\":true}";
  const std::string not_object = "Token payload is not a JSON object: ";
  std::string deep = "{\"a\":";
  deep.append(5000, '[');
  std::string deep_url;
  for (char c : Base64Encode(reinterpret_cast<const uint8_t*>(deep.data()), deep.size())) {
    if (c != '=') deep_url += c == '+' ? '-' : c == '/' ? '_' : c;
  }
  for (const auto& [token, summary] : std::vector<std::pair<std::string, std::string>>{
           {"", error + " " + error + " " + none + " 1"},
           {h, "{} " + error + " " + none + " 1"},  // no dot: the whole text is the header
           {h + "." + p + ".", "{} {\"a\":1} " + none + " 3"},
           {"." + p + "." + s, error + " {\"a\":1} sig 3"},
           {h + ".." + s, "{} " + error + " sig 3"},
           {h + "." + p + "." + s + "..x", "{} {\"a\":1} sig 5"},  // extra segments
           {h + "." + kPayloadStandard,
            "Token payload is not valid Base64url: invalid character 0x2F at offset 63"},
           {"e30 ." + p, "Token header is not valid Base64url: invalid character 0x20 at offset 3"},
           // {"sub":  (cut short); then a payload too deep to recurse into
           {h + ".eyJzdWIiOg",
            "Token payload is not valid JSON: " + std::string(ParseJson("{\"sub\":").error())},
           {h + "." + deep_url,
            "Token payload is not valid JSON: " + std::string(ParseJson(deep).error())},
           // [1,2], "sub", 42, null, true
           {h + ".WzEsMl0", not_object + "an array"},
           {h + ".InN1YiI", not_object + "a string"},
           {h + ".NDI", not_object + "a number"},
           {h + ".bnVsbA", not_object + "null or no value"},
           {"dHJ1ZQ." + p, "Token header is not a JSON object: a boolean"},
       }) {
    SCOPED_TRACE(token.substr(0, 80));
    TokenReader reader(token);
    EXPECT_EQ(Summary(reader), summary);
    if (reader.ok()) continue;
    // The caller reading claims gets the failure, never an empty object.
    EXPECT_EQ(reader.Payload().error(), summary);
    EXPECT_EQ(reader.Payload().value().size(), 1u);
    EXPECT_EQ(reader.Header().error(), summary);
    EXPECT_EQ(reader.Signature(), "");
  }
  // The decoded text is kept for diagnosis even though it does not parse.
  EXPECT_EQ(TokenReader(h + ".eyJzdWIiOg").PayloadText(), "{\"sub\":");
}

TEST(TokenReaderTest, DecodesOnceOnFirstUse) {
  TokenReader reader(kHeader + "." + kPayload + ".!");
  EXPECT_FALSE(reader.parsed());  // construction does no work, even on a bad token
  EXPECT_EQ(reader.token(), kHeader + "." + kPayload + ".!");
  EXPECT_EQ(reader.SegmentCount(), 3u);
  EXPECT_TRUE(reader.parsed());
  const std::string* error = &reader.error();
  EXPECT_FALSE(reader.Payload().ok());
  EXPECT_EQ(&reader.error(), error);
  // Not appended to by a second run.
  EXPECT_EQ(*error, "Token signature is not valid Base64url: invalid character 0x21 at offset 0");

  TokenReader good("e30..YWI.");  // short enough for the small-string buffer
  BindingResult copy = good.Header();
  copy.value()["extra"] = 1;
  EXPECT_EQ(WriteJson(good.Header().value()), "{}");
  // Every dot splits, empty segments stay, not split again; the reader moves with them.
  ASSERT_EQ(good.SegmentCount(), 4u);
  TokenReader moved(std::move(good));
  std::string segments;
  for (size_t i = 0; i <= moved.SegmentCount(); ++i) {
    segments += std::string(moved.Segment(i)) + "|";
  }
  EXPECT_EQ(segments, "e30||YWI|||");
  EXPECT_EQ(Summary(moved), "{} {\"error\":true} ab 4");
}

}  // namespace
}  // namespace Voro
