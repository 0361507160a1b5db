// kivtool amf as people use it: decode shows AMF bytes as JSON, encode turns that JSON
// back into the same bytes, and both name what they cannot take.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "lcds/amf/amf_test_support.h"
#include "support/run_kivhost.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunProgram;
using kivhost::testing::TempFile;
using Voro::amf_testing::FromHex;
using Voro::amf_testing::ToHex;

CommandRun Kivtool(const std::string& args) { return RunProgram(KIV_KIVTOOL_PATH, args); }

std::string Bytes(const std::string& hex) {
  const std::vector<uint8_t> bytes = FromHex(hex);
  return std::string(bytes.begin(), bytes.end());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(KivtoolAmfTest, DecodeShowsTheValuesAndEncodeGivesTheBytesBack) {
  struct Case {
    const char* mode;
    std::string hex;
    std::string json;  // what decode prints
  };
  const std::string collection =
      "66 6C 65 78 2E 6D 65 73 73 61 67 69 6E 67 2E 69 6F 2E 41 72 72 61 79 43 6F 6C 6C 65 63 "
      "74 69 6F 6E";
  const std::string proxy =
      "66 6C 65 78 2E 6D 65 73 73 61 67 69 6E 67 2E 69 6F 2E 4F 62 6A 65 63 74 50 72 6F 78 79";
  const Case cases[] = {
      // AMF3 values inside AMF0 arrays.
      {"--amf0", "0A 00 00 00 01 11 04 05", "[{\"__amf3\":5}]\n"},
      {"--amf0", "08 00 00 00 01 00 01 61 11 04 05 00 00 09",
       "{\"__kind\":\"EcmaArray\",\"entries\":{\"a\":{\"__amf3\":5}}}\n"},
      {"--amf0",
       "10 00 01 54 | 00 01 64 0B 42 78 BC FE 56 80 00 00 00 00 | 00 01 6C 0C 00 00 00 01 78 | "
       "00 00 09 | 0A 00 00 00 01 07 00 00",
       "{\"__class\":\"T\",\"d\":{\"__kind\":\"Date\",\"value\":1700000000000},"
       "\"l\":{\"__kind\":\"LongString\",\"value\":\"x\"}}\n[{\"__ref\":0}]\n"},
      // The externalizable collections, shown with their body.
      {"--amf3", "0A 07 43 " + collection + " 09 03 01 04 01",
       "{\"__class\":\"flex.messaging.io.ArrayCollection\",\"__externalizable\":true,"
       "\"source\":[1]}\n"},
      {"--amf3", "0A 07 3B " + proxy + " 0A 0B 01 03 61 04 01 01",
       "{\"__class\":\"flex.messaging.io.ObjectProxy\",\"__externalizable\":true,"
       "\"object\":{\"__class\":\"\",\"__dynamic\":{\"a\":1}}}\n"},
      // A dynamic class, its traits and a string referred to by the second object.
      {"--amf3", "0A 1B 03 52 03 73 06 05 61 62 03 7A 0B 05 3C 3E 01 | 0A 01 06 04 01",
       "{\"__class\":\"R\",\"s\":\"ab\",\"__dynamic\":{\"z\":{\"__kind\":\"Xml\",\"value\":\"<>\"}}"
       "}\n"
       "{\"__class\":\"R\",\"s\":\"ab\",\"__dynamic\":{}}\n"},
      {"--amf3", "0A 13 01 09 73 65 6C 66 0A 00", "{\"__class\":\"\",\"self\":{\"__ref\":0}}\n"},
      {"--amf3",
       "0F 05 00 7F F8 00 00 00 00 00 00 3F F0 00 00 00 00 00 00 | 0C 05 01 02 | "
       "11 03 00 06 03 6B 04 01 | 09 03 00 02 01 05 3F F8 00 00 00 00 00 00",
       "{\"__kind\":\"VectorDouble\",\"fixed\":false,\"items\":[{\"__kind\":\"Double\","
       "\"value\":\"NaN\"},1.0]}\n{\"__kind\":\"ByteArray\",\"hex\":\"0102\"}\n"
       "{\"__kind\":\"Dictionary\",\"weakKeys\":false,\"entries\":[[\"k\",1]]}\n"
       "{\"__kind\":\"Array\",\"dense\":[1.5],\"associative\":{\"k\":false}}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    TempFile input(Bytes(c.hex)), printed(""), encoded("");
    const CommandRun decoded = Kivtool(std::string("amf decode ") + c.mode + " " + input.path());
    EXPECT_EQ(decoded.exit_code, 0);
    EXPECT_EQ(decoded.output, c.json);
    std::ofstream(printed.path(), std::ios::binary) << decoded.output;
    const CommandRun encode = Kivtool(std::string("amf encode ") + c.mode + " " + printed.path() +
                                      " > " + encoded.path());
    EXPECT_EQ(encode.exit_code, 0) << encode.output;
    const std::string bytes = ReadFile(encoded.path());
    EXPECT_EQ(ToHex(std::vector<uint8_t>(bytes.begin(), bytes.end())), ToHex(FromHex(c.hex)));
  }
}

TEST(KivtoolAmfTest, WhatCannotBeTakenIsNamed) {
  struct Case {
    std::string args;
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      // Nothing of the array is shown: its second element was never read.
      {"decode --amf3", Bytes("09 05 01 04 01 0A 07 15 6B 69 76 2E 4F 70 61 71 75 65 04 02"),
       "kivtool amf: Cannot read an object of the externalizable AMF3 class 'kiv.Opaque': its "
       "body format is unknown.\n"},
      {"decode --amf3", Bytes("09 FF FF FF FF"),
       "kivtool amf: the input is malformed or cut short\n"},
      {"encode --amf3", R"({"__kind":"Bogus"})",
       "kivtool amf: value 1: unknown AMF3 \"__kind\" \"Bogus\"\n"},
      {"encode --amf0", R"([1] {"__ref": 5})",
       "kivtool amf: value 2: \"__ref\" is not the number of a container above\n"},
      {"encode --amf3", R"([{"__amf3": 1}])",
       "kivtool amf: value 1: \"__amf3\" inside an AMF3 value\n"},
      {"encode --amf3", R"({"__kind":"Date","value":1.5})",
       "kivtool amf: value 1: a Date's \"value\" is not a whole number of milliseconds\n"},
      {"encode --amf3", R"({"__kind":"ByteArray","hex":"0g"})",
       "kivtool amf: value 1: \"hex\" holds a character that is not a hex digit\n"},
      {"encode --amf3", "[1,", "kivtool amf: value 1: Invalid value. (at byte 3)\n"},
      {"encode --amf3", " \n", "kivtool amf: no JSON value in the input\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args + " " + c.input);
    TempFile input(c.input);
    // What it says on standard error alone.
    const CommandRun run = RunProgram(std::string("(") + KIV_KIVTOOL_PATH,
                                      "amf " + c.args + " " + input.path() + " >/dev/null)");
    EXPECT_EQ(run.exit_code, 1);
    // The reader's refusal is logged too (with the process id), then said once more.
    const size_t said = run.output.rfind("kivtool amf: ");
    ASSERT_NE(said, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(said), c.message);
  }
}

}  // namespace
