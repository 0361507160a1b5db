#include "lcds/net/trusted_certificates.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_pki.h"

namespace Voro {
namespace {

struct ExpectedCertificate {
  const char* file;
  const char* common_name;  // null: the subject has none
  const char* fingerprint;  // first 16 hex digits of the SHA-256 fingerprint
};

// The trust list as published with the certificates, in order.
constexpr ExpectedCertificate kExpected[] = {
    {"01-addtrust-external-ca-root.pem", "AddTrust External CA Root", "687FA451382278FF"},
    {"02-comodo-ssl-ca.pem", "COMODO SSL CA", "179B3B8DC791EBFC"},
    {"03-gte-cybertrust-global-root.pem", "GTE CyberTrust Global Root", "A53125188D2110AA"},
    {"04-digicert-high-assurance-ev-root-ca.pem", "DigiCert High Assurance EV Root CA",
     "7431E5F4C3C1CE46"},
    {"05-digicert-sha2-high-assurance-server-ca.pem", "DigiCert SHA2 High Assurance Server CA",
     "19400BE5B7A31FB7"},
    {"06-digicert-high-assurance-ca-3.pem", "DigiCert High Assurance CA-3", "21EB37AB4CF6EF89"},
    {"07-digicert-global-root-ca.pem", "DigiCert Global Root CA", "4348A0E9444C78CB"},
    {"08-geotrust-primary-ca-g3.pem", "GeoTrust Primary Certification Authority - G3",
     "B478B812250DF878"},
    {"09-rapidssl-sha256-ca-g2.pem", "RapidSSL SHA256 CA - G2", "92EF2F5B55357060"},
    {"10-geotrust-global-ca.pem", "GeoTrust Global CA", "FF856A2D251DCD88"},
    {"11-rapidssl-sha256-ca-g3.pem", "RapidSSL SHA256 CA - G3", "BC3F03A436240EDB"},
    {"12-verisign-class3-pca-g5.pem",
     "VeriSign Class 3 Public Primary Certification Authority - G5", "9ACFAB7E43C8D880"},
    {"13-symantec-class3-secure-server-ca-g4.pem", "Symantec Class 3 Secure Server CA - G4",
     "EAE72EB454BF6C39"},
    {"14-verisign-class3-pca.pem", nullptr, "A4B6B3996FC2F306"},
    {"15-comodo-rsa-domain-validation-secure-server-ca.pem",
     "COMODO RSA Domain Validation Secure Server CA", "02AB57E4E67A0CB4"},
    {"16-comodo-rsa-certification-authority-addtrust-cross.pem",
     "COMODO RSA Certification Authority", "4F32D5DC00F71525"},
    {"17-addtrust-external-ca-root.pem", "AddTrust External CA Root", "687FA451382278FF"},
    {"18-globalsign-root-ca.pem", "GlobalSign Root CA", "EBD41040E4BB3EC7"},
};

std::string SubjectEntry(X509* certificate, int nid) {
  char text[256];
  const int length =
      X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), nid, text, sizeof(text));
  return length < 0 ? std::string() : std::string(text, static_cast<size_t>(length));
}

bool HasSubjectEntry(X509* certificate, int nid) {
  return X509_NAME_get_index_by_NID(X509_get_subject_name(certificate), nid, -1) >= 0;
}

std::string FingerprintPrefix(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
    return "";
  }
  std::string hex;
  for (unsigned int i = 0; i < 8 && i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string SourceCertificate(const char* file) {
  return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() /
          "src" / "lcds" / "net" / "certs" / file)
      .string();
}

TEST(TrustedCertificatesTest, BuiltInListHoldsTheEighteenInOrder) {
  const TrustedCertificates list = TrustedCertificates::BuiltIn();
  ASSERT_EQ(list.size(), std::size(kExpected));
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(kExpected[i].file);
    X509* certificate = list.at(i);
    ASSERT_NE(certificate, nullptr);
    if (kExpected[i].common_name == nullptr) {
      EXPECT_FALSE(HasSubjectEntry(certificate, NID_commonName));
      EXPECT_EQ(SubjectEntry(certificate, NID_organizationalUnitName),
                "Class 3 Public Primary Certification Authority");
    } else {
      EXPECT_EQ(SubjectEntry(certificate, NID_commonName), kExpected[i].common_name);
    }
    EXPECT_EQ(FingerprintPrefix(certificate), kExpected[i].fingerprint);
  }
  // The seventeenth is the first once more.
  EXPECT_EQ(X509_cmp(list.at(16), list.at(0)), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(TrustedCertificatesTest, BuiltInBlobsAreTheCertificateFiles) {
  const TrustedCertificates list = TrustedCertificates::BuiltIn();
  ASSERT_EQ(list.size(), std::size(kExpected));
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(kExpected[i].file);
    const TrustedCertificates from_file =
        TrustedCertificates::FromPemFile(SourceCertificate(kExpected[i].file));
    ASSERT_EQ(from_file.size(), 1u);
    EXPECT_EQ(X509_cmp(list.at(i), from_file.at(0)), 0);
  }
}

TEST(TrustedCertificatesTest, EveryBuiltInCertificateGoesIntoAStore) {
  const TrustedCertificates list = TrustedCertificates::BuiltIn();
  X509_STORE* store = X509_STORE_new();
  ASSERT_NE(store, nullptr);
  // The duplicate counts as added, whether OpenSSL accepts it quietly or refuses it as
  // already in its hash table.
  EXPECT_EQ(list.AddTo(store), 18u);
  EXPECT_EQ(ERR_peek_error(), 0u);
  // The store holds each distinct certificate once.
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store)), 17);
  // Adding the whole list again changes nothing and still counts every entry.
  EXPECT_EQ(list.AddTo(store), 18u);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store)), 17);
  X509_STORE_free(store);
}

TEST(TrustedCertificatesTest, BlobThatDoesNotParseLeavesAnEmptyEntry) {
  TrustedCertificates list;
  const std::vector<uint8_t> garbage = {0x30, 0x82, 0xff, 0xff, 0x01, 0x02};
  list.AppendDer(garbage);
  list.AppendDer({});
  // A real certificate cut short.
  const TrustedCertificates built_in = TrustedCertificates::BuiltIn();
  unsigned char* der = nullptr;
  const int length = i2d_X509(built_in.at(0), &der);
  ASSERT_GT(length, 100);
  list.AppendDer({der, static_cast<size_t>(length) - 1});
  list.AppendDer({der, static_cast<size_t>(length)});
  OPENSSL_free(der);

  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.at(0), nullptr);
  EXPECT_EQ(list.at(1), nullptr);
  EXPECT_EQ(list.at(2), nullptr);
  ASSERT_NE(list.at(3), nullptr);
  EXPECT_EQ(X509_cmp(list.at(3), built_in.at(0)), 0);
  // The failures leave nothing behind in the error queue, and empty entries are skipped.
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

  EXPECT_EQ(TrustedCertificates::FromPem(ca).size(), 1u);
  // Text around the blocks and blocks of other kinds are skipped.
  const TrustedCertificates both =
      TrustedCertificates::FromPem("Our authority:\n" + ca + "\n" + key + "a server:\n" + leaf);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(SubjectEntry(both.at(0), NID_commonName), "Local Test CA");
  EXPECT_EQ(SubjectEntry(both.at(1), NID_commonName), "localhost");

  EXPECT_TRUE(TrustedCertificates::FromPem("").empty());
  EXPECT_TRUE(TrustedCertificates::FromPem("no certificate here").empty());
  // A block whose body is damaged ends the list there.
  std::string damaged = ca;
  damaged[damaged.size() / 2] = '*';
  EXPECT_TRUE(TrustedCertificates::FromPem(damaged).empty());
  EXPECT_TRUE(TrustedCertificates::FromPemFile(pki->dir + "/no-such-file.pem").empty());
  EXPECT_EQ(TrustedCertificates::FromPemFile(pki->ca_cert).size(), 1u);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(TrustedCertificatesTest, MovingHandsTheCertificatesOver) {
  TrustedCertificates list = TrustedCertificates::BuiltIn();
  X509* first = list.at(0);
  TrustedCertificates moved(std::move(list));
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  ASSERT_EQ(moved.size(), 18u);
  EXPECT_EQ(moved.at(0), first);
  TrustedCertificates assigned = TrustedCertificates::FromPem("");
  assigned = std::move(moved);
  EXPECT_EQ(assigned.size(), 18u);
  EXPECT_EQ(assigned.at(0), first);
}

TEST(TrustedCertificatesTest, AppendSharesTheOtherListsEntries) {
  std::string why;
  const testing::TestPki* pki = testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  TrustedCertificates list = TrustedCertificates::BuiltIn();
  {
    const TrustedCertificates local = TrustedCertificates::FromPemFile(pki->ca_cert);
    list.Append(local);
    list.Append(TrustedCertificates());
  }
  ASSERT_EQ(list.size(), 19u);
  // The entry outlives the list it came from.
  EXPECT_EQ(SubjectEntry(list.at(18), NID_commonName), "Local Test CA");
}

}  // namespace
}  // namespace Voro
