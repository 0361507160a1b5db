// The certificates a TLS connection trusts, and nothing else: an ordered list of parsed
// X.509 certificates. The built-in list is made once by the login controller and handed to
// every TLS connection, which copies it into its own context's store.
#pragma once

#include <openssl/ossl_typ.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Voro {

class TrustedCertificates {
 public:
  TrustedCertificates() = default;
  ~TrustedCertificates();
  TrustedCertificates(TrustedCertificates&& other) noexcept;
  TrustedCertificates& operator=(TrustedCertificates&& other) noexcept;
  TrustedCertificates(const TrustedCertificates&) = delete;
  TrustedCertificates& operator=(const TrustedCertificates&) = delete;

  // The 18 certificates compiled into the library, in trust-list order. A blob that does
  // not parse leaves an empty (null) entry in its place.
  static TrustedCertificates BuiltIn();
  // Every certificate in PEM text (any number of CERTIFICATE blocks; other blocks and text
  // between them are skipped). Used for locally made authorities in tests and tools.
  static TrustedCertificates FromPem(std::string_view pem);
  // As FromPem, from a file; an unreadable file gives an empty list.
  static TrustedCertificates FromPemFile(const std::string& path);

  // Appends the entries of `other` (each list keeps its own reference).
  void Append(const TrustedCertificates& other);
  // Appends one DER certificate; a blob that does not parse appends a null entry.
  void AppendDer(std::span<const uint8_t> der);

  size_t size() const { return certificates_.size(); }
  bool empty() const { return certificates_.empty(); }
  // Entry `index` (null where parsing failed). Owned by this list: valid while it lives.
  // REQUIRES: index < size().
  X509* at(size_t index) const { return certificates_[index]; }

  // Adds every non-null entry to `store` (which takes its own reference). A certificate the
  // store already holds counts as added; other refusals are skipped. Clears this thread's
  // OpenSSL error queue of what the refusals left. Returns the number added.
  size_t AddTo(X509_STORE* store) const;

 private:
  void Clear();

  std::vector<X509*> certificates_;  // owned
};

}  // namespace Voro
