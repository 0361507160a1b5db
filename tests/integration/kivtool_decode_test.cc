// kivtool decode as a person runs it: bodies in, JSON or the plugin's message out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/run_kivhost.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunProgram;

class KivtoolDecodeTest : public ::testing::Test {
 protected:
  ~KivtoolDecodeTest() override {
    if (!path_.empty()) unlink(path_.c_str());
  }
  // Writes `bytes` to a temporary file and decodes it.
  CommandRun Decode(const std::string& options, const std::string& bytes) {
    char name[] = "/tmp/kivtool-decode-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    path_ = name;
    return RunProgram(KIV_KIVTOOL_PATH, "decode " + options + " " + path_);
  }

  std::string path_;
};

TEST_F(KivtoolDecodeTest, PrintsEachBodyTypeAsJson) {
  // {"b": 1, "a": [true, nil, bin "hi"]}
  const std::string msgpack(
      "\x82\xa1"
      "b\x01\xa1"
      "a\x93\xc3\xc0\xc4\x02hi",
      13);
  CommandRun run = Decode("--type msgpack", msgpack);
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output,
            "{\n    \"a\": [\n        true,\n        null,\n        \"aGk=\"\n    ],\n"
            "    \"b\": 1\n}\n");

  run = Decode("--type=json --compact", R"({"z": 1.5, "a": -2, "a": "last"} )");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, "{\"a\":\"last\",\"z\":1.5}\n");

  run = Decode("--compact --type yaml", "list: [1, -1, yes, '1', ~]\nname: alice\n");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, "{\"list\":[1,-1,true,\"1\",null],\"name\":\"alice\"}\n");

  run = RunProgram("printf '[1, 2]' | " KIV_KIVTOOL_PATH, "decode --type json --compact -");
  EXPECT_EQ(run.output, "[1,2]\n");
}

TEST_F(KivtoolDecodeTest, RefusedBodiesPrintThePluginsMessage) {
  struct Case {
    const char* type;
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"msgpack",
       std::string("\xa5"
                   "ab",
                   3),
       "Invalid MessagePack data. String of size 5 at position 1 is truncated.\n"},
      {"msgpack", std::string("\x01\x02", 2), "Extra MessgePack data found in body\n"},
      {"json", "[1] [2]",
       "Error: The document root must not follow by other values. at offset 4.\n"},
      {"yaml", "a: 1\n---\nb: 2\n", "Multi-document YAML is not supported.\n"},
  };
  for (const Case& c : cases) {
    CommandRun run = Decode(std::string("--type ") + c.type, c.bytes);
    EXPECT_EQ(run.exit_code, 1) << c.type;
    EXPECT_EQ(run.output, c.message);
  }
}

TEST_F(KivtoolDecodeTest, BadCommandLines) {
  for (const char* args : {"decode", "decode --type xml", "decode --type", "decode --bogus",
                           "decode --type json a b", "nonsense"}) {
    EXPECT_EQ(RunProgram(KIV_KIVTOOL_PATH, args).exit_code, 2) << args;
  }
  CommandRun missing = RunProgram(KIV_KIVTOOL_PATH, "decode --type json /nonexistent/body.json");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.output,
            "kivtool decode: cannot open /nonexistent/body.json: No such file or directory\n");
  CommandRun help = RunProgram(KIV_KIVTOOL_PATH, "--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("decode     print a MessagePack, JSON or YAML body as JSON"),
            std::string::npos)
      << help.output;
}

}  // namespace
