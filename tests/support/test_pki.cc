#include "support/test_pki.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace Voro::testing {
namespace {

// Made in the PKI's directory after sim/make_local_ca.sh: the other certificates.
// `openssl ca` is the one signing command of both OpenSSL 1.1 and 3 that takes start and
// end dates in the past; it wants a small database of its own.
constexpr char kScript[] = R"(
leaf='basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth'
printf '%s\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' "$leaf" > leaf.ext
printf '%s\nsubjectAltName=DNS:other-host.test\n' "$leaf" > other_host.ext
cat > expired_ca.cnf <<END
[ ca ]
default_ca = test_ca
[ test_ca ]
database = expired_db/index.txt
new_certs_dir = expired_db
serial = expired_db/serial
default_md = sha256
policy = policy_any
unique_subject = no
x509_extensions = leaf
[ policy_any ]
commonName = supplied
[ leaf ]
$leaf
subjectAltName = DNS:localhost,IP:127.0.0.1
END
openssl req -new -key server.key -subj /CN=localhost -out localhost.csr
openssl req -new -key server.key -subj /CN=other-host.test -out other_host.csr
openssl x509 -req -in other_host.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 -sha256 \
  -extfile other_host.ext -out other_host.pem
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout untrusted_ca.key -out untrusted_ca.pem -days 30 -sha256 -subj '/CN=Untrusted Test CA' \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl x509 -req -in localhost.csr -CA untrusted_ca.pem -CAkey untrusted_ca.key -set_serial 3 \
  -days 30 -sha256 -extfile leaf.ext -out untrusted.pem
mkdir -p expired_db && : > expired_db/index.txt && echo 04 > expired_db/serial
openssl ca -batch -config expired_ca.cnf -cert ca.pem -keyfile ca.key -in localhost.csr \
  -out expired.pem -notext -startdate 20200101000000Z -enddate 20200131000000Z
)";

class PkiHolder {
 public:
  PkiHolder() {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kiv-test-pki-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
      error_ = "cannot make a temporary directory from " + dir;
      return;
    }
    pki_ = {dir,
            dir + "/ca.pem",
            dir + "/server.key",
            dir + "/server.pem",
            dir + "/other_host.pem",
            dir + "/untrusted.pem",
            dir + "/expired.pem"};
    // The repository root, from where this file sits in it (tests/support/).
    const auto script =
        std::filesystem::absolute(__FILE__).parent_path() / "../../sim/make_local_ca.sh";
    std::ofstream(dir + "/more.sh") << "set -e\n" << kScript;
    std::string output;
    const int status = RunShellCommand(
        "cd '" + dir + "' && /bin/sh '" + script.string() + "' . && /bin/sh more.sh", &output);
    ok_ = status == 0;
    if (!ok_) error_ = "making the PKI failed (" + std::to_string(status) + "): " + output;
  }
  ~PkiHolder() {
    std::error_code ignored;
    if (!pki_.dir.empty()) std::filesystem::remove_all(pki_.dir, ignored);
  }

  const TestPki* Get(std::string* why) const {
    if (why != nullptr) *why = error_;
    return ok_ ? &pki_ : nullptr;
  }

 private:
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
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output->append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadTextFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace Voro::testing
