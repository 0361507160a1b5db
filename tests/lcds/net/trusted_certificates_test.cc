#include "lcds/net/trusted_certificates.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_pki.h"

namespace Voro {
namespace {

std::string CommonName(X509* certificate) {
  char text[256];
  const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName,
                                               text, sizeof(text));
  return length < 0 ? std::string() : std::string(text, static_cast<size_t>(length));
}

std::vector<uint8_t> Der(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  std::vector<uint8_t> bytes(der, der + std::max(length, 0));
  OPENSSL_free(der);
  return bytes;
}

// Objects in the store, each distinct certificate once.
int StoreSize(X509_STORE* store) { return sk_X509_OBJECT_num(X509_STORE_get0_objects(store)); }

TEST(TrustedCertificatesTest, BuiltInListIsTheCertificateFilesInOrder) {
  std::vector<std::filesystem::path> files;
  const auto dir = std::filesystem::path(KIV_SOURCE_DIR) / "src/lcds/net/certs";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".pem") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  const TrustedCertificates list = TrustedCertificates::BuiltIn();
  ASSERT_EQ(list.size(), 18u);
  ASSERT_EQ(files.size(), list.size());
  std::vector<uint8_t> all;
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    const TrustedCertificates from_file = TrustedCertificates::FromPemFile(files[i].string());
    ASSERT_EQ(from_file.size(), 1u);
    ASSERT_NE(list.at(i), nullptr);
    EXPECT_EQ(X509_cmp(list.at(i), from_file.at(0)), 0);
    const std::vector<uint8_t> der = Der(list.at(i));
    all.insert(all.end(), der.begin(), der.end());
  }
  // The seventeenth is the first once more.
  EXPECT_EQ(X509_cmp(list.at(16), list.at(0)), 0);
  // The files themselves are the published ones: SHA-256 over the list's DER, in order.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ASSERT_EQ(EVP_Digest(all.data(), all.size(), digest, &length, EVP_sha256(), nullptr), 1);
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  EXPECT_STREQ(hex, "0607A9D2DC201C48");

  X509_STORE* store = X509_STORE_new();
  // The duplicate counts as added, whether OpenSSL takes it quietly or refuses it as already
  // held; adding the whole list again changes nothing.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(list.AddTo(store), 18u);
    EXPECT_EQ(StoreSize(store), 17);
  }
  X509_STORE_free(store);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(TrustedCertificatesTest, BlobThatDoesNotParseLeavesAnEmptyEntry) {
  const TrustedCertificates built_in = TrustedCertificates::BuiltIn();
  const std::vector<uint8_t> der = Der(built_in.at(0));
  TrustedCertificates list;
  list.AppendDer(std::vector<uint8_t>{0x30, 0x82, 0xff, 0xff, 0x01, 0x02});
  list.AppendDer({});
  list.AppendDer({der.data(), der.size() - 1});  // cut short
  list.AppendDer(der);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.at(0), nullptr);
  EXPECT_EQ(list.at(1), nullptr);
  EXPECT_EQ(list.at(2), nullptr);
  ASSERT_NE(list.at(3), nullptr);
  EXPECT_EQ(X509_cmp(list.at(3), built_in.at(0)), 0);
  // The failures leave nothing in the error queue, and empty entries are skipped.
  EXPECT_EQ(ERR_peek_error(), 0u);
  X509_STORE* store = X509_STORE_new();
  EXPECT_EQ(list.AddTo(store), 1u);
  X509_STORE_free(store);
}

TEST(TrustedCertificatesTest, FromPemTakesEveryCertificateBlock) {
  std::string why;
  const testing::TestPki* pki = testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  const std::string ca = testing::ReadTextFile(pki->ca_cert);
  const std::string leaf = testing::ReadTextFile(pki->localhost_cert);
  const std::string key = testing::ReadTextFile(pki->server_key);
  ASSERT_FALSE(ca.empty());
  // Text around the blocks and blocks of other kinds are skipped.
  const TrustedCertificates both =
      TrustedCertificates::FromPem("Our authority:\n" + ca + "\n" + key + "a server:\n" + leaf);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(CommonName(both.at(0)), "Local Test CA");
  EXPECT_EQ(CommonName(both.at(1)), "localhost");
  EXPECT_TRUE(TrustedCertificates::FromPem("").empty());
  EXPECT_TRUE(TrustedCertificates::FromPem("no certificate here").empty());
  // A block whose body is damaged ends the list there.
  std::string damaged = ca;
  damaged[damaged.size() / 2] = '*';
  EXPECT_TRUE(TrustedCertificates::FromPem(damaged).empty());
  EXPECT_TRUE(TrustedCertificates::FromPemFile(pki->dir + "/no-such-file.pem").empty());
  EXPECT_EQ(ERR_peek_error(), 0u);

  // Moving hands the entries over; appending shares them, so they outlive their list.
  TrustedCertificates list = TrustedCertificates::BuiltIn();
  X509* first = list.at(0);
  TrustedCertificates moved(std::move(list));
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  TrustedCertificates assigned = TrustedCertificates::FromPem(ca);
  assigned = std::move(moved);
  ASSERT_EQ(assigned.size(), 18u);
  EXPECT_EQ(assigned.at(0), first);
  assigned.Append(TrustedCertificates::FromPemFile(pki->ca_cert));
  assigned.Append(TrustedCertificates());
  ASSERT_EQ(assigned.size(), 19u);
  EXPECT_EQ(CommonName(assigned.at(18)), "Local Test CA");
}

}  // namespace
}  // namespace Voro
