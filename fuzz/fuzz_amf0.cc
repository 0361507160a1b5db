// AMF0 bodies (with AMF3 values behind 0x11): decode, convert, encode, decode again.
#include <cstddef>
#include <cstdint>

#include "fuzz_amf_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  amf_fuzz::Run<true>(data, size);
  return 0;
}
