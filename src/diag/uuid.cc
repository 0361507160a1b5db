#include "diag/uuid.h"

#include <uuid/uuid.h>

#include <cstdio>

#include "diag/assertion.h"

namespace Voro {

static_assert(sizeof(uuid_t) == sizeof(Uuid));

bool SystemUuidSource(Uuid& bytes) {
  uuid_t generated;
  uuid_generate_random(generated);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = generated[i];
  }
  return true;
}

std::optional<Uuid> CreateUuid() { return CreateUuidFrom(SystemUuidSource); }

std::optional<Uuid> CreateUuidFrom(UuidSource source) {
  Uuid bytes{};
  if (!source(bytes)) {
    ReportAssertion("ALE-8B4DC795", nullptr, "", 0, "");
    return std::nullopt;
  }
  return bytes;
}

std::string UuidText(const Uuid& b) {
  char text[kUuidTextLength + 1];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return std::string(text, kUuidTextLength);
}

}  // namespace Voro
