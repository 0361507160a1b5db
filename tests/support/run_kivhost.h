// Runs our commands (kivhost, kivtool, kivsim) as a person would and collects what they print.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_pki.h"

namespace kivhost::testing {

struct CommandRun {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
  bool Has(const std::string& text) const { return output.find(text) != std::string::npos; }
  void ExpectHas(const std::vector<std::string>& texts) const {
    for (const std::string& text : texts) EXPECT_TRUE(Has(text)) << text << "\n---\n" << output;
  }
};

// `args` go through the shell as written.
inline CommandRun RunProgram(const std::string& program, const std::string& args) {
  CommandRun run;
  run.exit_code = Voro::testing::RunShellCommand(program + " " + args, &run.output);
  return run;
}

inline CommandRun RunKivhost(const std::string& args) { return RunProgram(KIV_KIVHOST_PATH, args); }

// A file holding `bytes`, removed when it goes.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/kiv-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kivhost::testing
