#include "lcds/net/trusted_certificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <utility>

#include "lcds/net/built_in_certificate_data.h"

namespace Voro {
namespace {

// Reading more than this from a PEM file is not a certificate list.
constexpr size_t kMaxPemFileSize = 16u << 20;

}  // namespace

TrustedCertificates::~TrustedCertificates() { Clear(); }

TrustedCertificates::TrustedCertificates(TrustedCertificates&& other) noexcept
    : certificates_(std::move(other.certificates_)) {
  other.certificates_.clear();
}

TrustedCertificates& TrustedCertificates::operator=(TrustedCertificates&& other) noexcept {
  if (this != &other) {
    Clear();
    certificates_ = std::move(other.certificates_);
    other.certificates_.clear();
  }
  return *this;
}

void TrustedCertificates::Clear() {
  for (X509* certificate : certificates_) {
    X509_free(certificate);  // accepts null
  }
  certificates_.clear();
}

TrustedCertificates TrustedCertificates::BuiltIn() {
  TrustedCertificates list;
  list.certificates_.reserve(kBuiltInCertificateBlobCount);
  for (size_t i = 0; i < kBuiltInCertificateBlobCount; ++i) {
    const CertificateBlob& blob = kBuiltInCertificateBlobs[i];
    list.AppendDer({blob.bytes, blob.size});
  }
  return list;
}

void TrustedCertificates::Append(const TrustedCertificates& other) {
  for (X509* certificate : other.certificates_) {
    if (certificate != nullptr) X509_up_ref(certificate);
    certificates_.push_back(certificate);
  }
}

void TrustedCertificates::AppendDer(std::span<const uint8_t> der) {
  X509* certificate = nullptr;
  if (der.size() <= static_cast<size_t>(LONG_MAX)) {
    const unsigned char* cursor = der.data();
    certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  }
  if (certificate == nullptr) {
    // The entry stays empty; why it did not parse is of no use to anyone downstream.
    ERR_clear_error();
  }
  certificates_.push_back(certificate);
}

TrustedCertificates TrustedCertificates::FromPem(std::string_view pem) {
  TrustedCertificates list;
  if (pem.empty() || pem.size() > static_cast<size_t>(INT_MAX)) {
    return list;
  }
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) {
    ERR_clear_error();
    return list;
  }
  while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    list.certificates_.push_back(certificate);
  }
  // The read that ends the loop leaves "no start line" behind.
  ERR_clear_error();
  BIO_free(bio);
  return list;
}

TrustedCertificates TrustedCertificates::FromPemFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return {};
  }
  std::string text;
  char buffer[4096];
  while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(file.gcount()));
    if (text.size() > kMaxPemFileSize) {
      return {};
    }
  }
  return FromPem(text);
}

size_t TrustedCertificates::AddTo(X509_STORE* store) const {
  size_t added = 0;
  for (X509* certificate : certificates_) {
    if (certificate == nullptr) {
      continue;
    }
    if (X509_STORE_add_cert(store, certificate) == 1) {
      ++added;
      continue;
    }
    // Older OpenSSL refuses a duplicate (the list holds one on purpose); it is trusted all
    // the same.
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_X509 &&
        ERR_GET_REASON(error) == X509_R_CERT_ALREADY_IN_HASH_TABLE) {
      ++added;
    }
    ERR_clear_error();
  }
  return added;
}

}  // namespace Voro
