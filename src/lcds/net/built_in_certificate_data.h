// The trusted certificates compiled into the library: DER blobs converted from the PEM files
// in lcds/net/certs when the library is built (the source defining these is generated).
#pragma once

#include <cstddef>
#include <cstdint>

namespace Voro {

struct CertificateBlob {
  const uint8_t* bytes;
  size_t size;
};

// In trust-list order; static storage, never freed.
extern const CertificateBlob kBuiltInCertificateBlobs[];
extern const size_t kBuiltInCertificateBlobCount;

}  // namespace Voro
