#include "support/test_pki.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace Voro::testing {
namespace {

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

// The repository root, from where this file sits in it (tests/support/).
std::filesystem::path SourceRoot() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

constexpr char kLeafExtensions[] =
    "basicConstraints=critical,CA:FALSE\n"
    "keyUsage=critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage=serverAuth\n";

// `openssl ca` is the one signing command of both OpenSSL 1.1 and 3 that takes start and
// end dates in the past; it wants a small database of its own.
constexpr char kExpiredCaConfig[] =
    "[ ca ]\n"
    "default_ca = test_ca\n"
    "[ test_ca ]\n"
    "database = expired_db/index.txt\n"
    "new_certs_dir = expired_db\n"
    "serial = expired_db/serial\n"
    "default_md = sha256\n"
    "policy = policy_any\n"
    "unique_subject = no\n"
    "x509_extensions = leaf\n"
    "[ policy_any ]\n"
    "commonName = supplied\n"
    "[ leaf ]\n"
    "basicConstraints = critical,CA:FALSE\n"
    "keyUsage = critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:localhost,IP:127.0.0.1\n";

class PkiHolder {
 public:
  PkiHolder() { ok_ = Make(); }
  ~PkiHolder() {
    if (!pki_.dir.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(pki_.dir, ignored);
    }
  }

  const TestPki* Get(std::string* why) const {
    if (why != nullptr) {
      *why = error_;
    }
    return ok_ ? &pki_ : nullptr;
  }

 private:
  bool Run(const std::string& command) {
    std::string output;
    const int status = RunShellCommand("cd " + Quote(pki_.dir) + " && " + command, &output);
    if (status != 0) {
      error_ = "`" + command + "` failed (" + std::to_string(status) + "): " + output;
      return false;
    }
    return true;
  }

  bool Make() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kiv-test-pki-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      error_ = "cannot make a temporary directory from " + pattern;
      return false;
    }
    pki_.dir = pattern;
    const std::string script =
        std::filesystem::absolute(SourceRoot() / "sim" / "make_local_ca.sh").string();
    if (!Run("/bin/sh " + Quote(script) + " .")) {
      return false;
    }
    pki_.ca_cert = pki_.dir + "/ca.pem";
    pki_.server_key = pki_.dir + "/server.key";
    pki_.localhost_cert = pki_.dir + "/server.pem";
    pki_.other_host_cert = pki_.dir + "/other_host.pem";
    pki_.untrusted_cert = pki_.dir + "/untrusted.pem";
    pki_.expired_cert = pki_.dir + "/expired.pem";

    const std::string leaf_ext = pki_.dir + "/leaf.ext";
    if (!WriteTextFile(leaf_ext, std::string(kLeafExtensions) +
                                     "subjectAltName=DNS:localhost,IP:127.0.0.1\n") ||
        !WriteTextFile(pki_.dir + "/other_host.ext",
                       std::string(kLeafExtensions) + "subjectAltName=DNS:other-host.test\n") ||
        !WriteTextFile(pki_.dir + "/expired_ca.cnf", kExpiredCaConfig)) {
      error_ = "cannot write the extension files in " + pki_.dir;
      return false;
    }
    return Run("openssl req -new -key server.key -subj /CN=localhost -out localhost.csr") &&
           Run("openssl req -new -key server.key -subj /CN=other-host.test -out other_host.csr") &&
           Run("openssl x509 -req -in other_host.csr -CA ca.pem -CAkey ca.key -set_serial 2 "
               "-days 30 -sha256 -extfile other_host.ext -out other_host.pem") &&
           Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
               "-keyout untrusted_ca.key -out untrusted_ca.pem -days 30 -sha256 "
               "-subj '/CN=Untrusted Test CA' -addext basicConstraints=critical,CA:TRUE "
               "-addext keyUsage=critical,keyCertSign,cRLSign") &&
           Run("openssl x509 -req -in localhost.csr -CA untrusted_ca.pem -CAkey untrusted_ca.key "
               "-set_serial 3 -days 30 -sha256 -extfile leaf.ext -out untrusted.pem") &&
           Run("mkdir -p expired_db && : > expired_db/index.txt && echo 04 > expired_db/serial") &&
           Run("openssl ca -batch -config expired_ca.cnf -cert ca.pem -keyfile ca.key "
               "-in localhost.csr -out expired.pem -notext "
               "-startdate 20200101000000Z -enddate 20200131000000Z");
  }

  TestPki pki_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace

const TestPki* SharedTestPki(std::string* why) {
  static const PkiHolder holder;
  return holder.Get(why);
}

int RunShellCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    output->append(buffer, n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace Voro::testing
