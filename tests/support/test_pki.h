// A throw-away public-key infrastructure for TLS tests, made on disk with the openssl
// command: one trusted authority and server certificates that should and should not pass.
#pragma once

#include <string>

namespace Voro::testing {

// Paths of PEM files. Every server certificate uses the one key `server_key`.
struct TestPki {
  std::string dir;
  std::string ca_cert;  // the authority a test trusts (CA:TRUE, self-signed)
  std::string server_key;
  std::string localhost_cert;   // DNS:localhost and IP:127.0.0.1, issued by ca_cert
  std::string other_host_cert;  // DNS:other-host.test only, issued by ca_cert
  std::string untrusted_cert;   // localhost, issued by a second authority nobody trusts
  std::string expired_cert;     // localhost, issued by ca_cert, valid only in January 2020
};

// This process's PKI, made on first use in a fresh temporary directory that is removed at
// exit. The authority and the localhost certificate come from sim/make_local_ca.sh. Null
// when something could not be made; then *why (if given) says what. Any thread.
const TestPki* SharedTestPki(std::string* why = nullptr);

// Runs `command` through /bin/sh; returns its exit status (-1 when it did not exit) and
// puts its standard output and error into *output.
int RunShellCommand(const std::string& command, std::string* output);

// Reads a whole (small) file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

}  // namespace Voro::testing
